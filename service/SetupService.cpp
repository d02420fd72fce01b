#include "service/SetupService.h"

#include "data/DateTimeData.h"
#include "data/NullData.h"
#include "device/Device.h"
#include "device/DeviceRegistry.h"
#include "log/Log.h"
#include "log/LogManager.h"
#include "protocol/CommandCatalogue.h"
#include "service/FileRecordFrames.h"
#include "service/RecordUploadJob.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <memory>

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

// The calling handler's source line and function, so the helpers' log lines point at it.
#define CALLER __LINE__, Q_FUNC_INFO

void logAs(int line, const char* function, int level, const QString& message)
{
    LogManager::instance()->log(QStringLiteral(__FILE__), line, qualifiedFunctionName(function), level,
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
#define VARNEL_COMMAND_HANDLER(name, code, protocol, renderer, dialog, cli, request, response, handler, ...) \
    &SetupService::handler,
    static constexpr Handler kHandlers[] = {VARNEL_COMMAND_TABLE(VARNEL_COMMAND_HANDLER)};
#undef VARNEL_COMMAND_HANDLER

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

void SetupService::acknowledge(int line, const char* function, Command command, const QString& portName,
                               const QByteArray& data)
{
    logAs(line, function, 0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    SendData(kResponse, toCode(command), std::make_unique<NullData>(), kTimeoutMs);
}

void SetupService::reply(int line, const char* function, Command command, const QString& portName,
                         const QByteArray& data, const std::string& text)
{
    logAs(line, function, 0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    SendData(kResponse, toCode(command), text, kTimeoutMs);
}

void SetupService::setScenario(const UnitState& unit, const RecordSource& records)
{
    m_unit = unit;
    m_records = records;
}

void SetupService::setText(int line, const char* function, Command command, UnitState::Text text,
                           const QString& portName, const QByteArray& data)
{
    acknowledge(line, function, command, portName, data);
    m_unit.remember(text, data);
}

void SetupService::processSetTimeReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::SetTime, portName, data);
    if (m_unit.isStateful() && !m_unit.setClock(data))
        VLOG(1, port(portName) + QStringLiteral("时间无效，时钟未改变: %1").arg(lowerHex(data)));
}

void SetupService::processGetTimeReq(QString portName, QByteArray data)
{
    VLOG(0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    if (!m_unit.clockSet()) {
        SendData(kResponse, toCode(Command::GetTime), std::make_unique<DateTimeData>(), kTimeoutMs);
        return;
    }
    const QDateTime now = m_unit.now();
    SendData(kResponse, toCode(Command::GetTime),
             std::make_unique<DateTimeData>(
                 static_cast<std::uint16_t>(now.date().year()), static_cast<std::uint8_t>(now.date().month()),
                 static_cast<std::uint8_t>(now.date().day()), static_cast<std::uint8_t>(now.time().hour()),
                 static_cast<std::uint8_t>(now.time().minute()),
                 static_cast<std::uint8_t>(now.time().second())),
             kTimeoutMs);
}

void SetupService::processSetSerialNumberReq(QString portName, QByteArray data)
{
    setText(CALLER, Command::SetSerialNumber, UnitState::Text::SerialNumber, portName, data);
}

void SetupService::processGetSerialNumberReq(QString portName, QByteArray data)
{
    reply(CALLER, Command::GetSerialNumber, portName, data,
          m_unit.text(UnitState::Text::SerialNumber).toStdString());
}

void SetupService::processSetDeviceNameReq(QString portName, QByteArray data)
{
    setText(CALLER, Command::SetDeviceName, UnitState::Text::DeviceName, portName, data);
}

void SetupService::processGetDeviceNameReq(QString portName, QByteArray data)
{
    reply(CALLER, Command::GetDeviceName, portName, data,
          m_unit.text(UnitState::Text::DeviceName).toStdString());
}

void SetupService::processSetDeviceNumberReq(QString portName, QByteArray data)
{
    setText(CALLER, Command::SetDeviceNumber, UnitState::Text::DeviceNumber, portName, data);
}

void SetupService::processGetDeviceNumberReq(QString portName, QByteArray data)
{
    reply(CALLER, Command::GetDeviceNumber, portName, data,
          m_unit.text(UnitState::Text::DeviceNumber).toStdString());
}

void SetupService::processSetLockStatusReq(QString portName, QByteArray data)
{
    VLOG(0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    const int state = data.isEmpty() ? 0 : static_cast<unsigned char>(data.at(0));
    if (state == 0) {
        VLOG(0, port(portName) + QStringLiteral("设置解锁"));
    } else if (state == 1) {
        // The lock text is what follows the state byte, up to its first zero byte.
        QByteArray text = data.mid(1);
        const int zero = text.indexOf('\0');
        if (zero >= 0)
            text.truncate(zero);
        VLOG(0, port(portName) + QStringLiteral("设置加锁[%1]").arg(QString::fromUtf8(text)));
    }
    SendData(kResponse, toCode(Command::SetLockStatus), std::make_unique<NullData>(), kTimeoutMs);
}

void SetupService::processSetPasswordReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::SetPassword, portName, data);
}

void SetupService::processSetUsageCountReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::SetUsageCount, portName, data);
}

void SetupService::processClsRecordReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ClearFileRecords, portName, data);
}

void SetupService::processSetParamFallbackRsp(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::SetFallback, portName, data);
}

void SetupService::processSetOperatorReq(QString portName, QByteArray data)
{
    setText(CALLER, Command::SetOperator, UnitState::Text::Operator, portName, data);
}

void SetupService::processGetOperatorReq(QString portName, QByteArray data)
{
    reply(CALLER, Command::GetOperator, portName, data, m_unit.text(UnitState::Text::Operator).toStdString());
}

void SetupService::processSetParamTorqueReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportTorqueMode, portName, data);
}

void SetupService::processSetParamBoltReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportBoltMode, portName, data);
}

void SetupService::processSetParamAngleReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportAngleMode, portName, data);
}

void SetupService::processSetParamGearReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportGearMode, portName, data);
}

void SetupService::processSetParamSensorReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportSensorMode, portName, data);
}

void SetupService::processGetRecordReq(QString portName, QByteArray data)
{
    VLOG(0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    // The records of this upload stay as they began, whatever scenario is loaded meanwhile.
    auto records = std::make_shared<RecordSource>(m_records);
    records->restart();
    const int count = records->hasRows() ? records->rowCount() : s_maxSendRecordCount;
    auto* job = new RecordUploadJob(
        portName, count, m_bSend,
        [this, cmd = toCode(Command::GetFileRecords)](std::string content) {
            SendData(kResponse, cmd, std::move(content), kTimeoutMs);
        },
        [this, records](std::uint32_t sequence) {
            const int index = static_cast<int>(sequence - 1);
            if (records->hasRows())
                return records->record(index, std::string());
            return records->record(index, FileRecordFrames::dataFrame(sequence, m_unit.now()));
        },
        this);
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
