#pragma once

#include "protocol/RecordLayout.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <QVector>

#include <string>

// Where an upload's records come from: today's synthetic records, those with some fields
// replaced (a fixed value, a seeded draw from a range, a list cycled record by record), or
// the rows of a CSV file, sent as they are.
class RecordSource
{
public:
    struct Rule
    {
        enum class Kind
        {
            Fixed,
            Range,
            List
        };
        int offset = 0;
        RecordLayout::Encoding encoding = RecordLayout::Encoding::U8;
        Kind kind = Kind::Fixed;
        QVector<QByteArray> values; // Fixed and List: the field's bytes
        quint32 from = 0;           // Range, inclusive
        quint32 to = 0;
    };

    void addRule(const Rule& rule) { m_rules.append(rule); }
    void setRows(const QVector<QByteArray>& rows);
    void setSeed(quint32 seed) { m_seed = seed; }

    bool hasRows() const { return m_hasRows; }
    int rowCount() const { return m_rows.size(); }
    bool isDefault() const { return !m_hasRows && m_rules.isEmpty(); }

    // The draws start again from the seed, so each upload of a scenario brings the same records.
    void restart();
    // Record `index` (from 0) of an upload: the file's row (from the first again after the
    // last), or `generated` with the named fields replaced.
    std::string record(int index, std::string generated);
    // How an upload of `count` records takes `rows` CSV rows, as its log lines say it.
    static QString rowsTaken(int count, int rows);

private:
    QVector<Rule> m_rules;
    QVector<QByteArray> m_rows;
    bool m_hasRows = false;
    quint32 m_seed = 0;
    QRandomGenerator m_random;
};
