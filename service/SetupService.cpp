#include "service/SetupService.h"

#include "data/DateTimeData.h"
#include "data/NullData.h"
#include "device/CommandCatalogue.h"
#include "device/Device.h"
#include "device/DeviceRegistry.h"
#include "log/Log.h"
#include "log/LogManager.h"
#include "service/RecordUploadJob.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace {

constexpr int kResponse = 1;
constexpr int kTimeoutMs = 1000;

QString port(const QString& portName)
{
    return QStringLiteral("PORT %1 >> ").arg(portName);
}

QString lowerHex(const QByteArray& data)
{
    return QString::fromLatin1(data.toHex());
}

// Handlers name themselves in their log lines, as a direct VLOG in each would.
void logAs(const char* function, int line, int level, const QString& message)
{
    LogManager::instance()->log(QStringLiteral(__FILE__), line, QString::fromLatin1(function), level,
                                message);
}

} // namespace

int SetupService::s_maxSendRecordCount = 10000;

SetupService* SetupService::instance()
{
    // Created on first use and kept for the process; the language makes the first
    // creation thread-safe (test, lock, test again, create).
    static SetupService* const s_instance = new SetupService;
    return s_instance;
}

int SetupService::maxSendRecordCount()
{
    return s_maxSendRecordCount;
}

void SetupService::slot_recvData(QString portName, unsigned char cmd, QByteArray data)
{
    using Handler = void (SetupService::*)(QString, QByteArray);
    static const Handler kHandlers[] = {
        &SetupService::processSetTimeReq,         &SetupService::processGetTimeReq,
        &SetupService::processSetSerialNumberReq, &SetupService::processGetSerialNumberReq,
        &SetupService::processSetDeviceNameReq,   &SetupService::processGetDeviceNameReq,
        &SetupService::processSetDeviceNumberReq, &SetupService::processGetDeviceNumberReq,
        &SetupService::processSetLockStatusReq,   &SetupService::processSetPasswordReq,
        &SetupService::processSetUsageCountReq,   &SetupService::processGetRecordReq,
        &SetupService::processClsRecordReq,       &SetupService::processSetParamFallbackRsp,
        &SetupService::processSetOperatorReq,     &SetupService::processGetOperatorReq,
        &SetupService::processSetParamTorqueReq,  &SetupService::processSetParamBoltReq,
        &SetupService::processSetParamAngleReq,   &SetupService::processSetParamGearReq,
        &SetupService::processSetParamSensorReq,
    };
    static_assert(sizeof kHandlers / sizeof kHandlers[0] == toCode(kLastCommand));

    VLOG(0, port(portName) + QStringLiteral("接收数据 - cmd: %1, data: %2").arg(cmd).arg(lowerHex(data)));
    if (!isCommand(cmd)) {
        VLOG(1, QStringLiteral("Unknown CMD[%1]!").arg(cmd));
        return;
    }
    // Copied out first: GCC 12's bounds sanitizer misreads an indexed member-pointer call.
    const Handler handler = kHandlers[cmd - 1];
    (this->*handler)(portName, data);
}

void SetupService::slot_recvTimeout(QString)
{
    // Replies never start the device's receive timer, so there is nothing to wait for.
}

void SetupService::slot_stopSend()
{
    m_bSend = false;
    if (!m_uploads.isEmpty())
        m_uploads.last()->wake();
}

void SetupService::slot_maxSendRecordCountChanged(int count)
{
    s_maxSendRecordCount = count;
}

void SetupService::SendData(int isResponse, unsigned char cmd, std::unique_ptr<Data> data, int timeoutMs)
{
    Device* device = DeviceRegistry::instance()->currentDevice();
    if (!device) {
        VLOG(1, QStringLiteral("串口尚未打开!"));
        return;
    }
    device->SendData(isResponse != 0, cmd, std::move(data), timeoutMs);
}

void SetupService::SendData(int isResponse, unsigned char cmd, std::string data, int timeoutMs)
{
    Device* device = DeviceRegistry::instance()->currentDevice();
    if (!device) {
        VLOG(1, QStringLiteral("串口尚未打开!"));
        return;
    }
    device->SendData(isResponse != 0, cmd, std::move(data), timeoutMs);
}

void SetupService::acknowledge(const QString& portName, unsigned char cmd, const QByteArray& data,
                               const char* function)
{
    logAs(function, __LINE__, 0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    SendData(kResponse, cmd, std::make_unique<NullData>(), kTimeoutMs);
}

void SetupService::reply(const QString& portName, unsigned char cmd, const QByteArray& data,
                         const char* function, const std::string& text)
{
    logAs(function, __LINE__, 0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    SendData(kResponse, cmd, text, kTimeoutMs);
}

void SetupService::processSetTimeReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::SetTime), data, "SetupService::processSetTimeReq");
}

void SetupService::processGetTimeReq(QString portName, QByteArray data)
{
    logAs("SetupService::processGetTimeReq", __LINE__, 0,
          port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    SendData(kResponse, toCode(Command::GetTime), std::make_unique<DateTimeData>(), kTimeoutMs);
}

void SetupService::processSetSerialNumberReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::SetSerialNumber), data, "SetupService::processSetSerialNumberReq");
}

