#include "control/JournalQuery.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"
#include "util/MessageQuote.h"

#include <QStringList>

namespace {

// Decimal digits only, up to `max`: no sign, no exponent, no spaces.
std::optional<std::uint64_t> decimal(const QString& text, std::uint64_t max)
{
    if (text.isEmpty() || text.size() > 20)
        return std::nullopt;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    bool valid = false;
    const std::uint64_t value = text.toULongLong(&valid, 10);
    if (!valid || value > max)
        return std::nullopt;
    return value;
}

std::optional<std::uint8_t> commandCode(const QString& text)
{
    if (const auto command = commandFromGloss(text))
        return toCode(*command);
    std::optional<std::uint64_t> code;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) && text.size() > 2 && text.size() <= 4) {
        bool valid = false;
        const uint value = text.mid(2).toUInt(&valid, 16);
        if (valid)
            code = value;
    } else {
        code = decimal(text, 0xFF);
    }
    if (!code || !isCommand(std::uint8_t(*code)))
        return std::nullopt;
    return std::uint8_t(*code);
}

} // namespace

bool JournalQuery::parse(const std::multimap<std::string, std::string>& params, JournalQuery* query,
                         QString* error)
{
    JournalQuery parsed;
    QStringList seen;
    for (const auto& param : params) {
        const QString name = QString::fromUtf8(param.first.data(), int(param.first.size()));
        const QString value = QString::fromUtf8(param.second.data(), int(param.second.size()));
        const auto refuse = [&](const QString& expected) {
            *error = QStringLiteral("%1: %2 is not %3").arg(name, MessageQuote::of(value), expected);
            return false;
        };
        if (seen.contains(name)) {
            *error = QStringLiteral("%1: given more than once").arg(name);
            return false;
        }
        seen << name;
        if (name == QLatin1String("after")) {
            const auto after = decimal(value, kMaxSeq);
            if (!after)
                return refuse(QStringLiteral("a seq (decimal digits, up to %1)").arg(kMaxSeq));
            parsed.after = *after;
        } else if (name == QLatin1String("limit")) {
            const auto limit = decimal(value, kMaxLimit);
            if (!limit || *limit == 0)
                return refuse(QStringLiteral("a number of events from 1 to %1").arg(kMaxLimit));
            parsed.limit = std::size_t(*limit);
        } else if (name == QLatin1String("wait")) {
            const auto wait = decimal(value, std::uint64_t(kMaxWaitMs));
            if (!wait)
                return refuse(QStringLiteral("a number of milliseconds from 0 to %1").arg(kMaxWaitMs));
            parsed.waitMs = int(*wait);
        } else if (name == QLatin1String("type")) {
            QStringList names;
            for (const JournalEvent::Type type : JournalEvent::kTypes) {
                names << QLatin1String(JournalEvent::typeName(type));
                if (value == names.last())
                    parsed.type = type;
            }
            if (!parsed.type)
                return refuse(QStringLiteral("an event type (%1)").arg(names.join(QStringLiteral(", "))));
        } else if (name == QLatin1String("cmd")) {
            parsed.command = commandCode(value);
            if (!parsed.command)
                return refuse(QStringLiteral("a command name (get-time) or code (2, 0x02) from %1 to %2")
                                  .arg(toCode(kFirstCommand))
                                  .arg(toCode(kLastCommand)));
        } else {
            *error = QStringLiteral("unknown parameter %1 (after, limit, type, cmd, wait)")
                         .arg(MessageQuote::of(name));
            return false;
        }
    }
    *query = parsed;
    return true;
}

Journal::Filter JournalQuery::filter() const
{
    if (!type && !command)
        return Journal::Filter();
    const std::optional<JournalEvent::Type> wantedType = type;
    const std::optional<std::uint8_t> wantedCommand = command;
    return [wantedType, wantedCommand](const JournalEvent& event) {
        if (wantedType && event.type != *wantedType)
            return false;
        if (!wantedCommand)
            return true;
        // Only the events that carry a frame have a command.
        if (event.type != JournalEvent::Type::Request && event.type != JournalEvent::Type::Reply &&
            event.type != JournalEvent::Type::Record)
            return false;
        const std::optional<FrameView> frame = FrameView::of(event.bytes);
        return frame && frame->command() == *wantedCommand;
    };
}
