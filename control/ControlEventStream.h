#pragma once

#include "journal/EventFeed.h"

#include <atomic>

namespace httplib {
struct Response;
}

class UnitHost;

// GET /events: every unit's events as server-sent events, each stream fed on its own worker
// from a bounded queue, so a slow reader never holds a unit up.
class ControlEventStream
{
public:
    // Streams at once; one more is answered 503.
    static constexpr int kMaxStreams = 8;

    // Follows every unit of the host until it goes (owner thread).
    explicit ControlEventStream(UnitHost* host);
    ~ControlEventStream();

    void serve(httplib::Response& response);
    // Every stream ends now, every later one at once.
    void close();

private:
    UnitHost* m_host;
    EventFeed m_feed;
    std::atomic<int> m_streams{0};
};
