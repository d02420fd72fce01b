#include "journal/UnitMetrics.h"

#include "journal/JournalEvent.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/WireFormat.h"

namespace {

// A command's label: its name from the catalogue, or its code in decimal.
QByteArray commandLabel(std::size_t code)
{
    const QString name = commandGloss(static_cast<std::uint8_t>(code));
    return name.isEmpty() ? QByteArray::number(qulonglong(code)) : UnitMetrics::escapeLabelValue(name);
}

// Microseconds as seconds in plain decimals, exactly: 1500 -> "0.0015".
QByteArray secondsText(std::uint64_t us)
{
    QByteArray text = QByteArray::number(qulonglong(us / 1000000));
    std::uint64_t fraction = us % 1000000;
    if (fraction == 0)
        return text;
    QByteArray digits = QByteArray::number(qulonglong(fraction)).rightJustified(6, '0');
    while (digits.endsWith('0'))
        digits.chop(1);
    return text + '.' + digits;
}

void family(QByteArray& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(QByteArray& out, const char* name, int unit, const QByteArray& moreLabels, std::uint64_t value)
{
    out += name;
    out += "{unit=\"";
    out += QByteArray::number(unit);
    out += '"';
    out += moreLabels;
    out += "} ";
    out += QByteArray::number(qulonglong(value));
    out += '\n';
}

} // namespace

void UnitMetrics::observe(const JournalEvent& event)
{
    const bool frame = event.type == JournalEvent::Type::Request || event.type == JournalEvent::Type::Reply ||
                       event.type == JournalEvent::Type::Record;
    const int command = frame && event.bytes.size() > int(wire::kCommandOffset)
                            ? static_cast<std::uint8_t>(event.bytes.at(int(wire::kCommandOffset)))
                            : -1;
    std::lock_guard<std::mutex> locker(m_mutex);
    switch (event.type) {
    case JournalEvent::Type::Request:
        if (command >= 0)
            ++m_counts.received[std::size_t(command)];
        break;
    case JournalEvent::Type::Reply:
        if (command >= 0)
            ++m_counts.sent[std::size_t(command)];
        if (event.latencyUs >= 0) {
            std::size_t bucket = 0;
            while (bucket < kLatencyBoundsUs.size() && event.latencyUs > kLatencyBoundsUs[bucket])
                ++bucket;
            if (bucket < kLatencyBoundsUs.size())
                ++m_counts.latency[bucket];
            ++m_counts.latencyCount;
            m_counts.latencySumUs += std::uint64_t(event.latencyUs);
            if (command >= 0 && isCommand(std::uint8_t(command))) {
                Latency& latency = m_counts.byCommand[std::size_t(command) - 1];
                if (bucket < kLatencyBoundsUs.size())
                    ++latency.buckets[bucket];
                ++latency.count;
                latency.sumUs += std::uint64_t(event.latencyUs);
            }
        }
        break;
    case JournalEvent::Type::Record:
        if (command >= 0)
            ++m_counts.sent[std::size_t(command)];
        ++m_counts.recordsUploaded;
        break;
    case JournalEvent::Type::Fault:
        ++m_counts.faultsFired;
        break;
    case JournalEvent::Type::Discard:
        m_counts.discardedBytes += std::uint64_t(event.bytes.size());
        break;
    default:
        break;
    }
}

void UnitMetrics::noteWithheld(Withheld what, std::uint8_t command)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    switch (what) {
    case Withheld::Dropped:
        ++m_counts.dropped[command];
        break;
    case Withheld::Delayed:
        ++m_counts.delayed[command];
        break;
    case Withheld::Held:
        ++m_counts.held[command];
        break;
    }
}

UnitMetrics::Snapshot UnitMetrics::snapshot() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_counts;
}

const char* UnitMetrics::contentType()
{
    return "text/plain; version=0.0.4; charset=utf-8";
}

