#pragma once

#include <QByteArray>
#include <QDateTime>

#include <cstdint>
#include <map>

// What the unit answers its gets with: the four texts and the clock, and replies a scenario
// fixes for a command. A stateful unit remembers the texts the PC program sets and keeps the
// set clock as an offset from the local clock; otherwise every set is only acknowledged.
class UnitState
{
public:
    enum class Text
    {
        SerialNumber,
        DeviceName,
        DeviceNumber,
        Operator
    };
    static constexpr int kTextCount = 4;

    // A command's reply as a scenario gives it: this content instead of the unit's own, or
    // no reply at all.
    struct FixedReply
    {
        bool silent = false;
        QByteArray content;
    };

    // The unit out of the box: its fixed texts, not stateful, the local clock.
    UnitState();

    QByteArray text(Text text) const { return m_texts[static_cast<int>(text)]; }
    void setText(Text text, const QByteArray& bytes) { m_texts[static_cast<int>(text)] = bytes; }

    bool isStateful() const { return m_stateful; }
    void setStateful(bool stateful) { m_stateful = stateful; }

    // A set request's content: kept when stateful, as it came.
    void remember(Text text, const QByteArray& bytes);
    // A set-time content (year, month, day, hour, minute, second); false, the clock
    // unchanged, when it holds no valid date and time. Only a stateful unit keeps it.
    bool setClock(const QByteArray& content);
    // A clock that runs this far from the local one from the start, as a set time would set it.
    void setClockOffset(qint64 ms);
    // True once a set time (or a clock offset) moved the clock away from the local one.
    bool clockSet() const { return m_clockSet; }
    // The unit's clock.
    QDateTime now() const;

    void setFixedReply(std::uint8_t command, const FixedReply& reply) { m_fixedReplies[command] = reply; }
    // Nothing for a command the unit answers as its own.
    const FixedReply* fixedReply(std::uint8_t command) const;
    const std::map<std::uint8_t, FixedReply>& fixedReplies() const { return m_fixedReplies; }

private:
    QByteArray m_texts[kTextCount];
    bool m_stateful = false;
    bool m_clockSet = false;
    qint64 m_clockOffsetMs = 0;
    std::map<std::uint8_t, FixedReply> m_fixedReplies;
};
