#include "unit/RecordUploadJob.h"

#include "log/Log.h"
#include "transport/LineWriter.h"
#include "unit/FileRecordFrames.h"
#include "util/Conversions.h"

#include <QThread>

#include <algorithm>

namespace {

// While Qt's buffer drains, a look now and then covers a port that closes without a signal.
constexpr int kDrainRecheckMs = 20;
constexpr int kProgressIntervalMs = 100;

// A timer wakes this much late on a loaded machine; waking this much early and waiting out the
// rest awake keeps the pause at its time, so the upload keeps its pace.
constexpr qint64 kWakeEarlyNs = 1000000;

// The timer interval that wakes kWakeEarlyNs before the deadline, or 0 when that has passed.
int earlyWakeMs(const QDeadlineTimer& deadline)
{
    const qint64 ns = deadline.remainingTimeNSecs() - kWakeEarlyNs;
    return ns <= 0 ? 0 : int(ns / 1000000);
}

// The last fraction of a millisecond, awake: other threads still run, the event loop waits.
void waitOut(const QDeadlineTimer& deadline)
{
    while (!deadline.hasExpired())
        QThread::yieldCurrentThread();
}

} // namespace

RecordUploadJob::RecordUploadJob(const QString& portName, int count, bool& sending, Sender send,
                                 RecordMaker make, LineFinder line, QObject* parent)
    : QObject(parent), m_portName(portName), m_count(count), m_sending(sending), m_send(std::move(send)),
      m_make(std::move(make)), m_line(std::move(line))
{
    m_timer.setParent(this); // its events are known as this job's (its unit's log lines)
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &RecordUploadJob::onTimer);
}

LineWriter* RecordUploadJob::openWriter() const
{
    LineWriter* writer = m_line ? m_line() : nullptr;
    return writer && writer->isOpen() ? writer : nullptr;
}

void RecordUploadJob::start()
{
    VLOG(0, QStringLiteral("PORT %1 >> 发送起始帧").arg(m_portName));
    m_sending = true;
    m_started.start();
    handOver(UnitReply::Kind::RecordStart, 0,
             FileRecordFrames::startFrame(static_cast<std::uint32_t>(m_count)));
    reportProgress(true);
    pause();
}

void RecordUploadJob::handOver(UnitReply::Kind kind, std::uint32_t sequence, const std::string& frame)
{
    // On a monotonic clock from the hand-over, so the pause is never shorter than its
    // time and the frame's own writing is not added to it.
    constexpr qint64 kMinimumNs = qint64(kFramePauseMs) * 1000000;
    const QDeadlineTimer handedOver(0, Qt::PreciseTimer);
    m_send(kind, sequence, frame);
    // Asked after the hand-over: a frame held back before it leaves lengthens its pause.
    const qint64 pauseNs = m_pause ? std::max(kMinimumNs, m_pause(kind, kMinimumNs)) : kMinimumNs;
    m_pauseEnd = QDeadlineTimer::addNSecs(handedOver, pauseNs);
    // On a timed line the frame is still on its way: the pause counts from its last byte.
    const LineWriter* writer = openWriter();
    const qint64 lineFreeNs = writer ? writer->lineFreeAtNs() : 0;
    if (lineFreeNs > 0) {
        QDeadlineTimer afterLastByte(Qt::PreciseTimer);
        afterLastByte.setPreciseDeadline(0, lineFreeNs + pauseNs);
        if (m_pauseEnd < afterLastByte)
            m_pauseEnd = afterLastByte;
    }
}

void RecordUploadJob::pause()
{
    m_phase = Phase::Pause;
    if (!m_suspended)
        m_timer.start(earlyWakeMs(m_pauseEnd));
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
    m_timer.start(m_phase == Phase::Pause ? earlyWakeMs(m_pauseEnd) : 0);
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
    m_endedAtOnce = true;
    step();
}

void RecordUploadJob::onTimer()
{
    if (m_suspended || m_phase == Phase::Done)
        return;
    if (m_phase == Phase::Pause && !m_pauseEnd.hasExpired()) {
        if (const int ms = earlyWakeMs(m_pauseEnd)) {
            m_timer.start(ms);
            return;
        }
    }
    drainThenStep();
}

void RecordUploadJob::drainThenStep()
{
    // Keeps the upload behind a slow line, so a stop stops what the peer sees; a stop or
    // a vanished device ends the wait.
    LineWriter* writer = openWriter();
    const qint64 pending = writer ? writer->bytesToWrite() : 0;
    if (writer && m_sending && pending > 0) {
        if (m_phase != Phase::Drain || pending < m_drainPending)
            m_drainStalled.start();
        m_drainPending = pending;
        if (m_drainStalled.hasExpired(kStalledLineMs)) {
            VLOG(0,
                 QStringLiteral("PORT %1 >> the line took nothing for %2 ms (%3 bytes waiting): the PC side "
                                "stopped reading, upload ended")
                     .arg(m_portName)
                     .arg(kStalledLineMs)
                     .arg(pending));
            stopWaitingForDrain();
            m_sending = false;
            m_endReason = QStringLiteral("line-stalled");
            finish();
            return;
        }
        m_phase = Phase::Drain;
        if (!m_drainConnection)
            m_drainConnection = connect(writer, &LineWriter::bytes_written, this, &RecordUploadJob::wake,
                                        Qt::QueuedConnection);
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
        VLOG(0, QStringLiteral("PORT %1 >> 发送数据帧").arg(m_portName));
    }
    if (m_index >= m_count) {
        m_endReason = QStringLiteral("complete");
        finish();
        return;
    }
    if (!m_sending) {
        VLOG(0, QStringLiteral("PORT %1 >> m_bSend is false").arg(m_portName));
        m_endReason = m_endedAtOnce ? QStringLiteral("ended") : QStringLiteral("stopped");
        finish();
        return;
    }
    if (!openWriter()) {
        VLOG(0, QStringLiteral("PORT %1 >> device is not open").arg(m_portName));
        m_endReason = QStringLiteral("line-closed");
        finish();
        return;
    }
    const std::string record = m_make(static_cast<std::uint32_t>(m_index + 1));
    VLOG(1, QStringLiteral("日期 : %1")
                .arg(QString::fromStdString(util::bytesToHex(
                    record.substr(FileRecordFrames::kDateOffset, FileRecordFrames::kDateSize)))));
    VLOG(1, QStringLiteral("FIELD_TYPE_STRING : %1")
                .arg(QString::fromStdString(
                    util::bytesToHex(record.substr(0, FileRecordFrames::kRecordHeadSize)))));
    VLOG(1, QStringLiteral("send file record: No. %1").arg(m_index));
    // The record was made while the pause ran out; no event is handled in between, so the
    // checks above still hold when it leaves.
    waitOut(m_pauseEnd);
    handOver(UnitReply::Kind::RecordData, static_cast<std::uint32_t>(m_index + 1), record);
    ++m_index;
    pause();
    reportProgress(m_index == m_count);
}

void RecordUploadJob::finish()
{
    m_timer.stop();
    stopWaitingForDrain();
    m_phase = Phase::Done;
    VLOG(0, QStringLiteral("PORT %1 >> 发送结束帧").arg(m_portName));
    m_sending = false;
    waitOut(m_pauseEnd);
    m_send(UnitReply::Kind::RecordEnd, 0, FileRecordFrames::endFrame());
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
