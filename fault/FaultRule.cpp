#include "fault/FaultRule.h"

#include "protocol/CommandCatalogue.h"
#include "transport/LineTransport.h"
#include "util/MessageQuote.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {
using Action = FaultRule::Action;

// What each action is called, what its value looks like, and where it applies.
struct ActionSpec
{
    Action action;
    const char* name;
    const char* form; // the value's form in messages; empty: takes no value
    bool onRequests;
    bool onRecords;
    bool onLine;
};

const ActionSpec kActions[] = {
    {Action::Drop, "drop", "", true, true, false},
    {Action::Delay, "delay", "delay=MS or delay=MIN-MAX", true, false, false},
    {Action::CorruptCrc, "corrupt-crc", "", true, true, false},
    {Action::Truncate, "truncate", "truncate=N", true, true, false},
    {Action::Split, "split", "split=K:MS", true, false, false},
    {Action::Noise, "noise", "noise=N", true, false, false},
    {Action::WrongCommand, "wrong-command", "wrong-command=C", true, false, false},
    {Action::WrongAddress, "wrong-address", "wrong-address=A", true, false, false},
    {Action::Duplicate, "duplicate", "", true, true, false},
    {Action::Stall, "stall", "stall=MS", true, false, false},
    {Action::StopAfter, "stop-after", "stop-after=K", false, true, false},
    {Action::Vanish, "vanish", "vanish=MS", false, false, true},
    {Action::Break, "break", "break=MS", false, false, true},
    {Action::Garble, "garble", "garble=P", false, false, true},
    {Action::Modem, "modem", "modem=dsr-off or modem=cts-off or modem=dcd-off", false, false, true},
};

// line:modem's values and the modem-state bit each turns off.
struct ModemLine
{
    const char* value;
    std::uint8_t bit;
};
const ModemLine kModemLines[] = {
    {"dsr-off", LineTransport::kDsr},
    {"cts-off", LineTransport::kCts},
    {"dcd-off", LineTransport::kDcd},
};

const ActionSpec* findAction(const QString& name)
{
    for (const ActionSpec& spec : kActions) {
        if (name == QLatin1String(spec.name))
            return &spec;
    }
    return nullptr;
}

const ActionSpec& specOf(Action action)
{
    for (const ActionSpec& spec : kActions) {
        if (spec.action == action)
            return spec;
    }
    return kActions[0];
}

QString actionsWhere(bool ActionSpec::*applies)
{
    QStringList names;
    for (const ActionSpec& spec : kActions) {
        if (spec.*applies)
            names << QString::fromLatin1(*spec.form ? spec.form : spec.name);
    }
    return names.join(QStringLiteral(", "));
}

QString recordActions()
{
    return actionsWhere(&ActionSpec::onRecords);
}

// A probability from 0 to 1 as p= and garble= take it.
std::optional<double> probability(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || text.isEmpty() || !text.at(0).isDigit() || !std::isfinite(value) || value < 0.0 || value > 1.0)
        return std::nullopt;
    return value;
}

// A decimal number (or 0x hex where allowed) from min to max.
std::optional<std::uint64_t> number(const QString& text, std::uint64_t min, std::uint64_t max,
                                    bool hex = false)
{
    bool ok = false;
    std::uint64_t value = 0;
    if (hex && text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) && text.size() > 2)
        value = text.mid(2).toULongLong(&ok, 16);
    else if (!text.isEmpty() && text.at(0).isDigit())
        value = text.toULongLong(&ok, 10);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

enum class DurationFault
{
    None,
    Malformed,
    TooLong,
    FinerThanMs
};

