#include "control/ControlEventStream.h"

#include "control/ControlReply.h"
#include "emulator/UnitHost.h"
#include "emulator/UnitSession.h"
#include "journal/EventSubscription.h"

#include <memory>
#include <string>

#include <httplib.h>

namespace {

// How long a stream's worker waits for events at a time, how many it writes at once, and how
// long a stream stays silent before a comment tests whether its reader is still there.
constexpr int kStreamPollMs = 250;
constexpr std::size_t kStreamBatch = 200;
constexpr int kKeepAliveMs = 5000;

} // namespace

ControlEventStream::ControlEventStream(UnitHost* host) : m_host(host)
{
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        m_feed.follow(m_host->session(id)->journal());
}

ControlEventStream::~ControlEventStream()
{
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        m_feed.unfollow(m_host->session(id)->journal());
}

void ControlEventStream::close()
{
    m_feed.close();
}

void ControlEventStream::serve(httplib::Response& response)
{
    // Counted from here until the stream ends, whichever way it ends.
    if (m_streams.fetch_add(1) >= kMaxStreams) {
        m_streams.fetch_sub(1);
        ControlReply::send(
            response,
            ControlReply::error(
                503, QStringLiteral("%1 event streams are open already; try again").arg(kMaxStreams)));
        return;
    }
    const std::shared_ptr<EventSubscription> subscription = m_feed.subscribe();
    response.set_header("Cache-Control", "no-cache");
    auto quiet = std::make_shared<int>(0);
    response.set_chunked_content_provider(
        "text/event-stream",
        [subscription, quiet](std::size_t, httplib::DataSink& sink) {
            // A short wait, so a reader gone is noticed by the keep-alive comment below.
            const EventSubscription::Batch batch = subscription->next(kStreamPollMs, kStreamBatch);
            std::string out;
            for (const QByteArray& line : batch.lines) {
                out += "data: ";
                out.append(line.constData(), std::size_t(line.size()) - 1); // without its newline
                out += "\n\n";
            }
            if (batch.lost > 0)
                out += "event: lost\ndata: {\"lost\":" + std::to_string(batch.lost) + "}\n\n";
            if (out.empty() && ++*quiet * kStreamPollMs >= kKeepAliveMs)
                out = ": keep-alive\n\n";
            if (!out.empty()) {
                *quiet = 0;
                if (!sink.write(out.data(), out.size()))
                    return false;
            }
            if (batch.closed)
                sink.done();
            return true;
        },
        [this, subscription](bool) {
            m_feed.unsubscribe(subscription);
            m_streams.fetch_sub(1);
        });
}
