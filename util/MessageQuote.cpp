#include "util/MessageQuote.h"

QString MessageQuote::of(const QString& value)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : value.left(kMaxCharacters)) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            quoted += QStringLiteral("\\u") +
                      QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0'));
        else
            quoted += c;
    }
    if (value.size() > kMaxCharacters)
        return quoted + QStringLiteral("…\" (%1 characters)").arg(value.size());
    return quoted + QLatin1Char('"');
}
