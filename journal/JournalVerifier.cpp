#include "journal/JournalVerifier.h"

#include "journal/FramePattern.h"
#include "journal/Journal.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"
#include "scenario/ScenarioFile.h"
#include "util/MessageQuote.h"

#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

// The largest whole number a JSON reader holds exactly.
constexpr double kMaxSeq = 9007199254740991.0;
const QStringList kWindowKeys{QStringLiteral("after"), QStringLiteral("before")};

struct Window
{
    std::uint64_t after = 0;
    std::uint64_t before = std::numeric_limits<std::uint64_t>::max();
};

bool wholeNumber(const QJsonValue& value, double max, std::uint64_t* number)
{
    if (!value.isDouble())
        return false;
    const double given = value.toDouble();
    if (given != std::floor(given) || given < 0 || given > max)
        return false;
    *number = std::uint64_t(given);
    return true;
}

bool checkKeys(const QJsonObject& object, const QStringList& keys, const QString& where, QString* error)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!keys.contains(it.key())) {
            *error = QStringLiteral("%1unknown key %2 (expected: %3)")
                         .arg(where, MessageQuote::of(it.key()), keys.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}

bool readWindow(const QJsonObject& body, Window* window, QString* error)
{
    for (const QString& key : kWindowKeys) {
        const QJsonValue value = body.value(key);
        if (value.isUndefined())
            continue;
        std::uint64_t seq = 0;
        if (!wholeNumber(value, kMaxSeq, &seq)) {
            *error = QStringLiteral("%1: expected a seq (a whole number from 0 to %2), got %3")
                         .arg(key)
                         .arg(qint64(kMaxSeq))
                         .arg(value.isDouble() ? QString::number(value.toDouble())
                                               : ScenarioFile::typeName(value));
            return false;
        }
        (key == QLatin1String("after") ? window->after : window->before) = seq;
    }
    return true;
}

std::vector<JournalEvent> eventsIn(const Journal& journal, const Window& window,
                                   const std::vector<JournalEvent::Type>& types)
{
    const std::uint64_t before = window.before;
    return journal.since(window.after, std::numeric_limits<std::size_t>::max(),
                         [&types, before](const JournalEvent& event) {
                             return event.seq < before &&
                                    std::find(types.begin(), types.end(), event.type) != types.end();
                         });
}

QString commandText(const JournalEvent& event)
{
    const std::optional<FrameView> frame = FrameView::of(event.bytes);
    if (!frame)
        return QString();
    const QString gloss = commandGloss(frame->command());
    return gloss.isEmpty() ? QStringLiteral("0x%1").arg(frame->command(), 2, 16, QLatin1Char('0')) : gloss;
}

QJsonObject summary(const JournalEvent& event)
{
    return QJsonObject{{QStringLiteral("seq"), qint64(event.seq)},
                       {QStringLiteral("t"), JournalEvent::timestamp(event.timeUs)},
                       {QStringLiteral("type"), QLatin1String(JournalEvent::typeName(event.type))},
                       {QStringLiteral("command"), commandText(event)}};
}

bool matches(const FramePattern& pattern, const JournalEvent& event)
{
    return pattern.takesType(event) && pattern.sameCommand(event) && pattern.compare(event).all;
}

// The events of `candidates` of the pattern's type closest to it, at most kMaxNear: the same
// command first, then more of its checks right, then the older first. Those of another command
// are decoded only when the same command's do not fill the list.
QJsonArray nearest(const FramePattern& pattern, const std::vector<const JournalEvent*>& candidates)
{
    struct Near
    {
        const JournalEvent* event;
        FramePattern::Result result;
    };
    const auto rank = [](std::vector<Near>& list) {
        std::stable_sort(list.begin(), list.end(),
                         [](const Near& a, const Near& b) { return a.result.matched > b.result.matched; });
    };
    std::vector<Near> same;
    std::vector<Near> other;
    for (const JournalEvent* event : candidates) {
        if (pattern.takesType(*event) && pattern.sameCommand(*event))
            same.push_back({event, pattern.compare(*event)});
    }
    rank(same);
    if (same.size() < std::size_t(JournalVerifier::kMaxNear)) {
        for (const JournalEvent* event : candidates) {
            if (pattern.takesType(*event) && !pattern.sameCommand(*event))
                other.push_back({event, pattern.compare(*event)});
        }
        rank(other);
        same.insert(same.end(), other.begin(), other.end());
    }
    QJsonArray near;
    for (std::size_t i = 0; i < same.size() && i < std::size_t(JournalVerifier::kMaxNear); ++i) {
        QJsonObject entry = summary(*same[i].event);
        entry.insert(QStringLiteral("command_match"), same[i].result.sameCommand);
        QJsonArray fields;
        for (const FramePattern::Check& check : same[i].result.checks)
            fields.append(QJsonObject{{QStringLiteral("field"), check.name},
                                      {QStringLiteral("match"), check.match},
                                      {QStringLiteral("value"), check.value}});
        entry.insert(QStringLiteral("fields"), fields);
        near.append(entry);
    }
    return near;
}

std::vector<const JournalEvent*> pointers(const std::vector<JournalEvent>& events, std::size_t from = 0)
{
    std::vector<const JournalEvent*> list;
    for (std::size_t i = from; i < events.size(); ++i)
        list.push_back(&events[i]);
    return list;
}

std::optional<QJsonObject> verifyCount(const Journal& journal, const QJsonObject& body, QString* error)
{
    QStringList keys = FramePattern::kKeys;
    keys << QStringLiteral("count") << kWindowKeys;
    Window window;
    if (!checkKeys(body, keys, QString(), error) || !readWindow(body, &window, error))
        return std::nullopt;
    const std::optional<FramePattern> pattern = FramePattern::parse(body, QString(), error);
    if (!pattern)
        return std::nullopt;

    std::uint64_t min = 1;
    std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    QJsonValue expected = QJsonObject{{QStringLiteral("min"), 1}};
    const QJsonValue count = body.value(QStringLiteral("count"));
    const QString countHelp = QStringLiteral("expected a whole number or {\"min\": A, \"max\": B}");
    if (count.isDouble()) {
        if (!wholeNumber(count, kMaxSeq, &min)) {
            *error = QStringLiteral("count: %1, got %2").arg(countHelp).arg(count.toDouble());
            return std::nullopt;
        }
        max = min;
        expected = count;
    } else if (count.isObject() && !count.toObject().isEmpty()) {
        const QJsonObject range = count.toObject();
        if (!checkKeys(range, {QStringLiteral("min"), QStringLiteral("max")}, QStringLiteral("count: "), error))
            return std::nullopt;
        min = 0;
        for (auto it = range.begin(); it != range.end(); ++it) {
            if (!wholeNumber(it.value(), kMaxSeq, it.key() == QLatin1String("min") ? &min : &max)) {
                *error = QStringLiteral("count.%1: expected a whole number, got %2")
                             .arg(it.key(), it.value().isDouble() ? QString::number(it.value().toDouble())
                                                                  : ScenarioFile::typeName(it.value()));
                return std::nullopt;
            }
        }
        if (min > max) {
            *error = QStringLiteral("count: min %1 is above max %2").arg(min).arg(max);
            return std::nullopt;
        }
        expected = range;
    } else if (!count.isUndefined()) {
        *error = QStringLiteral("count: %1, got %2").arg(countHelp, ScenarioFile::typeName(count));
        return std::nullopt;
    }

    const std::vector<JournalEvent> events = eventsIn(journal, window, {pattern->type()});
    QJsonArray seqs;
    std::vector<const JournalEvent*> hits;
    std::vector<const JournalEvent*> misses;
    for (const JournalEvent& event : events)
        (matches(*pattern, event) ? hits : misses).push_back(&event);
    for (const JournalEvent* hit : hits)
        seqs.append(qint64(hit->seq));
    const std::uint64_t matched = hits.size();
    if (matched >= min && matched <= max)
        return QJsonObject{{QStringLiteral("ok"), true},
                           {QStringLiteral("matched"), qint64(matched)},
                           {QStringLiteral("seqs"), seqs}};
    // Too few: the misses nearest to it; too many: the matches say which.
    return QJsonObject{{QStringLiteral("ok"), false},
                       {QStringLiteral("matched"), qint64(matched)},
                       {QStringLiteral("expected"), expected},
                       {QStringLiteral("near"), nearest(*pattern, matched < min ? misses : hits)}};
}

std::optional<QJsonObject> verifySequence(const Journal& journal, const QJsonObject& body, QString* error)
{
    Window window;
    if (!checkKeys(body, QStringList{QStringLiteral("sequence"), QStringLiteral("strict")} << kWindowKeys,
                   QString(), error) ||
        !readWindow(body, &window, error))
        return std::nullopt;
    const QJsonValue strictValue = body.value(QStringLiteral("strict"));
    if (!strictValue.isUndefined() && !strictValue.isBool()) {
        *error = QStringLiteral("strict: expected true or false, got %1").arg(ScenarioFile::typeName(strictValue));
        return std::nullopt;
    }
    const bool strict = strictValue.toBool(false);
    const QJsonValue list = body.value(QStringLiteral("sequence"));
    if (!list.isArray() || list.toArray().isEmpty() || list.toArray().size() > JournalVerifier::kMaxSequence) {
        *error = QStringLiteral("sequence: expected a list of 1 to %1 patterns, got %2")
                     .arg(JournalVerifier::kMaxSequence)
                     .arg(list.isArray() ? QStringLiteral("%1").arg(list.toArray().size())
                                         : ScenarioFile::typeName(list));
        return std::nullopt;
    }
    std::vector<FramePattern> patterns;
    std::vector<JournalEvent::Type> types;
    const QJsonArray items = list.toArray();
    for (int i = 0; i < items.size(); ++i) {
        const QString where = QStringLiteral("sequence[%1]").arg(i);
        if (!items.at(i).isObject()) {
            *error = QStringLiteral("%1: expected a pattern object, got %2")
                         .arg(where, ScenarioFile::typeName(items.at(i)));
            return std::nullopt;
        }
        const QJsonObject item = items.at(i).toObject();
        if (!checkKeys(item, FramePattern::kKeys, where + QStringLiteral(": "), error))
            return std::nullopt;
        std::optional<FramePattern> pattern = FramePattern::parse(item, where + QLatin1Char('.'), error);
        if (!pattern)
            return std::nullopt;
        if (std::find(types.begin(), types.end(), pattern->type()) == types.end())
            types.push_back(pattern->type());
        patterns.push_back(std::move(*pattern));
    }

    // The events the patterns are of: other types come between them whatever `strict` says.
    const std::vector<JournalEvent> events = eventsIn(journal, window, types);
    std::vector<std::size_t> placed;
    if (strict) {
        for (std::size_t start = 0; start < events.size() && placed.size() < patterns.size(); ++start) {
            std::size_t run = 0;
            while (run < patterns.size() && start + run < events.size() &&
                   matches(patterns[run], events[start + run]))
                ++run;
            if (run > placed.size()) {
                placed.clear();
                for (std::size_t i = 0; i < run; ++i)
                    placed.push_back(start + i);
            }
        }
    } else {
        std::size_t next = 0;
        for (const FramePattern& pattern : patterns) {
            while (next < events.size() && !matches(pattern, events[next]))
                ++next;
            if (next == events.size())
                break;
            placed.push_back(next++);
        }
    }
    QJsonArray seqs;
    QJsonArray summaries;
    for (const std::size_t index : placed) {
        seqs.append(qint64(events[index].seq));
        summaries.append(summary(events[index]));
    }
    if (placed.size() == patterns.size())
        return QJsonObject{{QStringLiteral("ok"), true},
                           {QStringLiteral("matched"), int(placed.size())},
                           {QStringLiteral("seqs"), seqs}};
    const FramePattern& failed = patterns[placed.size()];
    return QJsonObject{{QStringLiteral("ok"), false},
                       {QStringLiteral("failed"), int(placed.size())},
                       {QStringLiteral("pattern"), failed.json()},
                       {QStringLiteral("placed"), summaries},
                       {QStringLiteral("near"),
                        nearest(failed, pointers(events, placed.empty() ? 0 : placed.back() + 1))}};
}

} // namespace

std::optional<QJsonObject> JournalVerifier::verify(const Journal& journal, const QJsonObject& body,
                                                   QString* error)
{
    if (body.contains(QStringLiteral("sequence")))
        return verifySequence(journal, body, error);
    return verifyCount(journal, body, error);
}