// "250ms", "2s", "1.5s", "1m": digits, an optional fraction, a unit; whole milliseconds only.
DurationFault duration(const QString& text, std::uint32_t* ms)
{
    int unitAt = 0;
    while (unitAt < text.size() && (text.at(unitAt).isDigit() || text.at(unitAt) == QLatin1Char('.')))
        ++unitAt;
    const QString digits = text.left(unitAt);
    const QString unit = text.mid(unitAt);
    std::uint64_t unitMs = 0;
    if (unit == QLatin1String("ms"))
        unitMs = 1;
    else if (unit == QLatin1String("s"))
        unitMs = 1000;
    else if (unit == QLatin1String("m"))
        unitMs = 60000;
    const int point = digits.indexOf(QLatin1Char('.'));
    const QString whole = point < 0 ? digits : digits.left(point);
    const QString fraction = point < 0 ? QString() : digits.mid(point + 1);
    // Only ASCII digits (isDigit() takes other scripts' too), one point with digits on both sides.
    const auto ascii = [](const QString& part) {
        return std::all_of(part.cbegin(), part.cend(),
                           [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    };
    if (unitMs == 0 || whole.isEmpty() || (point >= 0 && fraction.isEmpty()) || !ascii(whole) ||
        !ascii(fraction))
        return DurationFault::Malformed;
    // Leading zeros aside, more than nine digits is beyond a day in any unit (and stays in 64 bits).
    QString significant = whole;
    while (significant.size() > 1 && significant.startsWith(QLatin1Char('0')))
        significant.remove(0, 1);
    if (significant.size() > 9)
        return DurationFault::TooLong;
    QString frac = fraction;
    while (frac.endsWith(QLatin1Char('0')))
        frac.chop(1);
    if (frac.size() > 9)
        return DurationFault::FinerThanMs;
    std::uint64_t scale = 1;
    for (int i = 0; i < frac.size(); ++i)
        scale *= 10;
    const std::uint64_t fractionMs = (frac.isEmpty() ? 0 : frac.toULongLong()) * unitMs;
    if (fractionMs % scale != 0)
        return DurationFault::FinerThanMs;
    const std::uint64_t total = significant.toULongLong() * unitMs + fractionMs / scale;
    if (total > FaultRule::kLongestTimelineMs)
        return DurationFault::TooLong;
    *ms = static_cast<std::uint32_t>(total);
    return DurationFault::None;
}

// A duration as rules print it: whole minutes, else seconds (with their fraction), else ms.
QString durationText(std::uint32_t ms)
{
    if (ms != 0 && ms % 60000 == 0)
        return QStringLiteral("%1m").arg(ms / 60000);
    if (ms >= 1000) {
        QString text = QString::number(ms / 1000);
        if (ms % 1000 != 0) {
            QString fraction = QString::number(ms % 1000).rightJustified(3, QLatin1Char('0'));
            while (fraction.endsWith(QLatin1Char('0')))
                fraction.chop(1);
            text += QLatin1Char('.') + fraction;
        }
        return text + QLatin1Char('s');
    }
    return QStringLiteral("%1ms").arg(ms);
}

bool isTimeline(const QString& part)
{
    return part.startsWith(QLatin1String("after=")) || part.startsWith(QLatin1String("for="));
}

std::optional<std::uint8_t> commandTarget(const QString& text)
{
    if (const auto code = number(text, toCode(kFirstCommand), toCode(kLastCommand), true))
        return static_cast<std::uint8_t>(*code);
    if (const auto command = commandFromGloss(text))
        return toCode(*command);
    return std::nullopt;
}

} // namespace

std::optional<FaultRule> FaultRule::parse(const QString& input, QString* error)
{
    const QString text = input.trimmed();
    const auto fail = [&](const QString& problem) -> std::optional<FaultRule> {
        if (error)
            *error = QStringLiteral("fault rule %1: %2").arg(MessageQuote::of(text), problem);
        return std::nullopt;
    };

    const int colon = text.indexOf(QLatin1Char(':'));
    if (colon <= 0 || colon == text.size() - 1)
        return fail(QStringLiteral("expected TARGET:ACTION[@WHEN]"));
    const QString targetText = text.left(colon);
    QString actionText = text.mid(colon + 1);
    QString whenText;
    const int at = actionText.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        whenText = actionText.mid(at + 1);
        actionText.truncate(at);
        if (whenText.isEmpty())
            return fail(QStringLiteral("nothing after \"@\" (N, N-M, every=K or p=P)"));
    }
    // WHEN is the counted form (N, N-M, every=K, p=P), then the timeline, comma-separated.
    const QStringList whenParts = whenText.isEmpty() ? QStringList() : whenText.split(QLatin1Char(','));
    const QString countedText =
        whenParts.isEmpty() || isTimeline(whenParts.first()) ? QString() : whenParts.first();

    FaultRule rule;
    if (targetText == QLatin1String("*")) {
        rule.m_target = Target::Any;
    } else if (targetText == QLatin1String("record")) {
        rule.m_target = Target::Record;
    } else if (targetText == QLatin1String("line")) {
        rule.m_target = Target::Line;
    } else if (const auto code = commandTarget(targetText)) {
        rule.m_target = Target::Command;
        rule.m_command = *code;
    } else {
        return fail(QStringLiteral("unknown target %1 (a command code 1-21 or 0x01-0x15, a command "
                                   "name such as get-time, *, record or line)")
                        .arg(MessageQuote::of(targetText)));
    }

    const int equals = actionText.indexOf(QLatin1Char('='));
    const QString name = equals < 0 ? actionText : actionText.left(equals);
    const QString value = equals < 0 ? QString() : actionText.mid(equals + 1);
    const ActionSpec* spec = findAction(name);
    if (!spec)
        return fail(QStringLiteral("unknown action %1").arg(MessageQuote::of(name)));
    const bool onRecord = rule.m_target == Target::Record;
    const bool onLine = rule.m_target == Target::Line;
    if (onRecord && !spec->onRecords)
        return fail(QStringLiteral("action \"%1\" does not apply to record (%2)").arg(name, recordActions()));
    if (onLine && !spec->onLine)
        return fail(QStringLiteral("action \"%1\" does not apply to line (%2)")
                        .arg(name, actionsWhere(&ActionSpec::onLine)));
    if (!onRecord && !onLine && !spec->onRequests)
        return fail(QStringLiteral("action \"%1\" applies to %2 only")
                        .arg(name, QLatin1String(spec->onLine ? "line" : "record")));
    if (!*spec->form && equals >= 0)
        return fail(QStringLiteral("action \"%1\" takes no value").arg(name));
    if (*spec->form && value.isEmpty())
        return fail(QStringLiteral("action \"%1\" needs a value (%2)").arg(name, QLatin1String(spec->form)));
    rule.m_action = spec->action;

    const auto badValue = [&](const QString& what) {
        return fail(QStringLiteral("%1: %2 is not %3").arg(name, MessageQuote::of(value), what));
    };
    switch (spec->action) {
    case Action::Delay: {
        const QStringList ends = value.split(QLatin1Char('-'));
        const auto low = number(ends.value(0), 0, FaultRule::kLongestMs);
        const auto high = ends.size() == 2 ? number(ends.value(1), 0, FaultRule::kLongestMs) : low;
        if (ends.size() > 2 || !low || !high)
            return badValue(QStringLiteral("MS or MIN-MAX, milliseconds from 0 to 3600000"));
        if (*high < *low)
            return badValue(QStringLiteral("a range: MAX is below MIN"));
        rule.m_value = static_cast<std::uint32_t>(*low);
        rule.m_value2 = static_cast<std::uint32_t>(*high);
        break;
    }
    case Action::Truncate: {
        const auto n = number(value, 0, 65535);
        if (!n)
            return badValue(QStringLiteral("a byte count from 0 to 65535"));
        rule.m_value = static_cast<std::uint32_t>(*n);
        break;
    }
    case Action::Split: {
        const QStringList parts = value.split(QLatin1Char(':'));
        const auto pieces = number(parts.value(0), 2, 1000);
        const auto gap = number(parts.value(1), 0, 60000);
        if (parts.size() != 2 || !pieces || !gap)
            return badValue(QStringLiteral("K:MS, 2 to 1000 pieces, 0 to 60000 ms apart"));
        rule.m_value = static_cast<std::uint32_t>(*gap);
        rule.m_value2 = static_cast<std::uint32_t>(*pieces);
        break;
    }
    case Action::Noise: {
        const auto n = number(value, 1, 10240);
        if (!n)
            return badValue(QStringLiteral("a byte count from 1 to 10240"));
        rule.m_value = static_cast<std::uint32_t>(*n);
        break;
    }
    case Action::WrongCommand: {
        const auto c = number(value, 0, 0xFF, true);
        if (!c)
            return badValue(QStringLiteral("a command byte, 0 to 255 or 0x00 to 0xFF"));
        rule.m_value = static_cast<std::uint32_t>(*c);
        break;
    }
    case Action::WrongAddress: {
        const auto a = number(value, 0, 0xFFFF, true);
        if (!a)
            return badValue(QStringLiteral("an address, 0 to 65535 or 0x0000 to 0xFFFF"));
        rule.m_value = static_cast<std::uint32_t>(*a);
        break;
    }
    case Action::Stall: {
        const auto ms = number(value, 1, FaultRule::kLongestMs);
        if (!ms)
            return badValue(QStringLiteral("a number of milliseconds from 1 to 3600000"));
        rule.m_value = static_cast<std::uint32_t>(*ms);
        break;
    }
    case Action::StopAfter: {
        const auto k = number(value, 0, 99999999);
        if (!k)
            return badValue(QStringLiteral("a number of data frames from 0 to 99999999"));
        // A timeline is fine: the uploads that reach K while the rule is active are cut.
        if (!countedText.isEmpty())
            return fail(QStringLiteral("stop-after takes no WHEN: it cuts every upload"));
        rule.m_value = static_cast<std::uint32_t>(*k);
        break;
    }
    case Action::Vanish:
    case Action::Break: {
        const auto ms = number(value, 1, spec->action == Action::Break ? 60000 : FaultRule::kLongestMs);
        if (!ms)
            return badValue(spec->action == Action::Break
                                ? QStringLiteral("a number of milliseconds from 1 to 60000")
                                : QStringLiteral("a number of milliseconds from 1 to 3600000"));
        rule.m_value = static_cast<std::uint32_t>(*ms);
        break;
    }
    case Action::Garble: {
        const auto p = probability(value);
        if (!p)
            return badValue(QStringLiteral("a probability from 0 to 1"));
        rule.m_garble = *p;
        break;
    }
    case Action::Modem: {
        const auto line = std::find_if(std::begin(kModemLines), std::end(kModemLines),
                                       [&](const ModemLine& m) { return value == QLatin1String(m.value); });
        if (line == std::end(kModemLines))
            return badValue(QStringLiteral("dsr-off, cts-off or dcd-off"));
        rule.m_value = line->bit;
        break;
    }
    case Action::Drop:
    case Action::CorruptCrc:
    case Action::Duplicate:
        break;
    }
    // A state lasts while the rule is active; its window is the timeline alone.
    if ((spec->action == Action::Garble || spec->action == Action::Modem) && !countedText.isEmpty())
        return fail(
            QStringLiteral("%1 takes no counted WHEN: it lasts while the rule is active (after=, for=)")
                .arg(name));

    const auto badWhen = [&](const QString& what) {
        return fail(QStringLiteral("WHEN %1: %2").arg(MessageQuote::of(whenText), what));
    };
    bool hasAfter = false;
    bool hasFor = false;
    for (int i = countedText.isEmpty() ? 0 : 1; i < whenParts.size(); ++i) {
        const QString& part = whenParts.at(i);
        if (part.isEmpty())
            return badWhen(QStringLiteral("an empty part between commas"));
        if (!isTimeline(part))
            return badWhen(QStringLiteral("%1 is not after=DURATION or for=DURATION (N, N-M, every=K or p=P "
                                          "comes first)")
                               .arg(MessageQuote::of(part)));
        const bool isAfter = part.startsWith(QLatin1String("after="));
        const QString key = isAfter ? QStringLiteral("after") : QStringLiteral("for");
        bool& seen = isAfter ? hasAfter : hasFor;
        if (seen)
            return badWhen(QStringLiteral("%1= given twice").arg(key));
        seen = true;
        const QString value = part.mid(key.size() + 1);
        std::uint32_t ms = 0;
        switch (duration(value, &ms)) {
        case DurationFault::None:
            break;
        case DurationFault::Malformed:
            return badWhen(QStringLiteral("%1=: %2 is not a duration such as 250ms, 2s, 1.5s or 1m")
                               .arg(key, MessageQuote::of(value)));
        case DurationFault::TooLong:
            return badWhen(
                QStringLiteral("%1=: %2 is longer than 24 hours").arg(key, MessageQuote::of(value)));
        case DurationFault::FinerThanMs:
            return badWhen(QStringLiteral("%1=: %2 is not a whole number of milliseconds")
                               .arg(key, MessageQuote::of(value)));
        }
        if (!isAfter && ms == 0)
            return badWhen(QStringLiteral("for=: %1 would end the rule as it starts (1ms or more)")
                               .arg(MessageQuote::of(value)));
        (isAfter ? rule.m_afterMs : rule.m_forMs) = ms;
    }

    if (!countedText.isEmpty()) {
        constexpr std::uint64_t kMost = 1ull << 62;
        if (countedText.startsWith(QLatin1String("every="))) {
            const auto k = number(countedText.mid(6), 1, kMost);
            if (!k)
                return badWhen(QStringLiteral("every=K needs K from 1"));
            rule.m_when = When::Every;
            rule.m_whenFirst = *k;
        } else if (countedText.startsWith(QLatin1String("p="))) {
            const auto chance = probability(countedText.mid(2));
            if (!chance)
                return badWhen(QStringLiteral("p=P needs a probability from 0 to 1"));
            rule.m_when = When::Chance;
            rule.m_chance = *chance;
        } else {
            const QStringList ends = countedText.split(QLatin1Char('-'));
            const auto first = number(ends.value(0), 1, kMost);
            const auto last = ends.size() == 2 ? number(ends.value(1), 1, kMost) : first;
            if (ends.size() > 2 || !first || !last)
                return badWhen(QStringLiteral("expected N, N-M, every=K or p=P (N counts from 1)"));
            if (*last < *first)
                return badWhen(QStringLiteral("the range ends before it starts"));
            rule.m_when = ends.size() == 2 ? When::Range : When::Nth;
            rule.m_whenFirst = *first;
            rule.m_whenLast = *last;
        }
    }
    if (error)
        error->clear();
    return rule;
}

