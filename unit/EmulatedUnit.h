#pragma once

#include "protocol/CommandCatalogue.h"
#include "protocol/UnitReply.h"
#include "protocol/UnitRequest.h"
#include "scenario/RecordSource.h"
#include "scenario/UnitState.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class LineWriter;
class QEventLoop;
class RecordUploadJob;

// One emulated handheld unit: answers each request frame of its line with typed replies,
// keeps its own texts, records, record count and upload stack. Several live side by side in
// one process; each answers only through the channel its session gave it. Owner thread only.
class EmulatedUnit : public QObject
{
    Q_OBJECT

public:
    // Where the unit's replies go (its session's fault stage and line).
    using ReplyChannel = std::function<void(const UnitReply& reply)>;
    // The writer an upload watches for a slow or vanished line; nullptr when none is open.
    using LineFinder = std::function<LineWriter*()>;

    static constexpr int kDefaultRecordCount = 10000;

    explicit EmulatedUnit(QObject* parent = nullptr);
    ~EmulatedUnit() override;

    void setReplyChannel(ReplyChannel channel) { m_channel = std::move(channel); }
    void setLineFinder(LineFinder finder) { m_line = std::move(finder); }
    // How long an upload pauses after each frame; none: its own 10 ms.
    void setRecordPause(std::function<qint64(UnitReply::Kind handedOver, qint64 minimumNs)> pause)
    {
        m_recordPause = std::move(pause);
    }

    // One request cut from the line; its `number` (0: none) comes back on the replies.
    void handleRequest(const QString& portName, const UnitRequest& request);

    int recordCount() const { return m_recordCount; }
    void setRecordCount(int count);
    // How the record count takes the scenario's CSV rows when it is not their number
    // ("the first 3 of the CSV's 5 rows"); empty without a CSV or when it is.
    QString csvRowsTaken() const;
    // A scenario's record count, or none: a scenario replaces the one before as a whole, so a
    // count it leaves out returns to the one set before any scenario, unless the operator
    // changed the count since.
    void setScenarioRecordCount(std::optional<int> count);

    bool isSending() const { return m_sending; }
    bool isUploading() const { return !m_uploads.isEmpty(); }
    // Ends the running upload at its next record, as the stop button does.
    void stopUpload();
    // Ends every running upload at once: each sends its end frame.
    void endUploads();

    // Whether the PC side dropping DTR stops a running upload, as some units do: the scenario's
    // choice in force (on_dtr_drop), else the unit's own (a units file's), else not.
    bool stopsUploadOnDtrDrop() const { return m_scenarioDtrStop.value_or(m_dtrStop); }
    void setStopsUploadOnDtrDrop(bool stops) { m_dtrStop = stops; }
    void setScenarioStopsUploadOnDtrDrop(std::optional<bool> stops) { m_scenarioDtrStop = stops; }

    // What the gets answer and where the records come from from now on; a running upload
    // keeps the records it began with.
    void setScenario(const UnitState& unit, const RecordSource& records);
    const UnitState& unitState() const { return m_unit; }

signals:
    // From the running upload, a few times a second and at its last record.
    void upload_progress(int sent, int total, double recordsPerSecond);
    // No upload runs any more.
    void upload_ended();
    // An upload for the request with this number began, announcing `announced` records.
    void upload_started(quint64 request, int announced);
    // That upload ended after `sent` records; `how` as RecordUploadJob::endReason() says.
    void upload_finished(quint64 request, int sent, int announced, QString how);
    // The texts and records the unit answers with were replaced (a scenario).
    void scenario_set();
    // The records an upload announces from now on changed, whoever changed them.
    void record_count_changed(int count);

private:
    // A reply to the request being handled, or to the one given.
    void send(UnitReply::Kind kind, Command command, const QByteArray& content, std::uint32_t sequence = 0);
    void send(UnitReply::Kind kind, Command command, const QByteArray& content, std::uint32_t sequence,
              std::uint64_t request);

    // Log the request content as the calling handler (its line and Q_FUNC_INFO), then
    // acknowledge it with an empty reply or answer it with a fixed text.
    void acknowledge(int line, const char* function, Command command, const QString& portName,
                     const QByteArray& data);
    void reply(int line, const char* function, Command command, const QString& portName,
               const QByteArray& data, const QByteArray& text);
    void uploadFinished(RecordUploadJob* job);
    // A set of one of the unit's texts: acknowledged, and remembered when stateful.
    void setText(int line, const char* function, Command command, UnitState::Text text,
                 const QString& portName, const QByteArray& data);

    void processSetTimeReq(QString portName, QByteArray data);
    void processGetTimeReq(QString portName, QByteArray data);
    void processSetSerialNumberReq(QString portName, QByteArray data);
    void processGetSerialNumberReq(QString portName, QByteArray data);
    void processSetDeviceNameReq(QString portName, QByteArray data);
    void processGetDeviceNameReq(QString portName, QByteArray data);
    void processSetDeviceNumberReq(QString portName, QByteArray data);
    void processGetDeviceNumberReq(QString portName, QByteArray data);
    void processSetLockStatusReq(QString portName, QByteArray data);
    void processSetPasswordReq(QString portName, QByteArray data);
    void processSetUsageCountReq(QString portName, QByteArray data);
    void processGetRecordReq(QString portName, QByteArray data);
    void processClsRecordReq(QString portName, QByteArray data);
    void processSetParamFallbackRsp(QString portName, QByteArray data);
    void processSetOperatorReq(QString portName, QByteArray data);
    void processGetOperatorReq(QString portName, QByteArray data);
    void processSetParamTorqueReq(QString portName, QByteArray data);
    void processSetParamBoltReq(QString portName, QByteArray data);
    void processSetParamAngleReq(QString portName, QByteArray data);
    void processSetParamGearReq(QString portName, QByteArray data);
    void processSetParamSensorReq(QString portName, QByteArray data);

    ReplyChannel m_channel;
    LineFinder m_line;
    std::function<qint64(UnitReply::Kind, qint64)> m_recordPause;
    std::uint64_t m_request = 0; // the request being answered
    int m_recordCount = kDefaultRecordCount;
    std::optional<int> m_scenarioRecordCount; // the count the scenario in force set
    bool m_dtrStop = false;
    std::optional<bool> m_scenarioDtrStop;
    int m_recordCountBeforeScenario = kDefaultRecordCount;
    bool m_sending = false;
    // A record request during an upload runs a whole upload of its own on top.
    QList<RecordUploadJob*> m_uploads;
    QEventLoop* m_uploadLoop = nullptr;
    UnitState m_unit;
    RecordSource m_records;
};
