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
