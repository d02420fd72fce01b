#include "journal/UnitStateRecorder.h"

#include "journal/JournalEvent.h"
#include "protocol/ContentCodec.h"
#include "protocol/FrameView.h"

#include <QDateTime>
#include <QJsonArray>

namespace {

struct TextEntry
{
    const char* key;
    Command set;
    ContentLayout layout;
};

constexpr TextEntry kTexts[] = {
    {"serial_number", Command::SetSerialNumber, ContentLayout::SerialNumber},
    {"device_name", Command::SetDeviceName, ContentLayout::DeviceName},
    {"device_number", Command::SetDeviceNumber, ContentLayout::DeviceNumber},
    {"operator", Command::SetOperator, ContentLayout::Operator},
};

struct SettingEntry
{
    const char* key;
    Command set;
};

constexpr SettingEntry kSettings[] = {
    {"lock_status", Command::SetLockStatus},    {"password", Command::SetPassword},
    {"usage_count", Command::SetUsageCount},    {"fallback", Command::SetFallback},
    {"torque_mode", Command::ImportTorqueMode}, {"bolt_mode", Command::ImportBoltMode},
    {"angle_mode", Command::ImportAngleMode},   {"gear_mode", Command::ImportGearMode},
    {"sensor_mode", Command::ImportSensorMode},
};

QByteArray contentOf(const QByteArray& frame)
{
    const std::optional<FrameView> view = FrameView::of(frame);
    return view ? view->content() : QByteArray();
}

QString hexOf(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

QString nameOf(std::uint8_t code)
{
    const QString gloss = commandGloss(code);
    return gloss.isEmpty() ? QStringLiteral("0x%1").arg(code, 2, 16, QLatin1Char('0')) : gloss;
}

// The local date and time of a set-time content; invalid when it holds none.
QDateTime clockOf(const QByteArray& content)
{
    if (content.size() != 7)
        return QDateTime();
    const auto byte = [&content](int i) { return int(static_cast<std::uint8_t>(content.at(i))); };
    const QDate date(byte(0) << 8 | byte(1), byte(2), byte(3));
    const QTime time(byte(4), byte(5), byte(6));
    return date.isValid() && time.isValid() ? QDateTime(date, time) : QDateTime();
}

} // namespace

void UnitStateRecorder::setUnit(int unit)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_unit = unit;
}

void UnitStateRecorder::setEndpoint(const QString& endpoint)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_endpoint = endpoint;
}

void UnitStateRecorder::noteRequest(const QByteArray& frame, qint64 arrivalMs)
{
    const std::uint8_t command =
        frame.size() > wire::kCommandOffset ? static_cast<std::uint8_t>(frame.at(wire::kCommandOffset)) : 0;
    std::lock_guard<std::mutex> locker(m_mutex);
    Received& received = m_received[command];
    ++received.count;
    received.frame = frame;
    received.arrivalMs = arrivalMs;
}

void UnitStateRecorder::setUnitText(Command setCommand, const QByteArray& text)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_unitTexts[toCode(setCommand)] = text;
}

void UnitStateRecorder::setControlLines(bool dtr, bool rts)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_controlLinesSeen = true;
    m_dtr = dtr;
    m_rts = rts;
}

void UnitStateRecorder::reset()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_received.clear();
}

const UnitStateRecorder::Received* UnitStateRecorder::find(Command command) const
{
    const auto it = m_received.find(toCode(command));
    return it == m_received.end() ? nullptr : &it->second;
}

QJsonObject UnitStateRecorder::toJson() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    QJsonObject received;
    for (const auto& [code, entry] : m_received) {
        const QByteArray content = contentOf(entry.frame);
        received.insert(nameOf(code),
                        QJsonObject{{QStringLiteral("count"), qint64(entry.count)},
                                    {QStringLiteral("last_hex"), hexOf(content)},
                                    {QStringLiteral("last_fields"),
                                     JournalEvent::fieldsJson(code, FrameDirection::Request, content)}});
    }

    QJsonObject texts;
    for (const TextEntry& text : kTexts) {
        const Received* set = find(text.set);
        QByteArray bytes;
        if (set) {
            bytes = contentOf(set->frame);
        } else {
            const auto own = m_unitTexts.find(toCode(text.set));
            if (own != m_unitTexts.end())
                bytes = own->second;
        }
        // A unit's own text may be longer than a set request carries: then shown as it is.
        const DecodedContent decoded = ContentCodec::decode(text.layout, bytes);
        texts.insert(
            QLatin1String(text.key),
            QJsonObject{{QStringLiteral("text"),
                         decoded.fields.empty() ? QString::fromUtf8(bytes) : decoded.fields.front().value},
                        {QStringLiteral("hex"), hexOf(bytes)},
                        {QStringLiteral("set_by_pc"), set != nullptr}});
    }

    QJsonObject settings;
    for (const SettingEntry& setting : kSettings) {
        const Received* set = find(setting.set);
        const QByteArray content = set ? contentOf(set->frame) : QByteArray();
        settings.insert(
            QLatin1String(setting.key),
            set ? QJsonValue(QJsonObject{
                      {QStringLiteral("hex"), hexOf(content)},
                      {QStringLiteral("fields"),
                       JournalEvent::fieldsJson(toCode(setting.set), FrameDirection::Request, content)}})
                : QJsonValue(QJsonValue::Null));
    }

    // What the set time was ahead of (or behind) the local clock when it arrived.
    qint64 clockOffsetMs = 0;
    bool clockSet = false;
    if (const Received* setTime = find(Command::SetTime)) {
        const QDateTime clock = clockOf(contentOf(setTime->frame));
        if (clock.isValid()) {
            clockOffsetMs = clock.toMSecsSinceEpoch() - setTime->arrivalMs;
            clockSet = true;
        }
    }

    QJsonObject state{
        {QStringLiteral("unit"), m_unit},       {QStringLiteral("endpoint"), m_endpoint},
        {QStringLiteral("received"), received}, {QStringLiteral("texts"), texts},
        {QStringLiteral("settings"), settings}, {QStringLiteral("clock_offset_ms"), clockOffsetMs},
        {QStringLiteral("clock_set"), clockSet}};
    if (m_controlLinesSeen)
        state.insert(QStringLiteral("control_lines"),
                     QJsonObject{{QStringLiteral("dtr"), m_dtr}, {QStringLiteral("rts"), m_rts}});
    return state;
}
