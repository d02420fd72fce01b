#pragma once

#include "protocol/CommandCatalogue.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

struct JournalEvent;

// A unit's running counts for scraping, fed from each journal event as it is appended (so
// none is lost when the journal's bound drops old events). Counts only rise: clearing the
// journal or resetting the unit keeps them, as a scraper expects of a counter. Thread-safe.
class UnitMetrics
{
public:
    // Upper bounds of the reply-latency buckets, in microseconds (0.0001 s to 5 s).
    static constexpr std::array<std::int64_t, 10> kLatencyBoundsUs = {
        100, 500, 1000, 5000, 10000, 50000, 100000, 500000, 1000000, 5000000};

    // Reply latencies of one kind: per bucket (not cumulative), how many were known, their sum.
    struct Latency
    {
        std::array<std::uint64_t, kLatencyBoundsUs.size()> buckets{};
        std::uint64_t count = 0;
        std::uint64_t sumUs = 0;
    };

    struct Snapshot
    {
        std::array<std::uint64_t, 256> received{}; // request frames by command byte
        std::array<std::uint64_t, 256> sent{};     // reply and record frames written, by command byte
        std::array<std::uint64_t, 256> dropped{};  // handed over, never written
        std::array<std::uint64_t, 256> delayed{};  // held back by a fault rule of their own
        std::array<std::uint64_t, 256> held{};     // held back only behind a delayed one
        std::uint64_t faultsFired = 0;
        std::uint64_t discardedBytes = 0;
        std::uint64_t recordsUploaded = 0;                            // record frames written to the line
        std::array<std::uint64_t, kLatencyBoundsUs.size()> latency{}; // per bucket, not cumulative
        std::uint64_t latencyCount = 0;                               // replies written, with a known latency
        std::uint64_t latencySumUs = 0;
        std::array<Latency, CommandCatalogue::kCount> byCommand{}; // by code - 1, the catalogue's commands
    };

    // What did not go to the line as it was handed over; the journal notes only what was written.
    enum class Withheld
    {
        Dropped,
        Delayed,
        Held
    };

    void observe(const JournalEvent& event);
    void noteWithheld(Withheld what, std::uint8_t command);
    // Every count as of one moment.
    Snapshot snapshot() const;

    // Prometheus text exposition (version 0.0.4) of the given units, by unit number.
    static QByteArray exposition(const std::vector<std::pair<int, const UnitMetrics*>>& units);
    static QByteArray exposition(const std::vector<std::pair<int, Snapshot>>& units);
    // A label value as the exposition format quotes it: backslash, double quote and newline escaped.
    static QByteArray escapeLabelValue(const QString& value);
    // The content type a scrape answer carries.
    static const char* contentType();

private:
    mutable std::mutex m_mutex;
    Snapshot m_counts; // guarded by m_mutex
};
