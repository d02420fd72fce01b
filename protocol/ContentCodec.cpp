#include "protocol/ContentCodec.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/ContentLayouts.h"
#include "util/Conversions.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>

using namespace contentlayouts;

namespace {

std::string stdBytes(const QByteArray& bytes)
{
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

std::uint32_t number(const QByteArray& bytes)
{
    std::uint32_t value = 0;
    for (char byte : bytes)
        value = (value << 8) | static_cast<std::uint8_t>(byte);
    return value;
}

QString twoDigits(std::uint32_t value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

QString dateText(const QByteArray& bytes)
{
    return QStringLiteral("%1-%2-%3 %4:%5:%6")
        .arg(QString::number(number(bytes.left(2))), twoDigits(number(bytes.mid(2, 1))),
             twoDigits(number(bytes.mid(3, 1))), twoDigits(number(bytes.mid(4, 1))),
             twoDigits(number(bytes.mid(5, 1))), twoDigits(number(bytes.mid(6, 1))));
}

QString valueOf(Encoding encoding, const QByteArray& bytes)
{
    switch (encoding) {
    case Encoding::Number:
        return QString::number(number(bytes));
    case Encoding::Utf8:
    case Encoding::Digits:
        return fromUtf8(stdBytes(bytes));
    case Encoding::Utf8Trimmed:
        return fromUtf8(util::trimTrailingZeros(stdBytes(bytes)));
    case Encoding::Gb2312:
        return fromUtf8(util::gb2312ToUtf8(stdBytes(bytes)));
    case Encoding::DateTime:
        return dateText(bytes);
    case Encoding::LockState:
        break;
    }
    return number(bytes) != 0 ? QStringLiteral("加锁") : QStringLiteral("解锁");
}

QString numbered(const char* text, int index)
{
    QString out = QString::fromUtf8(text);
    out.replace(QLatin1String("%1"), QString::number(index));
    return out;
}

// Reads fields in wire order and stops at the first that does not fit.
class Reader
{
public:
    Reader(ContentLayout layout, const QByteArray& content) : m_content(content)
    {
        m_out.layout = layout;
        m_out.separator = QStringLiteral("，");
    }

    int size() const { return m_content.size(); }
    bool fits(int offset, int size) const
    {
        return offset >= 0 && size >= 0 && offset <= m_content.size() - size;
    }
    std::uint32_t numberAt(int offset, int size) const { return number(m_content.mid(offset, size)); }

    // A field whose whole line was checked to fit.
    void addBytes(const FieldSpec& spec, int base, int size, const QString& label,
                  const QString& group = QString())
    {
        const QByteArray bytes = m_content.mid(base + spec.offset, size);
        m_out.fields.push_back(
            {label, valueOf(spec.encoding, bytes), base + spec.offset, size, spec.encoding, group});
    }
    void add(const FieldSpec& spec, int base = 0, int index = 0, const QString& group = QString())
    {
        addBytes(spec, base, spec.size, numbered(spec.label, index), group);
    }
    // The field at `base` if it fits; false (and the content marked truncated) if not.
    bool read(const FieldSpec& spec, int base = 0, int index = 0)
    {
        if (!fits(base + spec.offset, spec.size))
            return fail(DecodedContent::Status::Truncated);
        add(spec, base, index);
        return true;
    }
    // `count` entries of one field, `stride` bytes apart from `base`.
    bool readRun(const FieldSpec& spec, int base, std::uint32_t count)
    {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (!read(spec, base + int(i) * spec.size, int(i)))
                return false;
        }
        return true;
    }
    bool fail(DecodedContent::Status status)
    {
        m_out.status = status;
        return false;
    }
    void moveLastToFront(std::size_t count)
    {
        std::rotate(m_out.fields.begin(), m_out.fields.end() - std::ptrdiff_t(count), m_out.fields.end());
    }
    void setSeparator(const char* separator) { m_out.separator = QString::fromUtf8(separator); }
    DecodedContent result() { return std::move(m_out); }

private:
    const QByteArray& m_content;
    DecodedContent m_out;
};

template <typename Layout, std::size_t Count>
const Layout* findLayout(const Layout (&table)[Count], ContentLayout layout)
{
    const auto found = std::find_if(std::begin(table), std::end(table),
                                    [layout](const Layout& row) { return row.layout == layout; });
    return found == std::end(table) ? nullptr : found;
}

void readFixed(Reader& reader, const FixedLayout& layout)
{
    const FieldSpec& last = layout.fields[layout.count - 1];
    if (reader.size() != last.offset + last.size) {
        reader.fail(DecodedContent::Status::WrongSize);
        return;
    }
    for (std::size_t i = 0; i < layout.count; ++i)
        reader.add(layout.fields[i], 0, 0, QString::fromUtf8(layout.group));
}

void readText(Reader& reader, const TextLayout& layout)
{
    if (reader.size() > layout.maxSize) {
        reader.fail(DecodedContent::Status::WrongSize);
        return;
    }
    if (reader.size() > 0)
        reader.add({0, reader.size(), layout.encoding, layout.label});
}

void readLockStatus(Reader& reader)
{
    if (reader.size() < 1 || reader.size() > kMaxLockStatusSize) {
        reader.fail(DecodedContent::Status::WrongSize);
        return;
    }
    reader.add(kLockState);
    if (reader.size() > 1)
        reader.add({kLockPassword.offset, reader.size() - kLockPassword.offset, kLockPassword.encoding,
                    kLockPassword.label});
}

// An entry's fields share one line, so it is read only when all of it fits.
void readList(Reader& reader, const ListLayout& layout)
{
    reader.setSeparator(layout.separator);
    if (!reader.read(layout.count))
        return;
    const std::uint32_t count = reader.numberAt(layout.count.offset, layout.count.size);
    const int first = layout.count.offset + layout.count.size;
    for (std::uint32_t i = 0; i < count; ++i) {
        const int base = first + int(i) * layout.entrySize;
        if (!reader.fits(base, layout.entrySize)) {
            reader.fail(DecodedContent::Status::Truncated);
            return;
        }
        const QString group = numbered(layout.entryGroup, int(i));
        for (std::size_t f = 0; f < layout.entryCount; ++f)
            reader.add(layout.entry[f], base, int(i), group);
    }
}

// The count and the diameter names are read before the wrench name and standard, which are
// listed first all the same; a block cut short in its names has neither of the two.
void readBolt(Reader& reader)
{
    const FieldSpec& countSpec = kBoltHead[std::size(kBoltHead) - 1];
    int pos = countSpec.offset + countSpec.size;
    if (!reader.fits(0, pos)) {
        reader.fail(DecodedContent::Status::Truncated);
        return;
    }
    reader.add(countSpec);
    const std::uint32_t diameters = reader.numberAt(countSpec.offset, countSpec.size);
    if (!reader.readRun(kBoltDiameterName, pos, diameters))
        return;
    reader.add(kBoltHead[0]);
    reader.add(kBoltHead[1]);
    reader.moveLastToFront(2);
    pos += int(diameters) * kBoltDiameterName.size;
    if (!reader.read(kBoltGradeCount, pos))
        return;
    const std::uint32_t grades = reader.numberAt(pos, kBoltGradeCount.size);
    pos += kBoltGradeCount.size;
    if (!reader.readRun(kBoltGradeName, pos, grades))
        return;
    pos += int(grades) * kBoltGradeName.size;
    reader.readRun(kBoltTorque, pos, diameters * grades);
}

// A record field as one content field; nothing for the date-time parts, which are one field
// from where the date starts.
std::optional<FieldSpec> recordSpec(const RecordLayout::Field& field)
{
    switch (field.line) {
    case RecordLayout::Line::Number:
        return FieldSpec{field.offset, field.width, Encoding::Number, field.label};
    case RecordLayout::Line::TextTrimmed:
        return FieldSpec{field.offset, field.width, Encoding::Utf8Trimmed, field.label};
    case RecordLayout::Line::TextWhole:
        return FieldSpec{field.offset, field.width, Encoding::Utf8, field.label};
    case RecordLayout::Line::DateTime:
        return FieldSpec{field.offset, RecordLayout::kDateTimeSize, Encoding::DateTime, field.label};
    case RecordLayout::Line::InDateTime:
        break;
    }
    return std::nullopt;
}

void readRecordData(Reader& reader)
{
    if (reader.size() != RecordLayout::size()) {
        reader.fail(DecodedContent::Status::WrongSize);
        return;
    }
    for (const RecordLayout::Field& field : RecordLayout::kFields) {
        if (const std::optional<FieldSpec> spec = recordSpec(field))
            reader.add(*spec);
    }
}

void addName(std::vector<ContentFieldName>& names, const FieldSpec& spec, const char* group = "",
             const char* key = "")
{
    names.push_back(
        {QString::fromUtf8(group), QString::fromUtf8(spec.label), spec.encoding, QString::fromUtf8(key)});
}

// The mark is read before the size its frame kind needs is checked, so a content of the wrong
// size still shows which mark it had.
DecodedContent decodeRecord(const QByteArray& content)
{
    DecodedContent out;
    out.layout = ContentLayout::Record;
    out.separator = QStringLiteral("，");
    if (content.isEmpty()) {
        out.status = DecodedContent::Status::WrongSize;
        return out;
    }
    FieldSpec mark{0, 1, Encoding::Number, RecordLayout::kFields[0].label};
    switch (static_cast<wire::RecordMark>(content.at(0))) {
    case wire::RecordMark::Start:
        out = ContentCodec::decode(ContentLayout::RecordStart, content);
        mark = kRecordStart[0];
        break;
    case wire::RecordMark::Data:
        out = ContentCodec::decode(ContentLayout::RecordData, content);
        break;
    case wire::RecordMark::End:
        out = ContentCodec::decode(ContentLayout::RecordEnd, content);
        mark = kRecordEnd[0];
        break;
    default:
        return out; // no mark the protocol has: nothing to show
    }
    if (out.status == DecodedContent::Status::WrongSize) {
        Reader reader(out.layout, content);
        reader.add(mark);
        reader.fail(DecodedContent::Status::WrongSize);
        out = reader.result();
    }
    return out;
}

std::optional<QByteArray> encodeValue(const ContentField& field)
{
    bool ok = false;
    QByteArray bytes;
    switch (field.encoding) {
    case Encoding::Number: {
        const qulonglong value = field.value.toULongLong(&ok);
        if (!ok || field.size < 1 || field.size > 4 || (field.size < 4 && value >> (8 * field.size) != 0) ||
            value > 0xFFFFFFFFull)
            return std::nullopt;
        for (int i = field.size - 1; i >= 0; --i)
            bytes.append(static_cast<char>((value >> (8 * i)) & 0xFF));
        return bytes;
    }
    case Encoding::Utf8:
    case Encoding::Utf8Trimmed:
    case Encoding::Digits:
        bytes = field.value.toUtf8();
        break;
    case Encoding::Gb2312: {
        QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull);
        bytes = QTextCodec::codecForName("gb2312")->fromUnicode(field.value.constData(), field.value.size(),
                                                                &state);
        if (state.invalidChars > 0)
            return std::nullopt;
        break;
    }
    case Encoding::DateTime: {
        const QStringList parts = field.value.split(QRegularExpression(QStringLiteral("[- :]")));
        if (parts.size() != 6 || field.size != RecordLayout::kDateTimeSize)
            return std::nullopt;
        for (int i = 0; i < parts.size(); ++i) {
            const uint part = parts[i].toUInt(&ok);
            if (!ok || part > (i == 0 ? 0xFFFFu : 0xFFu))
                return std::nullopt;
            if (i == 0)
                bytes.append(static_cast<char>(part >> 8));
            bytes.append(static_cast<char>(part & 0xFF));
        }
        return bytes;
    }
    case Encoding::LockState:
        if (field.size != 1 ||
            (field.value != QStringLiteral("加锁") && field.value != QStringLiteral("解锁")))
            return std::nullopt;
        return QByteArray(1, field.value == QStringLiteral("加锁") ? '\x01' : '\0');
    }
    if (bytes.size() > field.size)
        return std::nullopt;
    return bytes + QByteArray(field.size - bytes.size(), '\0');
}

} // namespace

