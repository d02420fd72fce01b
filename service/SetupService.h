#pragma once

#include "protocol/CommandCatalogue.h"
#include "scenario/RecordSource.h"
#include "scenario/UnitState.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <string>

class Data;
class QEventLoop;
class RecordUploadJob;

// The emulated handheld unit: answers every request frame an open device delivers.
// Lives on the GUI thread; keeps nothing of what the PC program sends.
class SetupService : public QObject
{
    Q_OBJECT

public:
    static SetupService* instance();

    static int maxSendRecordCount();
    bool isSending() const { return m_bSend; }
    bool isUploading() const { return !m_uploads.isEmpty(); }

    void waitProcessingEvents(int ms);

    // Ends every running upload at once, as the stop button would: each sends its end frame.
    void endUploads();

    // What the gets answer and where the records come from from now on; a running upload
    // keeps the records it began with.
    void setScenario(const UnitState& unit, const RecordSource& records);
    const UnitState& unitState() const { return m_unit; }

signals:
    void recv_base_setup_rsp(QString portName, unsigned char cmd, QByteArray recvData);
    void recv_advance_setup_rsp(QString portName, unsigned char cmd, QByteArray recvData);
    // From the running upload, a few times a second and at its last record.
    void upload_progress(int sent, int total, double recordsPerSecond);
    // No upload runs any more.
    void upload_ended();

public slots:
    void slot_recvData(QString portName, unsigned char cmd, QByteArray data);
    void slot_recvTimeout(QString portName);
    void slot_stopSend();
    void slot_maxSendRecordCountChanged(int count);

private:
    SetupService() = default;

    void SendData(int isResponse, unsigned char cmd, std::unique_ptr<Data> data, int timeoutMs);
    void SendData(int isResponse, unsigned char cmd, std::string data, int timeoutMs);

    // Log the request content as the calling handler (its line and Q_FUNC_INFO), then
    // acknowledge it with an empty reply or answer it with a fixed text.
    void acknowledge(int line, const char* function, Command command, const QString& portName,
                     const QByteArray& data);
    void reply(int line, const char* function, Command command, const QString& portName,
               const QByteArray& data, const std::string& text);
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

    static int s_maxSendRecordCount;
    bool m_bSend = false;
    // A record request during an upload runs a whole upload of its own on top.
    QList<RecordUploadJob*> m_uploads;
    QEventLoop* m_uploadLoop = nullptr;
    UnitState m_unit;
    RecordSource m_records;
};
