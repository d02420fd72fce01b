#include "render/HexContentText.h"

#include "device/RecordLayout.h"
#include "util/Conversions.h"

#include <QStringList>

#include <string>

namespace hexcontent {

enum class Kind
{
    U8,
    U16,
    U32,
    Utf8Whole,
    Utf8Trimmed,
    Date
};

struct RecordField
{
    int pos;
    int chars;
    const char* label;
    Kind kind;
};

const RecordField kStartFields[] = {
    {0, 2, "起始帧标记", Kind::U8},
    {2, 8, "记录数", Kind::U32},
};

const RecordField kEndFields[] = {
    {0, 2, "结束帧标记", Kind::U8},
};

QString field(const QString& content, int pos, int chars)
{
    if (pos < 0 || chars < 0 || pos > content.size() - chars)
        throw OutsideContent();
    return content.mid(pos, chars);
}

void requireSize(const QString& content, quint16 dataLen, bool sizeOk)
{
    if (!sizeOk || content.size() != 2 * int(dataLen))
        throw OutsideContent();
}

// Only 0-9 and A-F convert; anything else throws std::invalid_argument.
std::string bytes(const QString& hex)
{
    return util::hexToBytes(hex.toStdString());
}

quint8 u8(const QString& hex)
{
    return util::readU8(bytes(hex));
}

quint16 u16(const QString& hex)
{
    return util::readU16(bytes(hex));
}

quint32 u32(const QString& hex)
{
    return util::readU32(bytes(hex));
}

QString dec(quint32 value)
{
    return QString::number(value);
}

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

QString utf8Whole(const QString& hex)
{
    return fromUtf8(bytes(hex));
}

QString utf8Trimmed(const QString& hex)
{
    return fromUtf8(util::trimTrailingZeros(bytes(hex)));
}

QString gb2312(const QString& hex)
{
    return fromUtf8(util::gb2312ToUtf8(bytes(hex)));
}

QString decode(Kind kind, const QString& hex)
{
    switch (kind) {
    case Kind::U8:
        return dec(u8(hex));
    case Kind::U16:
        return dec(u16(hex));
    case Kind::U32:
        return dec(u32(hex));
    case Kind::Utf8Whole:
        return utf8Whole(hex);
    case Kind::Utf8Trimmed:
    case Kind::Date:
        break;
    }
    return utf8Trimmed(hex);
}

// One pass over the placeholders, so a decoded value holding "%2" stays as it is.
QString fieldLine(const QString& digits, const QString& label, const QString& value)
{
    return QStringLiteral("%1    -- %2：%3\n").arg(digits, label, value);
}

QString withoutFinalBreak(QString text)
{
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

QString twoDigits(quint8 value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// The 14 digits of year, month, day, hour, minute and second.
QString dateDigits(const QString& date)
{
    return QStringList{field(date, 0, 4), field(date, 4, 2),  field(date, 6, 2),
                       field(date, 8, 2), field(date, 10, 2), field(date, 12, 2)}
        .join(QLatin1Char(' '));
}

QString dateValue(const QString& date)
{
    return QStringLiteral("%1-%2-%3 %4:%5:%6")
        .arg(dec(u16(field(date, 0, 4))), twoDigits(u8(field(date, 4, 2))), twoDigits(u8(field(date, 6, 2))),
             twoDigits(u8(field(date, 8, 2))), twoDigits(u8(field(date, 10, 2))),
             twoDigits(u8(field(date, 12, 2))));
}

QString recordFieldLine(const QString& content, const RecordField& def)
{
    const QString digits = field(content, def.pos, def.chars);
    if (def.kind == Kind::Date)
        return dateDigits(digits) + QStringLiteral("    -- ") + QString::fromUtf8(def.label) +
               QStringLiteral("：") + dateValue(digits) + QLatin1Char('\n');
    return fieldLine(digits, QString::fromUtf8(def.label), decode(def.kind, digits));
}

Kind numberKind(RecordLayout::Encoding encoding)
{
    switch (encoding) {
    case RecordLayout::Encoding::U8:
        return Kind::U8;
    case RecordLayout::Encoding::U16:
        return Kind::U16;
    case RecordLayout::Encoding::U32:
    case RecordLayout::Encoding::Text:
        break;
    }
    return Kind::U32;
}

template <std::size_t Count> QString recordFields(const QString& content, const RecordField (&fields)[Count])
{
    QString text;
    for (const RecordField& def : fields)
        text += recordFieldLine(content, def);
    return text;
}

// A single-text content: no line for N = 0, else one line with the decoded text.
QString textContent(const QString& content, quint16 dataLen, quint16 maxLen, const QString& label,
                    QString (*decoder)(const QString&))
{
    requireSize(content, dataLen, dataLen <= maxLen);
    if (dataLen == 0)
        return QString();
    return fieldLine(content, label, decoder(content));
}

QString countLine(const QString& digits, const QString& label, quint32 count)
{
    return fieldLine(digits, label, dec(count));
}

QString torqueEntry(const QString& content, int index)
{
    const int base = 4 + 30 * index;
    const QString name = field(content, base, 20);
    const QString coefficient = field(content, base + 20, 8);
    const QString delay = field(content, base + 28, 2);
    return QStringLiteral("%1 %2 %3    -- 第%4个扳手，名称：%5，系数：%6，延迟时间：%7\n")
        .arg(name, coefficient, delay, QString::number(index), gb2312(name), dec(u32(coefficient)),
             dec(u8(delay)));
}

QString levelLine(const QString& first, const QString& second, int index, const QString& level,
                  quint32 pressure)
{
    return QStringLiteral("%1 %2    -- 第%3个挡位，挡位等级：%4,对应压力：%5\n")
        .arg(first, second, QString::number(index), level, dec(pressure));
}

QString gearEntry(const QString& content, int index)
{
    const int base = 2 + 10 * index;
    const QString level = field(content, base, 2);
    const QString pressure = field(content, base + 2, 8);
    return levelLine(level, pressure, index, dec(u8(level)), u32(pressure));
}

// Sensors share the gear line, labels included.
QString sensorEntry(const QString& content, int index)
{
    const int base = 4 + 28 * index;
    const QString name = field(content, base, 20);
    const QString value = field(content, base + 20, 8);
    return levelLine(name, value, index, utf8Trimmed(name), u32(value));
}

// A count of countChars digits, then that many entries; every bit of the count counts.
QString listContent(const QString& content, int countChars, const QString& countLabel,
                    QString (*entry)(const QString&, int))
{
    const QString digits = field(content, 0, countChars);
    const quint32 count = countChars == 2 ? u8(digits) : u16(digits);
    QString text = countLine(digits, countLabel, count);
    for (quint32 i = 0; i < count; ++i)
        text += entry(content, int(i));
    return text;
}

QString boltNames(const QString& content, int pos, int count, const QString& label)
{
    QString text;
    for (int j = 0; j < count; ++j) {
        const QString digits = field(content, pos + 20 * j, 20);
        text += QStringLiteral("%1    -- %2[%3]名称：%4\n")
                    .arg(digits, label, QString::number(j), utf8Trimmed(digits));
    }
    return text;
}

QString boltTorques(const QString& content, int pos, int count)
{
    QString text;
    for (int k = 0; k < count; ++k) {
        const QString digits = field(content, pos + 8 * k, 8);
        text += QStringLiteral("%1    -- 第%2个扭矩：%3\n").arg(digits, QString::number(k), dec(u32(digits)));
    }
    return text;
}

// Wrench name and the first standard block only; the second block is not shown.
QString boltContent(const QString& content)
{
    const QString name = field(content, 0, 20);
    const QString standard = field(content, 20, 2);
    const QString diameterCount = field(content, 22, 2);
    const int diameters = u8(diameterCount);
    QString text = fieldLine(name, QStringLiteral("扳手名称"), utf8Trimmed(name)) +
                   countLine(standard, QStringLiteral("制式"), u8(standard)) +
                   countLine(diameterCount, QStringLiteral("螺栓直径名称数量"), diameters) +
                   boltNames(content, 24, diameters, QStringLiteral("螺栓直径"));
    const int gradePos = 24 + 20 * diameters;
    const QString gradeCount = field(content, gradePos, 2);
    const int grades = u8(gradeCount);
    text += countLine(gradeCount, QStringLiteral("螺栓等级名称数量"), grades) +
            boltNames(content, gradePos + 2, grades, QStringLiteral("螺栓等级"));
    return text + boltTorques(content, gradePos + 2 + 20 * grades, diameters * grades);
}

QString recordStartLines(const QString& content)
{
    return recordFields(content, kStartFields);
}

// The record's own table, two hex digits per byte; date-time parts share the date line.
QString recordDataLines(const QString& content)
{
    QString text;
    for (const RecordLayout::Field& def : RecordLayout::kFields) {
        const int pos = 2 * def.offset;
        switch (def.line) {
        case RecordLayout::Line::Number:
            text += recordFieldLine(content, {pos, 2 * def.width, def.label, numberKind(def.encoding)});
            break;
        case RecordLayout::Line::TextTrimmed:
            text += recordFieldLine(content, {pos, 2 * def.width, def.label, Kind::Utf8Trimmed});
            break;
        case RecordLayout::Line::TextWhole:
            text += recordFieldLine(content, {pos, 2 * def.width, def.label, Kind::Utf8Whole});
            break;
        case RecordLayout::Line::DateTime:
            text += recordFieldLine(content, {pos, 2 * RecordLayout::kDateTimeSize, def.label, Kind::Date});
            break;
        case RecordLayout::Line::InDateTime:
            break;
        }
    }
    return text;
}

QString recordEndLines(const QString& content)
{
    return recordFields(content, kEndFields);
}

QString torqueLines(const QString& content)
{
    return listContent(content, 4, QStringLiteral("数量"), torqueEntry);
}

QString gearLines(const QString& content)
{
    return listContent(content, 2, QStringLiteral("挡位数量"), gearEntry);
}

QString sensorLines(const QString& content)
{
    return listContent(content, 4, QStringLiteral("传感器数量"), sensorEntry);
}

} // namespace hexcontent
