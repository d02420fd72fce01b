#include "tools/varnel-pc/UnitLearner.h"

#include "capture/CaptureReader.h"
#include "protocol/ContentCodec.h"
#include "protocol/FrameExtractor.h"
#include "protocol/RecordLayout.h"
#include "protocol/WireFormat.h"
#include "scenario/RecordCsvFormat.h"
#include "scenario/ReplyTiming.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "tools/varnel-pc/ConsoleText.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>

namespace {

// The unit's texts by the layout their get and set carry; the commands come from the catalogue.
struct TextLayout
{
    ContentLayout layout;
    UnitState::Text text;
};

constexpr TextLayout kTextLayouts[] = {
    {ContentLayout::SerialNumber, UnitState::Text::SerialNumber},
    {ContentLayout::DeviceName, UnitState::Text::DeviceName},
    {ContentLayout::DeviceNumber, UnitState::Text::DeviceNumber},
    {ContentLayout::Operator, UnitState::Text::Operator},
};

// Distinct replies a command keeps count of; a unit that varies more is not one reply.
constexpr std::size_t kMaxOutcomes = 64;
// Distinct own values a text keeps.
constexpr int kMaxTextValues = 16;
constexpr qint64 kSecondMs = 1000;

ContentLayout layoutOf(std::uint8_t code, FrameDirection direction)
{
    return ContentCodec::layoutFor(code, direction).value_or(ContentLayout::Empty);
}

// The text a command's content is, or -1.
int textOf(ContentLayout layout)
{
    for (const TextLayout& entry : kTextLayouts) {
        if (entry.layout == layout)
            return int(entry.text);
    }
    return -1;
}

int textOfGet(std::uint8_t code)
{
    return textOf(layoutOf(code, FrameDirection::Response));
}

int textOfSet(std::uint8_t code)
{
    if (layoutOf(code, FrameDirection::Response) != ContentLayout::Empty)
        return -1;
    return textOf(layoutOf(code, FrameDirection::Request));
}

std::uint8_t getOfText(int text)
{
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries) {
        if (textOfGet(toCode(entry.command)) == text)
            return toCode(entry.command);
    }
    return 0;
}

QString hexReply(const QByteArray& content)
{
    return QStringLiteral("hex:") + ConsoleText::hex(content);
}

// A date-time content (year in two bytes, then month, day, hour, minute, second) as the local
// time it names, in ms since the epoch; none when it is no date and time. The zone's offset is
// looked up only when the hour changes: records of one upload share it, and each look-up reads
// the zone file.
std::optional<qint64> localMs(const QByteArray& bytes)
{
    if (bytes.size() != RecordLayout::kDateTimeSize)
        return std::nullopt;
    const auto at = [&bytes](int i) { return int(std::uint8_t(bytes.at(i))); };
    const QDate date(at(0) << 8 | at(1), at(2), at(3));
    const QTime time(at(4), at(5), at(6));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    static QDate lastDate;
    static int lastHour = -1;
    static qint64 lastOffsetMs = 0;
    if (date != lastDate || time.hour() != lastHour) {
        const QDateTime local(date, QTime(time.hour(), 30));
        lastOffsetMs = qint64(local.offsetFromUtc()) * 1000;
        lastDate = date;
        lastHour = time.hour();
    }
    return QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch() - lastOffsetMs;
}

double percentile(std::vector<double> samples, double q)
{
    if (samples.empty())
        return 0.0;
    std::sort(samples.begin(), samples.end());
    const double at = q * double(samples.size() - 1);
    const std::size_t below = std::size_t(std::floor(at));
    const std::size_t above = std::min(below + 1, samples.size() - 1);
    return samples[below] + (samples[above] - samples[below]) * (at - double(below));
}

double microsecondsRounded(double ms)
{
    return std::round(ms * 1000.0) / 1000.0;
}

// At most as many samples as a scenario takes: beyond that, evenly spaced order statistics,
// which keep the distribution the draw reproduces.
QJsonArray samplesJson(const std::vector<double>& samples)
{
    QJsonArray out;
    const std::size_t limit = std::size_t(ReplyTiming::kMaxSamples);
    if (samples.size() <= limit) {
        for (double ms : samples)
            out.append(microsecondsRounded(ms));
        return out;
    }
    std::vector<double> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < limit; ++i)
        out.append(microsecondsRounded(sorted[i * (sorted.size() - 1) / (limit - 1)]));
    return out;
}

