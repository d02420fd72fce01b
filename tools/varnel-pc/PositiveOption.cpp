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
        ConsoleText::write(err,
                           QStringLiteral("varnel-pc %1: --%2 needs a positive number%3, got '%4'\n")
                               .arg(QString::fromLatin1(command), option.names().first(), unitText, text));
        return false;
    }
    *value = number;
    return true;
}
