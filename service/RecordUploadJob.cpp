#include "service/RecordUploadJob.h"

#include "device/Device.h"
#include "device/DeviceRegistry.h"
#include "log/LogManager.h"
#include "service/FileRecordFrames.h"
#include "util/Conversions.h"

#include <QDateTime>

namespace {

// While Qt's buffer drains, a look now and then covers a port that closes without a signal.
constexpr int kDrainRecheckMs = 20;
constexpr int kProgressIntervalMs = 100;

int ceilMs(const QDeadlineTimer& deadline)
{
    const qint64 ns = deadline.remainingTimeNSecs();
    return ns <= 0 ? 0 : int((ns + 999999) / 1000000);
}

Device* openCurrentDevice()
{
    Device* device = DeviceRegistry::instance()->currentDevice();
    return device && device->isOpen() ? device : nullptr;
}

} // namespace

RecordUploadJob::RecordUploadJob(const QString& portName, int count, bool& sending, Sender send,
                                 QObject* parent)
    : QObject(parent), m_portName(portName), m_count(count), m_sending(sending), m_send(std::move(send))
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &RecordUploadJob::onTimer);
}

void RecordUploadJob::log(int line, int level, const QString& message)
{
    // The upload's lines keep the name of the request handler that starts it.
    LogManager::instance()->log(QStringLiteral(__FILE__), line,
                                QStringLiteral("SetupService::processGetRecordReq"), level, message);
}

void RecordUploadJob::start()
{
    log(__LINE__, 0, QStringLiteral("PORT %1 >> 发送起始帧").arg(m_portName));
    m_sending = true;
    m_started.start();
    m_send(FileRecordFrames::startFrame(static_cast<std::uint32_t>(m_count)));
    reportProgress(true);
    pause();
}

void RecordUploadJob::pause()
{
    // Measured from the hand-over of the frame on a monotonic clock, so the pause is
    // never shorter than its time and barely longer.
    m_pauseEnd = QDeadlineTimer(kFramePauseMs, Qt::PreciseTimer);
    m_phase = Phase::Pause;
    if (!m_suspended)
        m_timer.start(kFramePauseMs);
}

void RecordUploadJob::suspend()
{
    m_suspended = true;
    m_timer.stop();
    stopWaitingForDrain();
}

void RecordUploadJob::resume()
{
    if (m_phase == Phase::Done)
        return;
    m_suspended = false;
    // Through the timer, so the nested job that just ended is off the stack first.
    m_timer.start(m_phase == Phase::Pause ? ceilMs(m_pauseEnd) : 0);
}

void RecordUploadJob::wake()
{
    if (m_phase == Phase::Drain && !m_suspended)
        drainThenStep();
}

void RecordUploadJob::endNow()
{
    if (m_phase == Phase::Done)
        return;
    m_suspended = false;
    m_timer.stop();
    stopWaitingForDrain();
    m_sending = false;
    step();
}

void RecordUploadJob::onTimer()
{
    if (m_suspended || m_phase == Phase::Done)
        return;
    if (m_phase == Phase::Pause && !m_pauseEnd.hasExpired()) {
        m_timer.start(ceilMs(m_pauseEnd));
        return;
    }
    drainThenStep();
}

void RecordUploadJob::drainThenStep()
{
    // Keeps the upload behind a slow line, so a stop stops what the peer sees; a stop or
    // a vanished device ends the wait.
    Device* device = openCurrentDevice();
    if (device && m_sending && device->bytesToWrite() > 0) {
        m_phase = Phase::Drain;
        if (!m_drainConnection)
            m_drainConnection =
                connect(device, &Device::bytes_written, this, &RecordUploadJob::wake, Qt::QueuedConnection);
        m_timer.start(kDrainRecheckMs);
        return;
    }
    stopWaitingForDrain();
    step();
}

void RecordUploadJob::stopWaitingForDrain()
{
    if (m_drainConnection)
        disconnect(m_drainConnection);
    m_drainConnection = {};
}

void RecordUploadJob::step()
{
    m_timer.stop();
    if (!m_dataLineLogged) {
        m_dataLineLogged = true;
        log(__LINE__, 0, QStringLiteral("PORT %1 >> 发送数据帧").arg(m_portName));
    }
    if (m_index >= m_count) {
        finish();
        return;
    }
    if (!m_sending) {
        log(__LINE__, 0, QStringLiteral("PORT %1 >> m_bSend is false").arg(m_portName));
        finish();
        return;
    }
    if (!openCurrentDevice()) {
        log(__LINE__, 0, QStringLiteral("PORT %1 >> device is not open").arg(m_portName));
        finish();
        return;
    }
    const std::string record =
        FileRecordFrames::dataFrame(static_cast<std::uint32_t>(m_index + 1), QDateTime::currentDateTime());
    log(__LINE__, 1,
        QStringLiteral("日期 : %1")
            .arg(QString::fromStdString(util::bytesToHex(
                record.substr(FileRecordFrames::kDateOffset, FileRecordFrames::kDateSize)))));
    log(__LINE__, 1,
        QStringLiteral("FIELD_TYPE_STRING : %1")
            .arg(QString::fromStdString(
                util::bytesToHex(record.substr(0, FileRecordFrames::kRecordHeadSize)))));
    log(__LINE__, 1, QStringLiteral("send file record: No. %1").arg(m_index));
    m_send(record);
    ++m_index;
    pause();
    reportProgress(m_index == m_count);
}

void RecordUploadJob::finish()
{
    m_timer.stop();
    stopWaitingForDrain();
    m_phase = Phase::Done;
    log(__LINE__, 0, QStringLiteral("PORT %1 >> 发送结束帧").arg(m_portName));
    m_sending = false;
    m_send(FileRecordFrames::endFrame());
    emit finished();
}

void RecordUploadJob::reportProgress(bool force)
{
    if (!force && m_lastProgress.isValid() && m_lastProgress.elapsed() < kProgressIntervalMs)
        return;
    m_lastProgress.start();
    const qint64 ms = m_started.elapsed();
    emit progress(m_index, m_count, ms > 0 ? m_index * 1000.0 / double(ms) : 0.0);
}