QJsonObject figures(const std::vector<double>& samples)
{
    return {{QStringLiteral("median"), microsecondsRounded(percentile(samples, 0.5))},
            {QStringLiteral("p90"), microsecondsRounded(percentile(samples, 0.9))},
            {QStringLiteral("samples"), double(samples.size())}};
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

struct UnitLearner::CommandModel
{
    std::uint64_t requests = 0;
    std::uint64_t answered = 0;
    std::vector<double> latencyMs;
    // "" the emulator's own reply, "none", or "hex:" and the content.
    std::map<QString, std::uint64_t> outcomes;
    QString last;
    std::uint64_t uncounted = 0; // past kMaxOutcomes distinct replies
    std::uint64_t tooLong = 0;   // replies longer than a fixed reply holds
};

struct UnitLearner::TextModel
{
    QList<QByteArray> values; // distinct, in the order first seen
    QByteArray last;
    bool seen = false;
    std::uint64_t tooLong = 0;
};

struct UnitLearner::Exchange
{
    std::uint8_t code = 0; // 0: no frame of a known command
    qint64 atUs = 0;
    qint64 lastUs = 0; // the unit's last bytes for it
    bool answered = false;
    bool garbled = false; // bytes that were no frame, or a frame for another request, came
    QByteArray buffer;    // unit bytes not yet cut into frames
};

struct UnitLearner::CaptureSummary
{
    QString file;
    std::uint64_t packets = 0;
    std::uint64_t requests = 0;
    std::uint64_t replies = 0;
};

struct UnitLearner::SessionState
{
    std::array<std::optional<QByteArray>, UnitState::kTextCount> set;     // the last set of each text
    std::array<std::optional<QByteArray>, UnitState::kTextCount> before;  // its value when it was set
    std::array<std::optional<QByteArray>, UnitState::kTextCount> current; // its value as last seen
    bool clockSet = false;
};

// The records of one upload as they came, in a file of their own: an upload like the one kept
// costs no CSV, and only the last is written as one.
struct UnitLearner::Upload
{
    QTemporaryFile raw;
    QCryptographicHash hash{QCryptographicHash::Sha1};
    QByteArray digest;
    std::uint32_t announced = 0;
    std::uint64_t records = 0;
    bool ended = false;
    qint64 lastFrameUs = 0;
};

void UnitLearner::Bounds::add(qint64 value)
{
    min = count ? std::min(min, value) : value;
    max = count ? std::max(max, value) : value;
    ++count;
}

UnitLearner::UnitLearner(const QString& csvPath) : m_csvPath(csvPath)
{
    for (auto& command : m_commands)
        command = std::make_unique<CommandModel>();
    for (auto& text : m_texts)
        text = std::make_unique<TextModel>();
}

UnitLearner::~UnitLearner() = default;

std::uint8_t UnitLearner::setBefore(std::uint8_t get)
{
    if (get == toCode(Command::GetTime))
        return toCode(Command::SetTime);
    const int text = textOfGet(get);
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries) {
        if (text >= 0 && textOfSet(toCode(entry.command)) == text)
            return toCode(entry.command);
    }
    return 0;
}

bool UnitLearner::learn(const QString& path)
{
    m_captures.push_back({path});
    m_session = std::make_unique<SessionState>();
    m_exchange.reset();
    m_orphanBytes.clear();
    CaptureReader reader;
    const bool read = reader.read(path, [this](const CapturePacket& packet) {
        ++m_captures.back().packets;
        switch (packet.direction) {
        case CapturePacket::Direction::PcToUnit:
            request(packet);
            break;
        case CapturePacket::Direction::UnitToPc:
            unitBytes(packet);
            break;
        case CapturePacket::Direction::Discarded:
            m_discardedBytes += std::uint64_t(packet.bytes.size());
            break;
        }
        return m_error.isEmpty();
    });
    if (!read) {
        m_error = QStringLiteral("%1: %2").arg(path, reader.error());
        return false;
    }
    endExchange();
    if (!m_orphanBytes.isEmpty()) {
        cut(true, 0);
        m_orphanBytes.clear();
    }
    // A capture is a session of its own: an upload it leaves open ends with it.
    if (m_upload)
        endUpload();
    if (!m_error.isEmpty())
        return false;
    const CaptureSummary& summary = m_captures.back();
    if (summary.requests == 0) {
        m_error = QStringLiteral("%1: holds no request of the PC program").arg(path);
        return false;
    }
    if (summary.replies == 0) {
        m_error = QStringLiteral("%1: holds no reply from the unit to any of its %2 requests")
                      .arg(path)
                      .arg(summary.requests);
        return false;
    }
    return true;
}

