#pragma once

#include <QString>
#include <QStringList>

// One sub-command of varnel-pc; run() gets the arguments after the sub-command's name.
class SubCommand
{
public:
    enum Status
    {
        Success = 0,
        Failure = 1,
        UsageError = 2
    };

    virtual ~SubCommand() = default;
    virtual int run(const QStringList& args) = 0;
    // The sub-command's synopsis line(s) and options, indented by two, as --help shows them.
    virtual QString usage() const = 0;
};
