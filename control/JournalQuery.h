#pragma once

#include "journal/Journal.h"
#include "journal/JournalEvent.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

// What a journal request asks for: events after a seq, how many, of which type and command,
// and how long to wait for one. Every parameter is checked; a refusal names it.
struct JournalQuery
{
    static constexpr std::size_t kDefaultLimit = 1000;
    static constexpr std::size_t kMaxLimit = 100000;
    // Events in one answer whatever `limit` asks: a larger one reads on from `next`.
    static constexpr std::size_t kMaxAnswer = 1000;
    static constexpr int kMaxWaitMs = 60000;
    // The largest whole number a JSON reader holds exactly: `next` answers with what was given.
    static constexpr std::uint64_t kMaxSeq = (std::uint64_t(1) << 53) - 1;

    std::uint64_t after = 0;
    std::size_t limit = kDefaultLimit;
    int waitMs = 0;
    std::optional<JournalEvent::Type> type;
    std::optional<std::uint8_t> command;

    // The query string's parameters, decoded; false with `error` naming the one refused.
    static bool parse(const std::multimap<std::string, std::string>& params, JournalQuery* query,
                      QString* error);
    std::size_t pageLimit() const { return limit < kMaxAnswer ? limit : kMaxAnswer; }
    // Passes the events of the type and command asked for; an empty filter when neither is.
    Journal::Filter filter() const;
};