void UnitLearner::request(const CapturePacket& packet)
{
    endExchange();
    m_exchange = std::make_unique<Exchange>();
    m_exchange->atUs = packet.microseconds;
    ++m_captures.back().requests;
    QByteArray bytes = packet.bytes;
    const ExtractionResult cut =
        FrameExtractor::extract(bytes, FrameExtractor::Incomplete::GiveUp, FrameExtractor::BadChecksum::Keep);
    if (cut.frames.size() != 1 || cut.frames.front().raw != packet.bytes || !cut.frames.front().checksumOk) {
        ++m_requestNotFrames;
        m_requestNotFrameBytes += std::uint64_t(packet.bytes.size());
        return;
    }
    const ReceivedFrame& frame = cut.frames.front();
    m_exchange->code = frame.command;
    ++m_commands[frame.command]->requests;
    const int text = textOfSet(frame.command);
    if (text >= 0)
        textSet(text, frame.content);
    if (frame.command == toCode(Command::SetTime))
        m_session->clockSet = true;
}

void UnitLearner::unitBytes(const CapturePacket& packet)
{
    if (m_exchange) {
        m_exchange->buffer += packet.bytes;
        m_exchange->lastUs = packet.microseconds;
    } else {
        m_orphanBytes += packet.bytes;
    }
    cut(false, packet.microseconds);
}

void UnitLearner::cut(bool giveUp, qint64 atUs)
{
    QByteArray& buffer = m_exchange ? m_exchange->buffer : m_orphanBytes;
    if (buffer.isEmpty())
        return;
    const ExtractionResult result = FrameExtractor::extract(
        buffer, giveUp ? FrameExtractor::Incomplete::GiveUp : FrameExtractor::Incomplete::Wait);
    m_crcErrors += result.crcErrors.size();
    for (const DiscardedBytes& run : result.discarded)
        m_unitNoiseBytes += std::uint64_t(run.bytes.size());
    if (m_exchange &&
        (!result.crcErrors.empty() || !result.discarded.empty() || (giveUp && !buffer.isEmpty())))
        m_exchange->garbled = true;
    for (const ReceivedFrame& received : result.frames) {
        if (m_exchange)
            frame(received, atUs);
        else
            ++m_unsolicited;
    }
    if (giveUp) {
        m_unitNoiseBytes += std::uint64_t(buffer.size());
        buffer.clear();
    }
}

void UnitLearner::frame(const ReceivedFrame& received, qint64 atUs)
{
    Exchange& exchange = *m_exchange;
    const std::uint8_t records = toCode(Command::GetFileRecords);
    // An upload's frames are its own, whatever the PC program sent meanwhile.
    if (received.command == records && (m_upload || exchange.code == records)) {
        uploadFrame(received, atUs);
        return;
    }
    if (received.command != exchange.code || exchange.answered) {
        ++m_unsolicited;
        exchange.garbled = exchange.garbled || !exchange.answered;
        return;
    }
    exchange.answered = true;
    reply(received.command, received.content, atUs);
}

void UnitLearner::reply(std::uint8_t code, const QByteArray& content, qint64 atUs)
{
    CommandModel& command = *m_commands[code];
    ++command.answered;
    ++m_captures.back().replies;
    command.latencyMs.push_back(
        std::clamp(double(atUs - m_exchange->atUs) / 1000.0, 0.0, ReplyTiming::kMaxMs));
    const ContentLayout layout = layoutOf(code, FrameDirection::Response);
    const int text = textOf(layout);
    if (text >= 0) {
        if (content.size() > ContentCodec::largestContent(layout))
            ++m_texts[std::size_t(text)]->tooLong;
        else
            textGet(text, content);
        outcome(code, QString());
        return;
    }
    if (code == toCode(Command::GetTime)) {
        const std::optional<qint64> clock = localMs(content);
        if (!clock) {
            otherContent(code, layout, content);
            return;
        }
        if (m_session->clockSet)
            ++m_clockAfterSet; // the PC program's clock, not the unit's
        else
            m_clock.add(*clock - atUs / 1000);
        outcome(code, QString());
        return;
    }
    if (layout == ContentLayout::Empty && !content.isEmpty())
        otherContent(code, layout, content);
    else
        outcome(code, QString());
}

void UnitLearner::otherContent(std::uint8_t code, ContentLayout layout, const QByteArray& content)
{
    // A fixed reply holds no more than its field; a longer one is reported, not learned.
    if (content.size() > ContentCodec::largestContent(layout)) {
        ++m_commands[code]->tooLong;
        outcome(code, QString());
        return;
    }
    outcome(code, hexReply(content));
}

