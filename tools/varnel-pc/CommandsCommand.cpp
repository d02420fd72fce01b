#include "tools/varnel-pc/CommandsCommand.h"

#include "protocol/CommandCatalogue.h"
#include "tools/varnel-pc/ConsoleText.h"

#include <ostream>

CommandsCommand::CommandsCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

QString CommandsCommand::usage() const
{
    return QStringLiteral("  commands\n"
                          "      list the 21 command codes with the names send takes and the unit's names\n");
}

int CommandsCommand::run(const QStringList& args)
{
    if (!args.isEmpty()) {
        ConsoleText::usageError(m_err, "commands", QStringLiteral("takes no arguments"));
        return UsageError;
    }
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries) {
        const std::uint8_t code = toCode(entry.command);
        ConsoleText::write(m_out,
                           QStringLiteral("0x%1 %2  %3 %4\n")
                               .arg(QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0')))
                               .arg(code, 2)
                               .arg(QLatin1String(entry.cliName), -26)
                               .arg(QString::fromUtf8(entry.protocolName)));
    }
    m_out.flush();
    return Success;
}
