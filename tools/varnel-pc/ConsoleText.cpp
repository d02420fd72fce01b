#include "tools/varnel-pc/ConsoleText.h"

void ConsoleText::write(std::ostream& stream, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    stream.write(utf8.constData(), utf8.size());
}

QString ConsoleText::hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

void ConsoleText::usageError(std::ostream& stream, const char* command, const QString& problem)
{
    const QString prefix = *command ? QStringLiteral("varnel-pc %1: ").arg(QLatin1String(command))
                                    : QStringLiteral("varnel-pc: ");
    write(stream, prefix + problem + QStringLiteral(" (see varnel-pc --help)\n"));
}