void UnitLearner::uploadFrame(const ReceivedFrame& received, qint64 atUs)
{
    const QByteArray& content = received.content;
    const auto mark = content.isEmpty() ? -1 : int(std::uint8_t(content.at(0)));
    if (mark == int(wire::RecordMark::Start) && content.size() == wire::kRecordStartSize) {
        if (m_upload)
            endUpload(); // a new upload before the last one's end frame
        if (m_exchange->code != received.command || m_exchange->answered) {
            ++m_unsolicited;
            return;
        }
        m_exchange->answered = true;
        CommandModel& command = *m_commands[received.command];
        ++command.answered;
        ++m_captures.back().replies;
        command.latencyMs.push_back(
            std::clamp(double(atUs - m_exchange->atUs) / 1000.0, 0.0, ReplyTiming::kMaxMs));
        outcome(received.command, QString());
        m_upload = std::make_unique<Upload>();
        const DecodedContent start = ContentCodec::decode(ContentLayout::RecordStart, content);
        m_upload->announced = start.ok() ? start.fields.back().value.toUInt() : 0;
        m_upload->lastFrameUs = atUs;
        if (!m_upload->raw.open())
            m_error = QStringLiteral("cannot write %1: %2")
                          .arg(m_upload->raw.fileTemplate(), m_upload->raw.errorString());
        return;
    }
    if (!m_upload) {
        ++m_unsolicited;
        return;
    }
    m_intervalsMs.push_back(
        std::clamp(double(atUs - m_upload->lastFrameUs) / 1000.0, 0.0, ReplyTiming::kMaxMs));
    m_upload->lastFrameUs = atUs;
    if (mark == int(wire::RecordMark::End) && content.size() == wire::kRecordEndSize) {
        m_upload->ended = true;
        endUpload();
        return;
    }
    // As RecordCsvFormat::row takes it: a data record of the record's size.
    if (mark != int(wire::RecordMark::Data) || content.size() != RecordLayout::size()) {
        ++m_damagedRecords;
        return;
    }
    if (m_upload->raw.write(content) != content.size()) {
        m_error =
            QStringLiteral("cannot write %1: %2").arg(m_upload->raw.fileName(), m_upload->raw.errorString());
        return;
    }
    m_upload->hash.addData(content);
    ++m_upload->records;
    const std::optional<qint64> date =
        localMs(content.mid(RecordLayout::dateTimeOffset(), RecordLayout::kDateTimeSize));
    if (date)
        m_recordDates.add(*date - atUs / 1000);
    else
        ++m_badDates;
}

void UnitLearner::endUpload()
{
    ++m_uploads;
    if (!m_upload->ended)
        ++m_uploadsUnended;
    m_upload->digest = m_upload->hash.result();
    if (m_kept && (m_kept->digest != m_upload->digest || m_kept->records != m_upload->records))
        ++m_uploadsDiffering;
    m_kept = std::move(m_upload);
}

void UnitLearner::endExchange()
{
    if (!m_exchange)
        return;
    cut(true, m_exchange->lastUs);
    // A request answered only by damaged bytes shows neither a reply nor its absence.
    if (m_exchange->code != 0 && !m_exchange->answered && !m_exchange->garbled)
        outcome(m_exchange->code, QStringLiteral("none"));
    m_exchange.reset();
}

void UnitLearner::textSet(int text, const QByteArray& content)
{
    const std::size_t i = std::size_t(text);
    m_session->before[i] = m_session->current[i];
    m_session->set[i] = content;
}

void UnitLearner::textGet(int text, const QByteArray& content)
{
    const std::size_t i = std::size_t(text);
    SessionState& session = *m_session;
    const QString where = commandGloss(getOfText(text));
    bool own = !session.set[i].has_value();
    if (!own) {
        const bool wasBefore = session.before[i] && *session.before[i] == content;
        if (content == *session.set[i]) {
            if (!wasBefore) { // a set of the value it had shows nothing
                ++m_echoes;
                if (!m_echoWhere.contains(where))
                    m_echoWhere << where;
            }
        } else if (wasBefore || !session.before[i]) {
            ++m_keeps;
            if (!m_keepWhere.contains(where))
                m_keepWhere << where;
            own = true;
        } else {
            ++m_neither;
        }
    }
    session.current[i] = content;
    if (!own)
        return;
    TextModel& model = *m_texts[i];
    model.seen = true;
    model.last = content;
    if (!model.values.contains(content) && model.values.size() < kMaxTextValues)
        model.values << content;
}

void UnitLearner::outcome(std::uint8_t code, const QString& key)
{
    CommandModel& command = *m_commands[code];
    command.last = key;
    const auto it = command.outcomes.find(key);
    if (it != command.outcomes.end())
        ++it->second;
    else if (command.outcomes.size() < kMaxOutcomes)
        command.outcomes.emplace(key, 1);
    else
        ++command.uncounted;
}