void SetupService::processGetSerialNumberReq(QString portName, QByteArray data)
{
    reply(portName, toCode(Command::GetSerialNumber), data, "SetupService::processGetSerialNumberReq",
          "SERIALNUMBER");
}

void SetupService::processSetDeviceNameReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::SetDeviceName), data, "SetupService::processSetDeviceNameReq");
}

void SetupService::processGetDeviceNameReq(QString portName, QByteArray data)
{
    reply(portName, toCode(Command::GetDeviceName), data, "SetupService::processGetDeviceNameReq",
          "DEVICENAME");
}

void SetupService::processSetDeviceNumberReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::SetDeviceNumber), data, "SetupService::processSetDeviceNumberReq");
}

void SetupService::processGetDeviceNumberReq(QString portName, QByteArray data)
{
    reply(portName, toCode(Command::GetDeviceNumber), data, "SetupService::processGetDeviceNumberReq",
          "DEVICENUMBER");
}

void SetupService::processSetLockStatusReq(QString portName, QByteArray data)
{
    const char* function = "SetupService::processSetLockStatusReq";
    logAs(function, __LINE__, 0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    const int state = data.isEmpty() ? 0 : static_cast<unsigned char>(data.at(0));
    if (state == 0) {
        logAs(function, __LINE__, 0, port(portName) + QStringLiteral("设置解锁"));
    } else if (state == 1) {
        // The lock text is what follows the state byte, up to its first zero byte.
        QByteArray text = data.mid(1);
        const int zero = text.indexOf('\0');
        if (zero >= 0)
            text.truncate(zero);
        logAs(function, __LINE__, 0,
              port(portName) + QStringLiteral("设置加锁[%1]").arg(QString::fromUtf8(text)));
    }
    SendData(kResponse, toCode(Command::SetLockStatus), std::make_unique<NullData>(), kTimeoutMs);
}

void SetupService::processSetPasswordReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::SetPassword), data, "SetupService::processSetPasswordReq");
}

void SetupService::processSetUsageCountReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::SetUsageCount), data, "SetupService::processSetUsageCountReq");
}

void SetupService::processClsRecordReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::ClearFileRecords), data, "SetupService::processClsRecordReq");
}

void SetupService::processSetParamFallbackRsp(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::SetFallback), data, "SetupService::processSetParamFallbackRsp");
}

void SetupService::processSetOperatorReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::SetOperator), data, "SetupService::processSetOperatorReq");
}

void SetupService::processGetOperatorReq(QString portName, QByteArray data)
{
    reply(portName, toCode(Command::GetOperator), data, "SetupService::processGetOperatorReq", "OPERATOR");
}

void SetupService::processSetParamTorqueReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::ImportTorqueMode), data, "SetupService::processSetParamTorqueReq");
}

void SetupService::processSetParamBoltReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::ImportBoltMode), data, "SetupService::processSetParamBoltReq");
}

void SetupService::processSetParamAngleReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::ImportAngleMode), data, "SetupService::processSetParamAngleReq");
}

void SetupService::processSetParamGearReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::ImportGearMode), data, "SetupService::processSetParamGearReq");
}

void SetupService::processSetParamSensorReq(QString portName, QByteArray data)
{
    acknowledge(portName, toCode(Command::ImportSensorMode), data, "SetupService::processSetParamSensorReq");
}

void SetupService::processGetRecordReq(QString portName, QByteArray data)
{
    VLOG(0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    const int count = s_maxSendRecordCount;
    const unsigned char cmd = toCode(Command::GetFileRecords);
    auto* job = new RecordUploadJob(
        portName, count, m_bSend,
        [this, cmd](std::string content) { SendData(kResponse, cmd, std::move(content), kTimeoutMs); }, this);
    connect(job, &RecordUploadJob::progress, this, &SetupService::upload_progress);
    connect(job, &RecordUploadJob::finished, this, [this, job] { uploadFinished(job); });
    if (!m_uploads.isEmpty())
        m_uploads.last()->suspend();
    m_uploads.append(job);
    job->start();

    // Called with no event loop running (a test or tool calling the slot itself), the
    // call runs one until the upload is over, so it returns with the upload done.
    if (QThread::currentThread()->loopLevel() == 0 && !m_uploadLoop) {
        QEventLoop loop;
        m_uploadLoop = &loop;
        if (!m_uploads.isEmpty())
            loop.exec();
        m_uploadLoop = nullptr;
        endUploads(); // a quit left the loop early
    }
}

void SetupService::uploadFinished(RecordUploadJob* job)
{
    m_uploads.removeOne(job);
    job->deleteLater();
    if (!m_uploads.isEmpty()) {
        m_uploads.last()->resume();
        return;
    }
    emit upload_ended();
    if (m_uploadLoop)
        m_uploadLoop->quit();
}

void SetupService::endUploads()
{
    m_bSend = false;
    while (!m_uploads.isEmpty())
        m_uploads.last()->endNow(); // its end takes it off the stack
}

void SetupService::waitProcessingEvents(int ms)
{
    QEventLoop loop;
    QTimer t;
    t.setSingleShot(true);
    t.setTimerType(Qt::PreciseTimer);
    connect(&t, &QTimer::timeout, &loop, &QEventLoop::quit);
    t.start(ms);
    loop.exec();
}
