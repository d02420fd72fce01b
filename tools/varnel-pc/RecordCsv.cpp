#include "tools/varnel-pc/RecordCsv.h"

#include "device/RecordLayout.h"
#include "device/WireFormat.h"
#include "util/Conversions.h"

#include <QStringList>
#include <QVector>

namespace {

const QByteArray kHexPrefix("hex:");

std::string bytesAt(const QByteArray& record, int offset, int size)
{
    return record.mid(offset, size).toStdString();
}

// Text a spreadsheet shows as it is and a reader cannot mistake for a hex field.
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
        return RecordCsv::textField(record.mid(field.offset, field.width));
    return number(record, field);
}

bool hasColumn(const RecordLayout::Field& field)
{
    return *field.csvColumn != '\0';
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

} // namespace

bool RecordCsv::open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_error = m_file.errorString();
        return false;
    }
    return writeLine(header());
}

bool RecordCsv::addFrameContent(const QByteArray& content)
{
    const QString line = row(content);
    if (line.isEmpty() || !m_file.isOpen())
        return true;
    if (!writeLine(line))
        return false;
    ++m_rows;
    return true;
}

bool RecordCsv::close()
{
    if (!m_file.isOpen())
        return m_error.isEmpty();
    const bool flushed = m_file.flush();
    if (!flushed && m_error.isEmpty())
        m_error = m_file.errorString();
    m_file.close();
    return flushed && m_error.isEmpty();
}

// Unbuffered, row by row: an interrupted upload leaves every row it got, and a short
// write is tried again so that a failure comes with the system's reason.
bool RecordCsv::writeLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = m_file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            m_error = m_file.errorString();
            return false;
        }
        done += written;
    }
    return true;
}

QString RecordCsv::header()
{
    QStringList columns;
    for (const RecordLayout::Field& field : RecordLayout::kFields) {
        if (hasColumn(field))
            columns << QLatin1String(field.csvColumn);
    }
    return columns.join(QLatin1Char(','));
}

QString RecordCsv::textField(const QByteArray& bytes)
{
    const std::string trimmed = util::trimTrailingZeros(bytes.toStdString());
    const QByteArray field = QByteArray::fromStdString(trimmed);
    if (isPlainText(field))
        return QString::fromUtf8(field.constData(), field.size());
    return QString::fromLatin1(kHexPrefix) + QString::fromStdString(util::bytesToHex(trimmed));
}

QString RecordCsv::row(const QByteArray& record)
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