bool UnitLearner::finish()
{
    if (!m_error.isEmpty())
        return false;
    if (!m_kept)
        return true;
    QSaveFile csv(m_csvPath);
    QTemporaryFile& records = m_kept->raw;
    const int size = RecordLayout::size();
    bool ok = records.flush() && records.seek(0) && csv.open(QIODevice::WriteOnly) &&
              csv.write((RecordCsvFormat::header() + QLatin1Char('\n')).toUtf8()) >= 0;
    for (std::uint64_t i = 0; ok && i < m_kept->records; ++i) {
        const QByteArray record = records.read(size);
        ok = record.size() == size &&
             csv.write((RecordCsvFormat::row(record) + QLatin1Char('\n')).toUtf8()) >= 0;
    }
    if (ok && csv.commit())
        return true;
    m_error =
        QStringLiteral("cannot write %1: %2")
            .arg(m_csvPath, csv.error() != QFileDevice::NoError ? csv.errorString() : records.errorString());
    m_kept.reset();
    return false;
}

std::optional<UnitLearner::Outcome> UnitLearner::learnedReply(std::uint8_t code) const
{
    if (code == toCode(Command::GetFileRecords))
        return std::nullopt; // the upload has keys of its own
    const CommandModel& command = *m_commands[code];
    Outcome best;
    for (const auto& entry : command.outcomes) {
        best.of += entry.second;
        // The most frequent; of equals, the last one seen.
        if (entry.second > best.count || (entry.second == best.count && entry.first == command.last)) {
            best.reply = entry.first;
            best.count = entry.second;
        }
    }
    best.of += command.uncounted;
    if (best.count == 0 || best.reply.isEmpty())
        return std::nullopt;
    return best;
}

std::optional<qint64> UnitLearner::clockOffset(QString* why) const
{
    const Bounds& from = m_clock.count ? m_clock : m_recordDates;
    const QString what = m_clock.count ? QStringLiteral("get-time replies") : QStringLiteral("record dates");
    if (!from.count) {
        *why = QStringLiteral("no get-time reply before a set-time, and no record");
        return std::nullopt;
    }
    // A reply shows whole seconds: each one puts the offset within a second above its own.
    if (from.max - from.min > kClockAgreementMs) {
        *why = QStringLiteral("%1 %2 disagree by %3 s")
                   .arg(from.count)
                   .arg(what)
                   .arg(double(from.max - from.min) / 1000.0, 0, 'f', 1);
        return std::nullopt;
    }
    *why = QStringLiteral("%1 %2 agree within %3 s")
               .arg(from.count)
               .arg(what)
               .arg(double(from.max - from.min + kSecondMs) / 1000.0, 0, 'f', 1);
    return (from.min + from.max + kSecondMs) / 2;
}

std::optional<bool> UnitLearner::recordDatesFollow(const std::optional<qint64>& offset) const
{
    if (!offset || !m_recordDates.count || !m_clock.count)
        return std::nullopt;
    // Dates of records made while the unit ran follow its clock; stored ones do not.
    const qint64 off =
        std::max(std::llabs(m_recordDates.min - *offset), std::llabs(m_recordDates.max - *offset));
    return off <= kClockAgreementMs + kSecondMs;
}

std::optional<bool> UnitLearner::stateful() const
{
    if (m_echoes && !m_keeps)
        return true;
    if (m_keeps && !m_echoes)
        return false;
    return std::nullopt;
}

QString UnitLearner::statefulWhy() const
{
    QString why;
    if (m_echoes && m_keeps)
        why =
            QStringLiteral("contradictory: %1 gets after a set returned the value set (%2), %3 the text from "
                           "before it (%4)")
                .arg(m_echoes)
                .arg(m_echoWhere.join(QStringLiteral(", ")))
                .arg(m_keeps)
                .arg(m_keepWhere.join(QStringLiteral(", ")));
    else if (m_echoes)
        why = QStringLiteral("%1 gets after a set returned the value set (%2)")
                  .arg(m_echoes)
                  .arg(m_echoWhere.join(QStringLiteral(", ")));
    else if (m_keeps)
        why = QStringLiteral("%1 gets after a set returned the text from before it (%2)")
                  .arg(m_keeps)
                  .arg(m_keepWhere.join(QStringLiteral(", ")));
    else
        why = QStringLiteral("no get of a text followed a set of it that changed it");
    if (m_neither)
        why += QStringLiteral("; %1 gets after a set returned neither").arg(m_neither);
    return why;
}

