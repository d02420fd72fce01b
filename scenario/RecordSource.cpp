#include "scenario/RecordSource.h"

#include "scenario/RecordCsvFormat.h"

void RecordSource::setRows(const QVector<QByteArray>& rows)
{
    m_rows = rows;
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

void RecordSource::restart()
{
    m_random.seed(m_seed);
}

std::string RecordSource::record(int index, std::string generated)
{
    if (m_hasRows)
        return index >= 0 && !m_rows.isEmpty() ? m_rows.at(index % m_rows.size()).toStdString()
                                               : std::string();
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
