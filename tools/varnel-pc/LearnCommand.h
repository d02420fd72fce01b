#pragma once

#include "tools/varnel-pc/SubCommand.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <iosfwd>

// varnel-pc learn [--out DIR] [--name NAME] [--report FILE.json] CAPTURE...: learns the unit
// of the captures and writes it as a scenario (DIR/NAME.json, and DIR/NAME-records.csv when
// they hold an upload) with a report of what was learned and what was not.
// varnel-pc learn --check CAPTURE LEARNED.json: the requests of a capture that the learned
// unit cannot vouch for, because their command, or the set before them, was never seen.
class LearnCommand : public SubCommand
{
public:
    enum
    {
        NotVouched = 4
    };

    LearnCommand(std::ostream& out, std::ostream& err);

    int run(const QStringList& args) override;
    QString usage() const override;

    // A scenario's JSON with one key a line, so a person reads the texts and a list of samples
    // stays one line.
    static QByteArray scenarioText(const QJsonObject& scenario);

private:
    int learn();
    int check();
    bool write(const QString& path, const QByteArray& bytes);

    std::ostream& m_out;
    std::ostream& m_err;
    QString m_outDir;
    QString m_name;
    QString m_reportPath;
    QStringList m_captures;
    QString m_scenarioPath; // --check
};