QString UnitLearner::textValue(int text, const QByteArray& bytes) const
{
    const auto unitText = static_cast<UnitState::Text>(text);
    const QString key = ScenarioFile::textKey(unitText);
    const DecodedContent decoded =
        ContentCodec::decode(layoutOf(getOfText(text), FrameDirection::Response), bytes);
    const QString candidate = decoded.fields.empty() ? QString() : decoded.fields.front().value;
    // As text only when the scenario reads it back to these very bytes.
    const QJsonObject probe{{QStringLiteral("texts"), QJsonObject{{key, candidate}}}};
    Scenario scenario;
    QString problem;
    if (decoded.ok() && ScenarioFile::parse(QJsonDocument(probe).toJson(), key, &scenario, &problem) &&
        scenario.unit.text(unitText) == bytes)
        return candidate;
    return hexReply(bytes);
}

QJsonObject UnitLearner::scenario(const QString& csvName) const
{
    QJsonObject out;
    QJsonObject texts;
    for (int i = 0; i < UnitState::kTextCount; ++i) {
        if (m_texts[std::size_t(i)]->seen)
            texts.insert(ScenarioFile::textKey(UnitState::Text(i)),
                         textValue(i, m_texts[std::size_t(i)]->last));
    }
    if (!texts.isEmpty())
        out.insert(QStringLiteral("texts"), texts);
    if (const std::optional<bool> remembers = stateful())
        out.insert(QStringLiteral("stateful"), *remembers);
    QString why;
    const std::optional<qint64> offset = clockOffset(&why);
    if (offset && std::llabs(*offset) >= kSecondMs)
        out.insert(QStringLiteral("clock_offset_ms"), double(*offset));
    if (m_kept) {
        QJsonObject records{{QStringLiteral("csv"), csvName}};
        // The CSV's rows are what an upload sends; the count only says what the unit announced.
        if (m_kept->announced <= std::uint32_t(ScenarioFile::kMaxRecordCount))
            records.insert(QStringLiteral("count"), double(m_kept->announced));
        out.insert(QStringLiteral("records"), records);
    }
    QJsonObject replies;
    QJsonObject timing;
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries) {
        const std::uint8_t code = toCode(entry.command);
        if (const std::optional<Outcome> learned = learnedReply(code))
            replies.insert(QLatin1String(entry.cliName), learned->reply);
        if (!m_commands[code]->latencyMs.empty())
            timing.insert(
                QLatin1String(entry.cliName),
                QJsonObject{{QStringLiteral("latency_ms"), samplesJson(m_commands[code]->latencyMs)}});
    }
    if (!m_intervalsMs.empty())
        timing.insert(QStringLiteral("records"),
                      QJsonObject{{QStringLiteral("interval_ms"), samplesJson(m_intervalsMs)}});
    if (!replies.isEmpty())
        out.insert(QStringLiteral("replies"), replies);
    if (!timing.isEmpty())
        out.insert(QStringLiteral("timing"), timing);
    return out;
}

QString UnitLearner::learnedLine(std::uint8_t code) const
{
    const CommandModel& command = *m_commands[code];
    if (command.requests == 0)
        return QStringLiteral("not seen: default emulation");
    QStringList parts;
    const int text = textOfGet(code);
    if (const std::optional<Outcome> learned = learnedReply(code)) {
        parts << QStringLiteral("replies: %1 (%2 of %3 requests)")
                     .arg(learned->reply)
                     .arg(learned->count)
                     .arg(learned->of);
    } else if (command.answered == 0) {
        parts << QStringLiteral("no whole reply: nothing learned");
    } else if (code == toCode(Command::GetFileRecords)) {
        parts << QStringLiteral("records (%1 uploads)").arg(m_uploads);
    } else if (text >= 0) {
        parts << QStringLiteral("texts.") + ScenarioFile::textKey(UnitState::Text(text));
    } else if (code == toCode(Command::GetTime)) {
        QString why;
        parts << (clockOffset(&why) ? QStringLiteral("clock") : QStringLiteral("clock left out"));
    } else {
        parts << QStringLiteral("acknowledged as the emulator does");
    }
    if (command.answered < command.requests && !learnedReply(code))
        parts << QStringLiteral("%1 unanswered").arg(command.requests - command.answered);
    if (command.tooLong)
        parts << QStringLiteral("%1 replies too long to fix, not learned").arg(command.tooLong);
    if (!command.latencyMs.empty())
        parts << QStringLiteral("timing");
    return parts.join(QStringLiteral(", "));
}