QString FaultRule::actionName() const
{
    return QString::fromLatin1(specOf(m_action).name);
}

QString FaultRule::text() const
{
    QString target;
    switch (m_target) {
    case Target::Any:
        target = QStringLiteral("*");
        break;
    case Target::Record:
        target = QStringLiteral("record");
        break;
    case Target::Line:
        target = QStringLiteral("line");
        break;
    case Target::Command:
        target = commandGloss(m_command);
        break;
    }
    QString action = QString::fromLatin1(specOf(m_action).name);
    switch (m_action) {
    case Action::Delay:
        action += QLatin1Char('=') + QString::number(m_value);
        if (m_value2 != m_value)
            action += QLatin1Char('-') + QString::number(m_value2);
        break;
    case Action::Split:
        action += QStringLiteral("=%1:%2").arg(m_value2).arg(m_value);
        break;
    case Action::WrongCommand:
        action += QStringLiteral("=0x") +
                  QString::number(m_value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        break;
    case Action::WrongAddress:
        action += QStringLiteral("=0x") +
                  QString::number(m_value, 16).toUpper().rightJustified(4, QLatin1Char('0'));
        break;
    case Action::Truncate:
    case Action::Noise:
    case Action::Stall:
    case Action::StopAfter:
    case Action::Vanish:
    case Action::Break:
        action += QLatin1Char('=') + QString::number(m_value);
        break;
    case Action::Garble:
        action += QLatin1Char('=') + QString::number(m_garble);
        break;
    case Action::Modem:
        for (const ModemLine& line : kModemLines) {
            if (line.bit == m_value)
                action += QLatin1Char('=') + QLatin1String(line.value);
        }
        break;
    case Action::Drop:
    case Action::CorruptCrc:
    case Action::Duplicate:
        break;
    }
    QString when;
    switch (m_when) {
    case When::Always:
        break;
    case When::Nth:
        when = QStringLiteral("@%1").arg(m_whenFirst);
        break;
    case When::Range:
        when = QStringLiteral("@%1-%2").arg(m_whenFirst).arg(m_whenLast);
        break;
    case When::Every:
        when = QStringLiteral("@every=%1").arg(m_whenFirst);
        break;
    case When::Chance:
        when = QStringLiteral("@p=%1").arg(m_chance);
        break;
    }
    QStringList timeline;
    if (m_afterMs != 0)
        timeline << QStringLiteral("after=") + durationText(m_afterMs);
    if (m_forMs != 0)
        timeline << QStringLiteral("for=") + durationText(m_forMs);
    if (!timeline.isEmpty())
        when +=
            (when.isEmpty() ? QStringLiteral("@") : QStringLiteral(",")) + timeline.join(QLatin1Char(','));
    return target + QLatin1Char(':') + action + when;
}

bool FaultRule::hasTimeline(const QString& text)
{
    // Only WHEN holds after= or for=, as parts after the "@".
    const int at = text.indexOf(QLatin1Char('@'));
    if (at < 0)
        return false;
    for (const QString& part : text.mid(at + 1).split(QLatin1Char(','))) {
        if (isTimeline(part))
            return true;
    }
    return false;
}

bool FaultRule::firesOn(std::uint64_t n, double draw) const
{
    switch (m_when) {
    case When::Always:
        return true;
    case When::Nth:
        return n == m_whenFirst;
    case When::Range:
        return n >= m_whenFirst && n <= m_whenLast;
    case When::Every:
        return n % m_whenFirst == 0;
    case When::Chance:
        return draw < m_chance;
    }
    return false;
}
