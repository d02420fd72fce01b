#include "scenario/RecordSource.h"

#include "scenario/RecordCsvFormat.h"

#include <cstdint>

void RecordSource::useRows()
{
    m_packed.clear();
    m_offsets = {0};
    m_hasRows = true;
}

QString RecordSource::rowsTaken(int count, int rows)
{
    if (rows == 0)
        return QStringLiteral("but the CSV has no rows: none are sent");
    if (count <= rows)
        return QStringLiteral("the first %1 of the CSV's %2 rows").arg(count).arg(rows);
    return QStringLiteral("the CSV's %1 rows from the first again after the last").arg(rows);
}

void RecordSource::appendRow(const QByteArray& record)
{
    for (int i = 0; i < record.size();) {
        if (record.at(i) != '\0') {
            m_packed += record.at(i++);
            continue;
        }
        int run = 1;
        while (run < 255 && i + run < record.size() && record.at(i + run) == '\0')
            ++run;
        m_packed += '\0';
        m_packed += char(run);
        i += run;
    }
    m_offsets.append(quint32(m_packed.size()));
}

void RecordSource::squeeze()
{
    m_packed.squeeze();
    m_offsets.squeeze();
}

void RecordSource::restart()
{
    m_random.seed(m_seed);
}

std::string RecordSource::record(int index, std::string generated)
{
    if (m_hasRows) {
        std::string record;
        const int rows = rowCount();
        if (index < 0 || rows == 0)
            return record;
        // A count above the row count takes the rows again from the first.
        const int row = index % rows;
        const char* packed = m_packed.constData();
        for (quint32 i = m_offsets.at(row), end = m_offsets.at(row + 1); i < end; ++i) {
            if (packed[i] != '\0')
                record += packed[i];
            else
                record.append(std::size_t(std::uint8_t(packed[++i])), '\0');
        }
        return record;
    }
    for (const Rule& rule : m_rules) {
        QByteArray bytes;
        switch (rule.kind) {
        case Rule::Kind::Fixed:
            bytes = rule.values.value(0);
            break;
        case Rule::Kind::List:
            bytes = rule.values.value(index % qMax(1, rule.values.size()));
            break;
        case Rule::Kind::Range: {
            // Span 2^32 (the whole of a 32-bit field) does not fit bounded()'s argument.
            const quint64 span = quint64(rule.to) - rule.from + 1;
            const quint32 draw = span > 0xFFFFFFFFu ? m_random.generate() : m_random.bounded(quint32(span));
            bytes = RecordCsvFormat::numberBytes(rule.encoding, rule.from + draw);
            break;
        }
        }
        generated.replace(static_cast<std::size_t>(rule.offset), static_cast<std::size_t>(bytes.size()),
                          bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    return generated;
}
