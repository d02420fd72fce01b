#include "scenario/RecordCsvFormat.h"

#include "protocol/WireFormat.h"
#include "scenario/RecordCsvReader.h"
#include "util/Conversions.h"
#include "util/MessageQuote.h"

#include <QRegularExpression>
#include <QVector>

#include <stdexcept>

namespace {

const QByteArray kHexPrefix("hex:");

std::string bytesAt(const QByteArray& record, int offset, int size)
{
    return record.mid(offset, size).toStdString();
}

// Text a spreadsheet shows as it is and a reader cannot mistake for a hex cell.
bool isPlainText(const QByteArray& bytes)
{
    if (bytes.startsWith(kHexPrefix))
        return false;
    const QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    if (text.toUtf8() != bytes) // invalid UTF-8 came back as replacement characters
        return false;
    const QVector<uint> codePoints = text.toUcs4();
    for (uint codePoint : codePoints) {
        if (!QChar::isPrint(codePoint))
            return false;
    }
    return true;
}

QString number(const QByteArray& record, const RecordLayout::Field& field)
{
    const std::string bytes = bytesAt(record, field.offset, field.width);
    switch (field.encoding) {
    case RecordLayout::Encoding::U8:
        return QString::number(util::peekU8(bytes));
    case RecordLayout::Encoding::U16:
        return QString::number(util::peekU16(bytes));
    case RecordLayout::Encoding::U32:
    case RecordLayout::Encoding::Text:
        break;
    }
    return QString::number(util::peekU32(bytes));
}

QString dateTime(const QByteArray& r, int offset)
{
    return QStringLiteral("%1-%2-%3 %4:%5:%6")
        .arg(util::peekU16(bytesAt(r, offset, 2)))
        .arg(util::peekU8(bytesAt(r, offset + 2, 1)), 2, 10, QLatin1Char('0'))
        .arg(util::peekU8(bytesAt(r, offset + 3, 1)), 2, 10, QLatin1Char('0'))
        .arg(util::peekU8(bytesAt(r, offset + 4, 1)), 2, 10, QLatin1Char('0'))
        .arg(util::peekU8(bytesAt(r, offset + 5, 1)), 2, 10, QLatin1Char('0'))
        .arg(util::peekU8(bytesAt(r, offset + 6, 1)), 2, 10, QLatin1Char('0'));
}

QString value(const QByteArray& record, const RecordLayout::Field& field)
{
    if (field.line == RecordLayout::Line::DateTime)
        return dateTime(record, field.offset);
    if (field.encoding == RecordLayout::Encoding::Text)
        return RecordCsvFormat::textCell(record.mid(field.offset, field.width));
    return number(record, field);
}

QString quoted(const QString& field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) &&
        !field.contains(QLatin1Char('\n')) && !field.contains(QLatin1Char('\r')))
        return field;
    QString escaped = field;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

bool parseNumber(const QString& cell, quint32 max, quint32* value, QString* problem)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
    bool ok = digits.match(cell).hasMatch();
    const qulonglong number = ok ? cell.toULongLong(&ok, 10) : 0;
    if (!ok || number > max) {
        *problem = QStringLiteral("%1 is not a number from 0 to %2").arg(MessageQuote::of(cell)).arg(max);
        return false;
    }
    *value = static_cast<quint32>(number);
    return true;
}

// The seven date-time bytes; each part only has to fit its byte, as the writer writes any.
bool parseDateTime(const QString& cell, QByteArray* bytes, QString* problem)
{
    static const QRegularExpression form(
        QStringLiteral("^([0-9]{1,5})-([0-9]{1,3})-([0-9]{1,3}) ([0-9]{1,3}):([0-9]{1,3}):([0-9]{1,3})$"));
    const QRegularExpressionMatch match = form.match(cell);
    bool fits = match.hasMatch() && match.captured(1).toUInt() <= 0xFFFF;
    for (int part = 2; fits && part <= 6; ++part)
        fits = match.captured(part).toUInt() <= 0xFF;
    if (!fits) {
        *problem =
            QStringLiteral("%1 is not a date and time as yyyy-MM-dd hh:mm:ss").arg(MessageQuote::of(cell));
        return false;
    }
    *bytes = RecordCsvFormat::numberBytes(RecordLayout::Encoding::U16, match.captured(1).toUInt());
    for (int part = 2; part <= 6; ++part)
        *bytes += RecordCsvFormat::numberBytes(RecordLayout::Encoding::U8, match.captured(part).toUInt());
    return true;
}

} // namespace

QString RecordCsvFormat::header()
{
    QStringList columns;
    for (const RecordLayout::Field& field : RecordLayout::kFields) {
        if (hasColumn(field))
            columns << QLatin1String(field.csvColumn);
    }
    return columns.join(QLatin1Char(','));
}