std::optional<ContentLayout> ContentCodec::layoutFor(std::uint8_t command, FrameDirection direction)
{
#define VARNEL_CONTENT_LAYOUTS(name, code, protocol, renderer, dialog, cli, request, response, handler,      \
                               requestLayout, responseLayout)                                                \
    {ContentLayout::requestLayout, ContentLayout::responseLayout},
    static constexpr ContentLayout kLayouts[][2] = {VARNEL_COMMAND_TABLE(VARNEL_CONTENT_LAYOUTS)};
#undef VARNEL_CONTENT_LAYOUTS
    if (!isCommand(command))
        return std::nullopt;
    return kLayouts[command - 1][direction == FrameDirection::Response ? 1 : 0];
}

DecodedContent ContentCodec::decode(ContentLayout layout, const QByteArray& content)
{
    if (layout == ContentLayout::Record)
        return decodeRecord(content);
    Reader reader(layout, content);
    if (const FixedLayout* fixed = findLayout(kFixed, layout))
        readFixed(reader, *fixed);
    else if (const TextLayout* text = findLayout(kTexts, layout))
        readText(reader, *text);
    else if (const ListLayout* list = findLayout(kLists, layout))
        readList(reader, *list);
    else if (layout == ContentLayout::LockStatus)
        readLockStatus(reader);
    else if (layout == ContentLayout::BoltMode)
        readBolt(reader);
    else if (layout == ContentLayout::RecordData)
        readRecordData(reader);
    else if (!content.isEmpty()) // Empty
        reader.fail(DecodedContent::Status::WrongSize);
    return reader.result();
}