QJsonObject UnitLearner::report() const
{
    QJsonArray captures;
    for (const CaptureSummary& summary : m_captures)
        captures.append(QJsonObject{{QStringLiteral("file"), summary.file},
                                    {QStringLiteral("packets"), double(summary.packets)},
                                    {QStringLiteral("requests"), double(summary.requests)},
                                    {QStringLiteral("replies"), double(summary.replies)}});
    QJsonArray commands;
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries) {
        const CommandModel& command = *m_commands[toCode(entry.command)];
        QJsonObject row{{QStringLiteral("command"), QLatin1String(entry.cliName)},
                        {QStringLiteral("requests"), double(command.requests)},
                        {QStringLiteral("replies"), double(command.answered)},
                        {QStringLiteral("learned"), learnedLine(toCode(entry.command))}};
        if (!command.latencyMs.empty())
            row.insert(QStringLiteral("latency_ms"), figures(command.latencyMs));
        commands.append(row);
    }
    QJsonObject texts;
    for (int i = 0; i < UnitState::kTextCount; ++i) {
        const TextModel& model = *m_texts[std::size_t(i)];
        if (!model.seen && !model.tooLong)
            continue;
        QJsonArray seen;
        for (const QByteArray& value : model.values)
            seen.append(textValue(i, value));
        QJsonObject text{{QStringLiteral("values_seen"), seen}};
        if (model.seen)
            text.insert(QStringLiteral("value"), textValue(i, model.last));
        if (model.tooLong)
            text.insert(QStringLiteral("too_long"), double(model.tooLong));
        texts.insert(ScenarioFile::textKey(UnitState::Text(i)), text);
    }
    QString clockWhy;
    const std::optional<qint64> offset = clockOffset(&clockWhy);
    QJsonObject clock{{QStringLiteral("offset_ms"), offset ? QJsonValue(double(*offset)) : QJsonValue()},
                      {QStringLiteral("why"), clockWhy},
                      {QStringLiteral("get_time_replies"), double(m_clock.count)},
                      {QStringLiteral("after_a_set_time"), double(m_clockAfterSet)},
                      {QStringLiteral("record_dates"), double(m_recordDates.count)}};
    if (const std::optional<bool> follow = recordDatesFollow(offset))
        clock.insert(QStringLiteral("record_dates_follow_the_clock"), *follow);
    QJsonObject replies;
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries) {
        if (const std::optional<Outcome> learned = learnedReply(toCode(entry.command)))
            replies.insert(QLatin1String(entry.cliName),
                           QJsonObject{{QStringLiteral("reply"), learned->reply},
                                       {QStringLiteral("requests"), double(learned->count)},
                                       {QStringLiteral("of"), double(learned->of)}});
    }
    const std::optional<bool> remembers = stateful();
    return QJsonObject{{QStringLiteral("captures"), captures},
                       {QStringLiteral("commands"), commands},
                       {QStringLiteral("texts"), texts},
                       {QStringLiteral("stateful"), remembers ? QJsonValue(*remembers) : QJsonValue()},
                       {QStringLiteral("stateful_why"), statefulWhy()},
                       {QStringLiteral("clock"), clock},
                       {QStringLiteral("records"),
                        QJsonObject{{QStringLiteral("uploads"), double(m_uploads)},
                                    {QStringLiteral("records"), m_kept ? double(m_kept->records) : 0.0},
                                    {QStringLiteral("announced"),
                                     m_kept ? QJsonValue(double(m_kept->announced)) : QJsonValue()},
                                    {QStringLiteral("uploads_differing"), double(m_uploadsDiffering)},
                                    {QStringLiteral("without_end_frame"), double(m_uploadsUnended)},
                                    {QStringLiteral("damaged_records"), double(m_damagedRecords)},
                                    {QStringLiteral("bad_dates"), double(m_badDates)}}},
                       {QStringLiteral("upload_pauses_ms"), figures(m_intervalsMs)},
                       {QStringLiteral("replies"), replies},
                       {QStringLiteral("not_frames"),
                        QJsonObject{{QStringLiteral("requests"), double(m_requestNotFrames)},
                                    {QStringLiteral("request_bytes"), double(m_requestNotFrameBytes)},
                                    {QStringLiteral("unit_bytes"), double(m_unitNoiseBytes)},
                                    {QStringLiteral("checksum_errors"), double(m_crcErrors)},
                                    {QStringLiteral("discarded_bytes"), double(m_discardedBytes)}}},
                       {QStringLiteral("frames_answering_no_request"), double(m_unsolicited)}};
}