int RecordCsvFormat::columnCount()
{
    int count = 0;
    for (const RecordLayout::Field& field : RecordLayout::kFields)
        count += hasColumn(field) ? 1 : 0;
    return count;
}

QString RecordCsvFormat::textCell(const QByteArray& bytes)
{
    const std::string trimmed = util::trimTrailingZeros(bytes.toStdString());
    const QByteArray field = QByteArray::fromStdString(trimmed);
    if (isPlainText(field))
        return QString::fromUtf8(field.constData(), field.size());
    return QString::fromLatin1(kHexPrefix) + QString::fromStdString(util::bytesToHex(trimmed));
}

QString RecordCsvFormat::row(const QByteArray& record)
{
    if (record.size() != RecordLayout::size() ||
        static_cast<std::uint8_t>(record.at(0)) != static_cast<std::uint8_t>(wire::RecordMark::Data))
        return {};
    QStringList out;
    for (const RecordLayout::Field& field : RecordLayout::kFields) {
        if (hasColumn(field))
            out << quoted(value(record, field));
    }
    return out.join(QLatin1Char(','));
}

bool RecordCsvFormat::split(const QString& text, QVector<Row>* rows, QString* problem)
{
    rows->clear();
    RecordCsvReader reader([rows](const Row& row) { rows->append(row); });
    if (reader.feed(text.toUtf8()) && reader.finish())
        return true;
    *problem = reader.problem();
    return false;
}

bool RecordCsvFormat::record(const QStringList& cells, QByteArray* record, QString* problem)
{
    if (cells.size() != columnCount()) {
        *problem = QStringLiteral("%1 columns, expected %2").arg(cells.size()).arg(columnCount());
        return false;
    }
    QByteArray out;
    int column = 0;
    for (const RecordLayout::Field& field : RecordLayout::kFields) {
        if (field.line == RecordLayout::Line::InDateTime)
            continue; // written with the date-time cell
        if (!hasColumn(field)) {
            out += numberBytes(field.encoding, field.number);
            continue;
        }
        const QString& cell = cells.at(column++);
        QByteArray bytes;
        QString why;
        bool ok = false;
        if (field.line == RecordLayout::Line::DateTime) {
            ok = parseDateTime(cell, &bytes, &why);
        } else if (field.encoding == RecordLayout::Encoding::Text) {
            ok = textBytes(cell, field.width, &bytes, &why);
        } else {
            quint32 number = 0;
            ok = parseNumber(cell, maxNumber(field.encoding), &number, &why);
            bytes = numberBytes(field.encoding, number);
        }
        if (!ok) {
            *problem = QStringLiteral("%1: %2").arg(QLatin1String(field.csvColumn), why);
            return false;
        }
        out += bytes;
    }
    *record = out;
    return true;
}

bool RecordCsvFormat::textBytes(const QString& cell, int width, QByteArray* bytes, QString* problem)
{
    QByteArray out;
    if (cell.startsWith(QLatin1String(kHexPrefix))) {
        try {
            out = QByteArray::fromStdString(
                util::hexToBytes(cell.mid(kHexPrefix.size()).toUpper().toStdString()));
        } catch (const std::invalid_argument& e) {
            *problem =
                QStringLiteral("%1: %2 after hex:").arg(MessageQuote::of(cell), QLatin1String(e.what()));
            return false;
        }
    } else {
        out = cell.toUtf8();
    }
    if (out.size() > width) {
        *problem = QStringLiteral("%1 is %2 bytes, the field holds %3")
                       .arg(MessageQuote::of(cell))
                       .arg(out.size())
                       .arg(width);
        return false;
    }
    out.append(width - out.size(), '\0');
    *bytes = out;
    return true;
}

QByteArray RecordCsvFormat::numberBytes(RecordLayout::Encoding encoding, quint32 value)
{
    switch (encoding) {
    case RecordLayout::Encoding::U8:
        return QByteArray::fromStdString(util::toBytesU8(static_cast<std::uint8_t>(value)));
    case RecordLayout::Encoding::U16:
        return QByteArray::fromStdString(util::toBytesU16(static_cast<std::uint16_t>(value)));
    case RecordLayout::Encoding::U32:
    case RecordLayout::Encoding::Text:
        break;
    }
    return QByteArray::fromStdString(util::toBytesU32(value));
}

quint32 RecordCsvFormat::maxNumber(RecordLayout::Encoding encoding)
{
    switch (encoding) {
    case RecordLayout::Encoding::U8:
        return 0xFF;
    case RecordLayout::Encoding::U16:
        return 0xFFFF;
    case RecordLayout::Encoding::U32:
    case RecordLayout::Encoding::Text:
        break;
    }
    return 0xFFFFFFFFu;
}
