#include "render/HexContentText.h"

#include "util/Conversions.h"

#include <QStringList>

#include <string>
#include <vector>

namespace hexcontent {

namespace {

// Only 0-9 and A-F convert; anything else throws std::invalid_argument.
std::string bytes(const QString& hex)
{
    return util::hexToBytes(hex.toStdString());
}

// The digits util::hexToBytes accepts; -1 for any other character.
int digitValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// The content's bytes, a byte of bad digits read as 0 and marked, so the codec can lay out
// the fields and each shown field is judged where the text put it.
struct ContentBytes
{
    QByteArray bytes;
    std::vector<bool> bad;

    bool anyBad(const ContentField& field) const
    {
        for (int i = field.offset; i < field.offset + field.size; ++i) {
            if (bad[std::size_t(i)])
                return true;
        }
        return false;
    }
};

ContentBytes contentBytes(const QString& content)
{
    const int size = content.size() / 2;
    ContentBytes out{QByteArray(size, '\0'), std::vector<bool>(std::size_t(size), false)};
    for (int i = 0; i < size; ++i) {
        const int high = digitValue(content.at(2 * i));
        const int low = digitValue(content.at(2 * i + 1));
        if (high < 0 || low < 0)
            out.bad[std::size_t(i)] = true;
        else
            out.bytes[i] = static_cast<char>((high << 4) | low);
    }
    return out;
}

QString labelled(const ContentField& field)
{
    return field.label + QStringLiteral("：") + field.value;
}

QString description(const ContentField& field)
{
    switch (field.encoding) {
    case ContentField::Encoding::LockState:
        return field.value;
    case ContentField::Encoding::Digits:
        return field.label;
    case ContentField::Encoding::DateTime:
        return field.label.isEmpty() ? field.value : labelled(field);
    default:
        break;
    }
    return labelled(field);
}

// One field's line, or a group's: its digits side by side, then its title and pairs.
QString line(const QString& content, const std::vector<ContentField>& fields, std::size_t first,
             std::size_t end, const QString& separator)
{
    const ContentField& head = fields[first];
    if (head.group.isEmpty())
        return fieldDigits(content, head) + QStringLiteral("    -- ") + description(head) + QLatin1Char('\n');
    QStringList digits;
    QStringList pairs;
    for (std::size_t i = first; i < end; ++i) {
        digits << fieldDigits(content, fields[i]);
        pairs << labelled(fields[i]);
    }
    return digits.join(QLatin1Char(' ')) + QStringLiteral("    -- ") + head.group + QStringLiteral("，") +
           pairs.join(separator) + QLatin1Char('\n');
}

// These contents' lines have always come without a final break.
bool keepsNoFinalBreak(ContentLayout layout)
{
    return layout == ContentLayout::DateTime || layout == ContentLayout::RecordStart ||
           layout == ContentLayout::RecordEnd;
}

} // namespace

quint8 u8(const QString& hex)
{
    return util::readU8(bytes(hex));
}

quint16 u16(const QString& hex)
{
    return util::readU16(bytes(hex));
}

QString dec(quint32 value)
{
    return QString::number(value);
}

QString withoutFinalBreak(QString text)
{
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

QString fieldDigits(const QString& content, const ContentField& field)
{
    const QString digits = content.mid(2 * field.offset, 2 * field.size);
    if (field.encoding != ContentField::Encoding::DateTime)
        return digits;
    // Year, month, day, hour, minute and second apart.
    return QStringList{digits.left(4),   digits.mid(4, 2),  digits.mid(6, 2),
                       digits.mid(8, 2), digits.mid(10, 2), digits.mid(12, 2)}
        .join(QLatin1Char(' '));
}

ContentText contentLines(const QString& content, quint16 dataLen, ContentLayout layout)
{
    if (content.size() != 2 * int(dataLen))
        return {QString(), Failure::OutsideContent};
    const ContentBytes read = contentBytes(content);
    const DecodedContent decoded = ContentCodec::decode(layout, read.bytes);
    const std::vector<ContentField>& fields = decoded.fields;
    QString text;
    for (std::size_t first = 0; first < fields.size();) {
        std::size_t end = first + 1;
        while (end < fields.size() && !fields[first].group.isEmpty() &&
               fields[end].group == fields[first].group)
            ++end;
        for (std::size_t i = first; i < end; ++i) {
            if (fields[i].encoding != ContentField::Encoding::Digits && read.anyBad(fields[i]))
                return {QString(), Failure::BadHex};
        }
        text += line(content, fields, first, end, decoded.separator);
        first = end;
    }
    if (!decoded.ok())
        return {QString(), Failure::OutsideContent};
    return {keepsNoFinalBreak(decoded.layout) ? withoutFinalBreak(text) : text, Failure::None};
}

} // namespace hexcontent
