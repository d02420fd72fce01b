#pragma once

#include "protocol/ContentCodec.h"

#include <QString>

// Reading the header fields out of frame text and writing the renderer's content lines over
// the codec's fields. The header readers throw (std::invalid_argument for a character that
// is no hex digit); the content lines report their failure as a value.
namespace hexcontent {

quint8 u8(const QString& hex);
quint16 u16(const QString& hex);
QString dec(quint32 value);
QString withoutFinalBreak(QString text);

enum class Failure
{
    None,
    OutsideContent, // the content's size does not fit, or a field lies past its end
    BadHex,         // a field the lines show decoded is not hex digits
};

struct ContentText
{
    QString text;
    Failure failure = Failure::None;
};

// The lines of a content given as hex text (two digits per byte, 2N characters), each line
// "digits    -- label：value"; the first failure in wire order ends them.
ContentText contentLines(const QString& content, quint16 dataLen, ContentLayout layout);

// A field's digits as its line shows them (a date's parts apart), from the content's hex text.
QString fieldDigits(const QString& content, const ContentField& field);

} // namespace hexcontent
