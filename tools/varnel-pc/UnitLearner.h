#pragma once

#include "capture/CapturePacket.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/ContentCodec.h"
#include "scenario/UnitState.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

struct ReceivedFrame;

// Learns one unit from captures of its line: per command what it answered and how fast, its
// texts, whether it keeps what is set, its clock, its records, and the replies that differ from
// the emulator's own. A capture is taken packet by packet, so a large one is never held whole.
class UnitLearner
{
public:
    // Get-time replies (and record dates) agree on a clock when they lie this close.
    static constexpr qint64 kClockAgreementMs = 2000;

    // The records CSV is written to csvPath, kept only when finish() succeeds.
    explicit UnitLearner(const QString& csvPath);
    ~UnitLearner();
    UnitLearner(const UnitLearner&) = delete;
    UnitLearner& operator=(const UnitLearner&) = delete;

    // One capture; false with error() naming the file for one that cannot be read, is not of
    // this line, is cut short, or holds no request or no reply. What it added stays.
    bool learn(const QString& path);
    // After the last capture: the CSV is put in place; false with error() when that fails.
    bool finish();
    QString error() const { return m_error; }
    bool hasRecords() const { return m_kept != nullptr; }

    // The set whose value a get returns from a unit that keeps what is set (set-time for
    // get-time); 0 for any other command.
    static std::uint8_t setBefore(std::uint8_t get);

    // The learned unit as a scenario file's object; `csvName` is its records.csv.
    QJsonObject scenario(const QString& csvName) const;
    // What was learned and what was not, as JSON and as the terminal's lines.
    QJsonObject report() const;
    QString reportText() const;

private:
    struct Upload;
    struct TextModel;
    struct CommandModel;
    struct Exchange;
    struct CaptureSummary;
    // Per capture: the sets seen so far, so a get is read against them.
    struct SessionState;
    struct Bounds
    {
        qint64 min = 0;
        qint64 max = 0;
        std::uint64_t count = 0;
        void add(qint64 value);
    };

    void request(const CapturePacket& packet);
    void unitBytes(const CapturePacket& packet);
    void cut(bool giveUp, qint64 atUs);
    void frame(const ReceivedFrame& frame, qint64 atUs);
    void uploadFrame(const ReceivedFrame& frame, qint64 atUs);
    void reply(std::uint8_t code, const QByteArray& content, qint64 atUs);
    // A reply whose content is not the emulator's kind of reply to the command.
    void otherContent(std::uint8_t code, ContentLayout layout, const QByteArray& content);
    void endExchange();
    void endUpload();
    void textGet(int text, const QByteArray& content);
    void textSet(int text, const QByteArray& content);
    void outcome(std::uint8_t code, const QString& key);

    // What the unit answers a command with where it is not the emulator's own: "none",
    // "hex:..." or nothing, with how many requests showed it.
    struct Outcome
    {
        QString reply;
        std::uint64_t count = 0;
        std::uint64_t of = 0;
    };
    std::optional<Outcome> learnedReply(std::uint8_t code) const;
    // The clock offset when the captures agree on one; the reason otherwise.
    std::optional<qint64> clockOffset(QString* why) const;
    std::optional<bool> recordDatesFollow(const std::optional<qint64>& offset) const;
    std::optional<bool> stateful() const;
    QString statefulWhy() const;
    QString textValue(int text, const QByteArray& bytes) const;
    QString learnedLine(std::uint8_t code) const;

    QString m_csvPath;
    QString m_error;
    std::array<std::unique_ptr<CommandModel>, CommandCatalogue::kCount + 1> m_commands;
    std::array<std::unique_ptr<TextModel>, UnitState::kTextCount> m_texts;
    std::unique_ptr<Exchange> m_exchange;
    std::unique_ptr<SessionState> m_session;
    std::unique_ptr<Upload> m_upload; // running
    std::unique_ptr<Upload> m_kept;   // the last one that ended
    std::vector<CaptureSummary> m_captures;
    std::vector<double> m_intervalsMs;
    QByteArray m_orphanBytes; // unit bytes before the first request
    Bounds m_clock;           // get-time replies less the capture's time, ms
    Bounds m_recordDates;     // the same of record dates
    std::uint64_t m_clockAfterSet = 0;
    std::uint64_t m_badDates = 0;
    std::uint64_t m_echoes = 0; // a get after a set returned the set value
    std::uint64_t m_keeps = 0;  // ... returned the text from before the set
    std::uint64_t m_neither = 0;
    QStringList m_echoWhere;
    QStringList m_keepWhere;
    std::uint64_t m_uploads = 0;
    std::uint64_t m_uploadsDiffering = 0;
    std::uint64_t m_uploadsUnended = 0;
    std::uint64_t m_damagedRecords = 0;
    std::uint64_t m_unsolicited = 0;
    std::uint64_t m_requestNotFrames = 0;
    std::uint64_t m_requestNotFrameBytes = 0;
    std::uint64_t m_unitNoiseBytes = 0;
    std::uint64_t m_crcErrors = 0;
    std::uint64_t m_discardedBytes = 0;
};
