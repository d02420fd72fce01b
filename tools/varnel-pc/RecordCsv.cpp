#include "tools/varnel-pc/RecordCsv.h"

#include "util/Conversions.h"

#include <QStringList>
#include <QVector>

namespace {

constexpr int kRecordSize = 110;
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

QString text(const QByteArray& record, int offset, int size)
{
    return RecordCsv::textField(record.mid(offset, size));
}

QString u8(const QByteArray& record, int offset)
{
    return QString::number(util::peekU8(bytesAt(record, offset, 1)));
}

QString u16(const QByteArray& record, int offset)
{
    return QString::number(util::peekU16(bytesAt(record, offset, 2)));
}

QString u32(const QByteArray& record, int offset)
{
    return QString::number(util::peekU32(bytesAt(record, offset, 4)));
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
    return QStringLiteral(
        "sequence,tool_model,serial_number,date_time,device_name,device_number,operator,"
        "pressure_unit,torque_unit,pressure,target_torque,actual_torque,bolt_spec,bolt_grade,"
        "target_angle,actual_angle,gear,selected_mode,working_mode,result");
}

QString RecordCsv::textField(const QByteArray& bytes)
{
    const std::string trimmed = util::trimTrailingZeros(bytes.toStdString());
    const QByteArray field = QByteArray::fromStdString(trimmed);
    if (isPlainText(field))
        return QString::fromUtf8(field.constData(), field.size());
    return QString::fromLatin1(kHexPrefix) + QString::fromStdString(util::bytesToHex(trimmed));
}

QString RecordCsv::row(const QByteArray& r)
{
    if (r.size() != kRecordSize || r.at(0) != 1)
        return {};
    const QString dateTime = QStringLiteral("%1-%2-%3 %4:%5:%6")
                                 .arg(util::peekU16(bytesAt(r, 23, 2)))
                                 .arg(util::peekU8(bytesAt(r, 25, 1)), 2, 10, QLatin1Char('0'))
                                 .arg(util::peekU8(bytesAt(r, 26, 1)), 2, 10, QLatin1Char('0'))
                                 .arg(util::peekU8(bytesAt(r, 27, 1)), 2, 10, QLatin1Char('0'))
                                 .arg(util::peekU8(bytesAt(r, 28, 1)), 2, 10, QLatin1Char('0'))
                                 .arg(util::peekU8(bytesAt(r, 29, 1)), 2, 10, QLatin1Char('0'));
    const QStringList fields = {
        u32(r, 1),      text(r, 5, 10),  text(r, 15, 8),  dateTime,        text(r, 30, 16),
        text(r, 46, 8), text(r, 54, 16), u8(r, 70),       u8(r, 71),       u16(r, 72),
        u32(r, 74),     u32(r, 78),      text(r, 82, 10), text(r, 92, 10), u16(r, 102),
        u16(r, 104),    u8(r, 106),      u8(r, 107),      u8(r, 108),      u8(r, 109),
    };
    QStringList out;
    for (const QString& f : fields)
        out << quoted(f);
    return out.join(QLatin1Char(','));
}