QByteArray UnitMetrics::escapeLabelValue(const QString& value)
{
    QByteArray escaped;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

QByteArray UnitMetrics::exposition(const std::vector<std::pair<int, const UnitMetrics*>>& units)
{
    std::vector<std::pair<int, Snapshot>> snapshots;
    snapshots.reserve(units.size());
    for (const auto& unit : units)
        snapshots.emplace_back(unit.first, unit.second->snapshot());
    return exposition(snapshots);
}

QByteArray UnitMetrics::exposition(const std::vector<std::pair<int, Snapshot>>& units)
{
    QByteArray out;
    // A command appears once a frame of it went by, so many units stay a short scrape.
    const auto perCommand = [&](const char* name, const char* help,
                                std::array<std::uint64_t, 256> Snapshot::*counts) {
        family(out, name, "counter", help);
        for (const auto& unit : units) {
            const std::array<std::uint64_t, 256>& byCode = unit.second.*counts;
            for (std::size_t code = 0; code < byCode.size(); ++code) {
                if (byCode[code])
                    sample(out, name, unit.first, ",command=\"" + commandLabel(code) + '"', byCode[code]);
            }
        }
    };
    const auto perUnit = [&](const char* name, const char* help, std::uint64_t Snapshot::*count) {
        family(out, name, "counter", help);
        for (const auto& unit : units)
            sample(out, name, unit.first, QByteArray(), unit.second.*count);
    };
    perCommand("varnel_frames_received_total", "Request frames cut from the line.", &Snapshot::received);
    perCommand("varnel_frames_sent_total", "Reply and record frames written to the line.", &Snapshot::sent);
    perCommand("varnel_frames_dropped_total",
               "Reply and record frames never written: dropped by a fault rule or a cut upload, refused by a "
               "full held-back queue, let go while held back, or the line was closed.",
               &Snapshot::dropped);
    perCommand("varnel_frames_delayed_total",
               "Reply and record frames a fault rule of their own delayed or split; sent once written.",
               &Snapshot::delayed);
    perCommand("varnel_frames_held_total",
               "Reply and record frames written late only behind a delayed one; sent once written.",
               &Snapshot::held);
    perUnit("varnel_faults_fired_total", "Fault rules fired.", &Snapshot::faultsFired);
    perUnit("varnel_discarded_bytes_total", "Received bytes that were no frame.", &Snapshot::discardedBytes);
    perUnit("varnel_records_uploaded_total", "Record frames of uploads written to the line.",
            &Snapshot::recordsUploaded);

    const char* latency = "varnel_reply_latency_seconds";
    family(out, latency, "histogram", "From a request's last byte to its reply's write to the line.");
    for (const auto& unit : units) {
        const Snapshot& counts = unit.second;
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < kLatencyBoundsUs.size(); ++i) {
            cumulative += counts.latency[i];
            sample(out, "varnel_reply_latency_seconds_bucket", unit.first,
                   ",le=\"" + secondsText(std::uint64_t(kLatencyBoundsUs[i])) + '"', cumulative);
        }
        sample(out, "varnel_reply_latency_seconds_bucket", unit.first, ",le=\"+Inf\"", counts.latencyCount);
        out += "varnel_reply_latency_seconds_sum{unit=\"" + QByteArray::number(unit.first) + "\"} " +
               secondsText(counts.latencySumUs) + '\n';
        sample(out, "varnel_reply_latency_seconds_count", unit.first, QByteArray(), counts.latencyCount);
    }

    // The same by command, for the commands a reply of known latency went out for.
    const char* byCommand = "varnel_command_reply_latency_seconds";
    family(out, byCommand, "histogram", "From a request's last byte to its reply's hand-over, by command.");
    for (const auto& unit : units) {
        for (std::size_t row = 0; row < unit.second.byCommand.size(); ++row) {
            const Latency& latency = unit.second.byCommand[row];
            if (latency.count == 0)
                continue;
            const QByteArray command = ",command=\"" + commandLabel(row + 1) + '"';
            std::uint64_t cumulative = 0;
            for (std::size_t i = 0; i < kLatencyBoundsUs.size(); ++i) {
                cumulative += latency.buckets[i];
                sample(out, "varnel_command_reply_latency_seconds_bucket", unit.first,
                       command + ",le=\"" + secondsText(std::uint64_t(kLatencyBoundsUs[i])) + '"',
                       cumulative);
            }
            sample(out, "varnel_command_reply_latency_seconds_bucket", unit.first, command + ",le=\"+Inf\"",
                   latency.count);
            out += "varnel_command_reply_latency_seconds_sum{unit=\"" + QByteArray::number(unit.first) + '"' +
                   command + "} " + secondsText(latency.sumUs) + '\n';
            sample(out, "varnel_command_reply_latency_seconds_count", unit.first, command, latency.count);
        }
    }
    return out;
}
