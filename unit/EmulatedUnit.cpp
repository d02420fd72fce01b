#include "unit/EmulatedUnit.h"

#include "data/DateTimeData.h"
#include "log/Log.h"
#include "protocol/CommandCatalogue.h"
#include "unit/FileRecordFrames.h"
#include "unit/RecordUploadJob.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {

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
    writeLogLine(QStringLiteral(__FILE__), line, qualifiedFunctionName(function), level, message);
}

} // namespace

EmulatedUnit::EmulatedUnit(QObject* parent) : QObject(parent) {}

EmulatedUnit::~EmulatedUnit()
{
    // Jobs are children; their timers must not fire into a half-destroyed unit.
    qDeleteAll(m_uploads);
    m_uploads.clear();
}

void EmulatedUnit::handleRequest(const QString& portName, const UnitRequest& request)
{
    const std::uint8_t cmd = request.command;
    const QByteArray& data = request.content;
    using Handler = void (EmulatedUnit::*)(QString, QByteArray);
#define VARNEL_COMMAND_HANDLER(name, code, protocol, renderer, dialog, cli, request, response, handler, ...) \
    &EmulatedUnit::handler,
    static constexpr Handler kHandlers[] = {VARNEL_COMMAND_TABLE(VARNEL_COMMAND_HANDLER)};
#undef VARNEL_COMMAND_HANDLER

    VLOG(0, port(portName) + QStringLiteral("接收数据 - cmd: %1, data: %2").arg(cmd).arg(lowerHex(data)));
    if (!isCommand(cmd)) {
        VLOG(1, QStringLiteral("Unknown CMD[%1]!").arg(cmd));
        return;
    }
    // Copied out first: GCC 12's bounds sanitizer misreads an indexed member-pointer call.
    const Handler handler = kHandlers[cmd - 1];
    m_request = request.number;
    (this->*handler)(portName, data);
}

QString EmulatedUnit::csvRowsTaken() const
{
    if (!m_records.hasRows() || m_recordCount == m_records.rowCount())
        return QString();
    return RecordSource::rowsTaken(m_recordCount, m_records.rowCount());
}

void EmulatedUnit::setRecordCount(int count)
{
    if (count == m_recordCount)
        return;
    m_recordCount = count;
    emit record_count_changed(count);
}

void EmulatedUnit::setScenarioRecordCount(std::optional<int> count)
{
    const int before = m_recordCount;
    const bool countFromScenario = m_scenarioRecordCount && m_recordCount == *m_scenarioRecordCount;
    if (count) {
        if (!countFromScenario)
            m_recordCountBeforeScenario = m_recordCount;
        m_recordCount = *count;
    } else if (countFromScenario) {
        m_recordCount = m_recordCountBeforeScenario;
    }
    m_scenarioRecordCount = count;
    if (m_recordCount != before)
        emit record_count_changed(m_recordCount);
}

void EmulatedUnit::stopUpload()
{
    m_sending = false;
    if (!m_uploads.isEmpty())
        m_uploads.last()->wake();
}

void EmulatedUnit::send(UnitReply::Kind kind, Command command, const QByteArray& content,
                        std::uint32_t sequence)
{
    send(kind, command, content, sequence, m_request);
}

void EmulatedUnit::send(UnitReply::Kind kind, Command command, const QByteArray& content,
                        std::uint32_t sequence, std::uint64_t request)
{
    if (!m_channel)
        return;
    UnitReply reply;
    reply.kind = kind;
    reply.command = toCode(command);
    reply.content = content;
    // A scenario's own reply for the command, or none; an upload's frames keep theirs.
    if (const UnitState::FixedReply* fixed =
            reply.isRecordFrame() ? nullptr : m_unit.fixedReply(reply.command)) {
        if (fixed->silent) {
            VLOG(0, QStringLiteral("scenario: no reply to cmd %1").arg(reply.command));
            return;
        }
        reply.content = fixed->content;
    }
    reply.sequence = sequence;
    reply.request = request;
    m_channel(reply);
}

void EmulatedUnit::acknowledge(int line, const char* function, Command command, const QString& portName,
                               const QByteArray& data)
{
    logAs(line, function, 0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    send(UnitReply::Kind::Acknowledge, command, QByteArray());
}

void EmulatedUnit::reply(int line, const char* function, Command command, const QString& portName,
                         const QByteArray& data, const QByteArray& text)
{
    logAs(line, function, 0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    send(UnitReply::Kind::Text, command, text);
}

void EmulatedUnit::setScenario(const UnitState& unit, const RecordSource& records)
{
    m_unit = unit;
    m_records = records;
    emit scenario_set();
}

void EmulatedUnit::setText(int line, const char* function, Command command, UnitState::Text text,
                           const QString& portName, const QByteArray& data)
{
    acknowledge(line, function, command, portName, data);
    m_unit.remember(text, data);
}

void EmulatedUnit::processSetTimeReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::SetTime, portName, data);
    if (m_unit.isStateful() && !m_unit.setClock(data))
        VLOG(1, port(portName) + QStringLiteral("时间无效，时钟未改变: %1").arg(lowerHex(data)));
}

