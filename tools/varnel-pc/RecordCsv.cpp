#include "tools/varnel-pc/RecordCsv.h"

#include "util/Conversions.h"

#include <QFile>
#include <QStringList>

namespace {

constexpr int kRecordSize = 110;

std::string bytesAt(const QByteArray& record, int offset, int size)
{
    return record.mid(offset, size).toStdString();
}

QString text(const QByteArray& record, int offset, int size)
{
    const std::string trimmed = util::trimTrailingZeros(bytesAt(record, offset, size));
    return QString::fromUtf8(trimmed.data(), static_cast<int>(trimmed.size()));
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
        !field.contains(QLatin1Char('\n')))
        return field;
    QString escaped = field;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

RecordCsv::~RecordCsv()
{
    if (m_file)
        std::fclose(m_file);
}

bool RecordCsv::open(const QString& path)
{
    m_file = std::fopen(QFile::encodeName(path).constData(), "w");
    if (!m_file)
        return false;
    std::fprintf(m_file, "%s\n", header().toUtf8().constData());
    return true;
}

void RecordCsv::addFrameContent(const QByteArray& content)
{
    const QString line = row(content);
    if (line.isEmpty() || !m_file)
        return;
    std::fprintf(m_file, "%s\n", line.toUtf8().constData());
    std::fflush(m_file);
    ++m_rows;
}

QString RecordCsv::header()
{
    return QStringLiteral(
        "sequence,tool_model,serial_number,date_time,device_name,device_number,operator,"
        "pressure_unit,torque_unit,pressure,target_torque,actual_torque,bolt_spec,bolt_grade,"
        "target_angle,actual_angle,gear,selected_mode,working_mode,result");
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
