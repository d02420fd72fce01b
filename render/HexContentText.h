#pragma once

#include <QString>

// Reading fields out of a frame's content text (hex digits, two per byte) and writing
// the renderer's field lines. Nothing here catches: a field outside the content text
// throws OutsideContent, a character that is no hex digit throws std::invalid_argument;
// the renderer turns both into its failure texts.
namespace hexcontent {

struct OutsideContent
{
};

// The `chars` characters at `pos`; throws OutsideContent unless they lie wholly inside.
QString field(const QString& content, int pos, int chars);
// Throws OutsideContent unless the size condition holds and the text has 2N characters.
void requireSize(const QString& content, quint16 dataLen, bool sizeOk);

quint8 u8(const QString& hex);
quint16 u16(const QString& hex);
quint32 u32(const QString& hex);
QString dec(quint32 value);
QString utf8Whole(const QString& hex);
QString utf8Trimmed(const QString& hex);
QString gb2312(const QString& hex);

// "digits    -- label：value\n", the placeholders filled in one pass.
QString fieldLine(const QString& digits, const QString& label, const QString& value);
QString withoutFinalBreak(QString text);
// The 14 digits of a date as six groups, and their decoded value "yyyy-MM-dd hh:mm:ss".
QString dateDigits(const QString& date);
QString dateValue(const QString& date);

// A single-text content: no line for N = 0, else one line with the decoded text.
QString textContent(const QString& content, quint16 dataLen, quint16 maxLen, const QString& label,
                    QString (*decoder)(const QString&));

// The lines of the file-record frames and of the list-shaped mode contents.
QString recordStartLines(const QString& content);
QString recordDataLines(const QString& content);
QString recordEndLines(const QString& content);
QString torqueLines(const QString& content);
QString gearLines(const QString& content);
QString sensorLines(const QString& content);
// Wrench name and the first standard block only; the second block is not shown.
QString boltContent(const QString& content);

} // namespace hexcontent