void EmulatedUnit::processGetTimeReq(QString portName, QByteArray data)
{
    VLOG(0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    if (!m_unit.clockSet()) {
        send(UnitReply::Kind::Clock, Command::GetTime, QByteArray::fromStdString(DateTimeData().toBytes()));
        return;
    }
    const QDateTime now = m_unit.now();
    const DateTimeData clock(
        static_cast<std::uint16_t>(now.date().year()), static_cast<std::uint8_t>(now.date().month()),
        static_cast<std::uint8_t>(now.date().day()), static_cast<std::uint8_t>(now.time().hour()),
        static_cast<std::uint8_t>(now.time().minute()), static_cast<std::uint8_t>(now.time().second()));
    send(UnitReply::Kind::Clock, Command::GetTime, QByteArray::fromStdString(clock.toBytes()));
}

void EmulatedUnit::processSetSerialNumberReq(QString portName, QByteArray data)
{
    setText(CALLER, Command::SetSerialNumber, UnitState::Text::SerialNumber, portName, data);
}

void EmulatedUnit::processGetSerialNumberReq(QString portName, QByteArray data)
{
    reply(CALLER, Command::GetSerialNumber, portName, data, m_unit.text(UnitState::Text::SerialNumber));
}

void EmulatedUnit::processSetDeviceNameReq(QString portName, QByteArray data)
{
    setText(CALLER, Command::SetDeviceName, UnitState::Text::DeviceName, portName, data);
}

void EmulatedUnit::processGetDeviceNameReq(QString portName, QByteArray data)
{
    reply(CALLER, Command::GetDeviceName, portName, data, m_unit.text(UnitState::Text::DeviceName));
}

void EmulatedUnit::processSetDeviceNumberReq(QString portName, QByteArray data)
{
    setText(CALLER, Command::SetDeviceNumber, UnitState::Text::DeviceNumber, portName, data);
}

void EmulatedUnit::processGetDeviceNumberReq(QString portName, QByteArray data)
{
    reply(CALLER, Command::GetDeviceNumber, portName, data, m_unit.text(UnitState::Text::DeviceNumber));
}

void EmulatedUnit::processSetLockStatusReq(QString portName, QByteArray data)
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
    send(UnitReply::Kind::Acknowledge, Command::SetLockStatus, QByteArray());
}

void EmulatedUnit::processSetPasswordReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::SetPassword, portName, data);
}

void EmulatedUnit::processSetUsageCountReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::SetUsageCount, portName, data);
}

void EmulatedUnit::processClsRecordReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ClearFileRecords, portName, data);
}

void EmulatedUnit::processSetParamFallbackRsp(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::SetFallback, portName, data);
}

void EmulatedUnit::processSetOperatorReq(QString portName, QByteArray data)
{
    setText(CALLER, Command::SetOperator, UnitState::Text::Operator, portName, data);
}

void EmulatedUnit::processGetOperatorReq(QString portName, QByteArray data)
{
    reply(CALLER, Command::GetOperator, portName, data, m_unit.text(UnitState::Text::Operator));
}

void EmulatedUnit::processSetParamTorqueReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportTorqueMode, portName, data);
}

void EmulatedUnit::processSetParamBoltReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportBoltMode, portName, data);
}

void EmulatedUnit::processSetParamAngleReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportAngleMode, portName, data);
}

void EmulatedUnit::processSetParamGearReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportGearMode, portName, data);
}

void EmulatedUnit::processSetParamSensorReq(QString portName, QByteArray data)
{
    acknowledge(CALLER, Command::ImportSensorMode, portName, data);
}

void EmulatedUnit::processGetRecordReq(QString portName, QByteArray data)
{
    VLOG(0, port(portName) + QStringLiteral("data: %1").arg(lowerHex(data)));
    // The records of this upload stay as they began, whatever scenario is loaded meanwhile.
    auto records = std::make_shared<RecordSource>(m_records);
    records->restart();
    // The count in force takes a CSV's rows in order, again from the first after the last.
    const int count = records->hasRows() && records->rowCount() == 0 ? 0 : m_recordCount;
    const QString taken = csvRowsTaken();
    if (!taken.isEmpty())
        VLOG(0, port(portName) + QStringLiteral("records.csv: %1 records, %2").arg(m_recordCount).arg(taken));
    const std::uint64_t request = m_request;
    auto* job = new RecordUploadJob(
        portName, count, m_sending,
        [this, request](UnitReply::Kind kind, std::uint32_t sequence, std::string content) {
            // The upload's own request, whatever came since.
            send(kind, Command::GetFileRecords, QByteArray::fromStdString(content), sequence, request);
        },
        [this, records](std::uint32_t sequence) {
            const int index = static_cast<int>(sequence - 1);
            if (records->hasRows())
                return records->record(index, std::string());
            return records->record(index, FileRecordFrames::dataFrame(sequence, m_unit.now()));
        },
        m_line, this);
    job->setPause(m_recordPause);
    connect(job, &RecordUploadJob::progress, this, &EmulatedUnit::upload_progress);
    connect(job, &RecordUploadJob::finished, this, [this, job, request] {
        emit upload_finished(request, job->sentCount(), job->announcedCount(), job->endReason());
        uploadFinished(job);
    });
    if (!m_uploads.isEmpty())
        m_uploads.last()->suspend();
    m_uploads.append(job);
    emit upload_started(request, count);
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

void EmulatedUnit::uploadFinished(RecordUploadJob* job)
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

void EmulatedUnit::endUploads()
{
    m_sending = false;
    while (!m_uploads.isEmpty())
        m_uploads.last()->endNow(); // its end takes it off the stack
}
