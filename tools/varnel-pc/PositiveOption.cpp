#include "tools/varnel-pc/PositiveOption.h"

#include "tools/varnel-pc/ConsoleText.h"

#include <QCommandLineParser>

bool PositiveOption::read(const QCommandLineParser& parser, const QCommandLineOption& option,
                          const char* command, const char* unit, int* value, std::ostream& err)
{
    if (!parser.isSet(option))
        return true;
    const QString text = parser.value(option);
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number <= 0) {
        const QString unitText = *unit ? QStringLiteral(" ") + QLatin1String(unit) : QString();
        ConsoleText::usageError(err, command,
                                QStringLiteral("--%1 needs a positive number%2, got '%3'")
                                    .arg(option.names().first(), unitText, text));
        return false;
    }
    *value = number;
    return true;
}