QString UnitLearner::reportText() const
{
    QStringList lines;
    for (const CaptureSummary& summary : m_captures)
        lines << QStringLiteral("capture %1: %2 requests, %3 answered")
                     .arg(summary.file)
                     .arg(summary.requests)
                     .arg(summary.replies);
    lines << QStringLiteral("%1 %2 %3 %4 %5  %6")
                 .arg(QStringLiteral("command"), -27)
                 .arg(QStringLiteral("requests"), 8)
                 .arg(QStringLiteral("replies"), 8)
                 .arg(QStringLiteral("median"), 8)
                 .arg(QStringLiteral("p90"), 8)
                 .arg(QStringLiteral("learned"));
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries) {
        const CommandModel& command = *m_commands[toCode(entry.command)];
        const bool timed = !command.latencyMs.empty();
        lines << QStringLiteral("%1 %2 %3 %4 %5  %6")
                     .arg(QLatin1String(entry.cliName), -27)
                     .arg(command.requests, 8)
                     .arg(command.answered, 8)
                     .arg(timed ? QString::number(percentile(command.latencyMs, 0.5), 'f', 3)
                                : QStringLiteral("-"),
                          8)
                     .arg(timed ? QString::number(percentile(command.latencyMs, 0.9), 'f', 3)
                                : QStringLiteral("-"),
                          8)
                     .arg(learnedLine(toCode(entry.command)));
    }
    lines << QStringLiteral("(latency in ms from a request's last byte to the reply's first, as captured)");
    for (int i = 0; i < UnitState::kTextCount; ++i) {
        const TextModel& model = *m_texts[std::size_t(i)];
        const QString key = ScenarioFile::textKey(UnitState::Text(i));
        if (model.tooLong)
            lines << QStringLiteral("text %1: %2 replies longer than the text holds, not learned")
                         .arg(key)
                         .arg(model.tooLong);
        if (!model.seen)
            continue;
        QString line = QStringLiteral("text %1: %2").arg(key, quoted(textValue(i, model.last)));
        if (model.values.size() > 1) {
            QStringList others;
            for (const QByteArray& value : model.values) {
                if (value != model.last)
                    others << quoted(textValue(i, value));
            }
            line += QStringLiteral(" (also seen: %1; the last is kept: a unit that remembers)")
                        .arg(others.join(QStringLiteral(", ")));
        }
        lines << line;
    }
    const std::optional<bool> remembers = stateful();
    lines << QStringLiteral("stateful: %1 (%2)")
                 .arg(remembers ? (*remembers ? QStringLiteral("true") : QStringLiteral("false"))
                                : QStringLiteral("not decided"),
                      statefulWhy());
    QString why;
    const std::optional<qint64> offset = clockOffset(&why);
    QString clock = offset ? QStringLiteral("clock: offset %1 ms (%2)").arg(*offset).arg(why)
                           : QStringLiteral("clock: left out (%1)").arg(why);
    if (offset && std::llabs(*offset) < kSecondMs)
        clock += QStringLiteral("; the local clock, so no clock_offset_ms");
    if (m_clockAfterSet)
        clock += QStringLiteral("; %1 get-time replies after a set-time not used").arg(m_clockAfterSet);
    if (const std::optional<bool> follow = recordDatesFollow(offset))
        clock +=
            *follow
                ? QStringLiteral("; record dates follow it")
                : QStringLiteral("; record dates do not follow it (stored records), they stay as captured");
    lines << clock;
    if (m_kept) {
        QString records = QStringLiteral("records: %1 uploads, the last of %2 records (announced %3)")
                              .arg(m_uploads)
                              .arg(m_kept->records)
                              .arg(m_kept->announced);
        records += m_uploadsDiffering
                       ? QStringLiteral("; %1 uploads differ from the one before, the last is kept")
                             .arg(m_uploadsDiffering)
                       : QStringLiteral("; the same records each time");
        if (m_uploadsUnended)
            records += QStringLiteral("; %1 without an end frame").arg(m_uploadsUnended);
        if (m_damagedRecords)
            records += QStringLiteral("; %1 damaged data frames left out").arg(m_damagedRecords);
        lines << records;
        lines << QStringLiteral("upload pauses: median %1 ms, p90 %2 ms over %3 pauses")
                     .arg(percentile(m_intervalsMs, 0.5), 0, 'f', 3)
                     .arg(percentile(m_intervalsMs, 0.9), 0, 'f', 3)
                     .arg(m_intervalsMs.size());
    } else {
        lines << QStringLiteral("records: no upload seen");
    }
    lines << QStringLiteral(
                 "not frames: %1 requests (%2 bytes), %3 bytes from the unit, %4 checksum errors, %5 "
                 "bytes discarded")
                 .arg(m_requestNotFrames)
                 .arg(m_requestNotFrameBytes)
                 .arg(m_unitNoiseBytes)
                 .arg(m_crcErrors)
                 .arg(m_discardedBytes);
    lines << QStringLiteral("frames answering no request: %1 (not learned)").arg(m_unsolicited);
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
