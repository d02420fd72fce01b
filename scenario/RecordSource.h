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
    // From now on the records are a file's rows, the first one given by appendRow.
    void useRows();
    // One more row of the file: its record's bytes, kept packed.
    void appendRow(const QByteArray& record);
    // Hands back memory kept for rows still to come.
    void squeeze();
    void setSeed(quint32 seed) { m_seed = seed; }

    bool hasRows() const { return m_hasRows; }
    int rowCount() const { return m_offsets.isEmpty() ? 0 : m_offsets.size() - 1; }
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
    // A file's rows, one after the other, each run of zero bytes as a zero and its length (the
    // text fields are mostly zeros): a file of short rows still takes less than the file.
    // Row i lies from m_offsets[i] to m_offsets[i + 1]. Both shared between copies.
    QByteArray m_packed;
    QVector<quint32> m_offsets;
    bool m_hasRows = false;
    quint32 m_seed = 0;
    QRandomGenerator m_random;
};