int ContentCodec::largestContent(ContentLayout layout)
{
    if (const FixedLayout* fixed = findLayout(kFixed, layout))
        return fixed->fields[fixed->count - 1].offset + fixed->fields[fixed->count - 1].size;
    if (const TextLayout* text = findLayout(kTexts, layout))
        return text->maxSize;
    if (layout == ContentLayout::LockStatus)
        return kMaxLockStatusSize;
    if (layout == ContentLayout::RecordData)
        return RecordLayout::size();
    return wire::kMaxReceiveLength;
}

std::optional<DecodedContent> ContentCodec::decode(std::uint8_t command, FrameDirection direction,
                                                   const QByteArray& content)
{
    const std::optional<ContentLayout> layout = layoutFor(command, direction);
    if (!layout)
        return std::nullopt;
    return decode(*layout, content);
}

std::vector<ContentFieldName> ContentCodec::fieldNames(ContentLayout layout)
{
    std::vector<ContentFieldName> names;
    if (const FixedLayout* fixed = findLayout(kFixed, layout)) {
        for (std::size_t i = 0; i < fixed->count; ++i)
            addName(names, fixed->fields[i], fixed->group);
    } else if (const TextLayout* text = findLayout(kTexts, layout)) {
        addName(names, {0, text->maxSize, text->encoding, text->label});
    } else if (const ListLayout* list = findLayout(kLists, layout)) {
        addName(names, list->count);
        for (std::size_t i = 0; i < list->entryCount; ++i)
            addName(names, list->entry[i], list->entryGroup);
    } else if (layout == ContentLayout::LockStatus) {
        addName(names, kLockState);
        addName(names, kLockPassword);
    } else if (layout == ContentLayout::BoltMode) {
        for (const FieldSpec& spec : kBoltHead)
            addName(names, spec);
        for (const FieldSpec& spec : {kBoltDiameterName, kBoltGradeCount, kBoltGradeName, kBoltTorque})
            addName(names, spec);
    } else if (layout == ContentLayout::RecordData) {
        for (const RecordLayout::Field& field : RecordLayout::kFields) {
            if (const std::optional<FieldSpec> spec = recordSpec(field))
                addName(names, *spec, "", field.csvColumn);
        }
    } else if (layout == ContentLayout::Record) {
        for (const ContentLayout part :
             {ContentLayout::RecordStart, ContentLayout::RecordData, ContentLayout::RecordEnd}) {
            const std::vector<ContentFieldName> more = fieldNames(part);
            names.insert(names.end(), more.begin(), more.end());
        }
    }
    return names;
}

std::optional<QByteArray> ContentCodec::encode(const std::vector<ContentField>& fields)
{
    QByteArray out;
    for (const ContentField& field : fields) {
        if (field.offset != out.size())
            return std::nullopt;
        const std::optional<QByteArray> bytes = encodeValue(field);
        if (!bytes)
            return std::nullopt;
        out += *bytes;
    }
    return out;
}
