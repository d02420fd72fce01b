#pragma once

#include "tools/varnel-pc/SubCommand.h"

#include <iosfwd>

// varnel-pc commands: lists the protocol's command codes with the names send takes and the
// names the unit's log gives them, from the command catalogue.
class CommandsCommand : public SubCommand
{
public:
    CommandsCommand(std::ostream& out, std::ostream& err);

    int run(const QStringList& args) override;
    QString usage() const override;

private:
    std::ostream& m_out;
    std::ostream& m_err;
};
