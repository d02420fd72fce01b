#include "journal/JournalTap.h"

#include "journal/Journal.h"
#include "journal/UnitStateRecorder.h"
#include "protocol/WireFormat.h"

#include <QDateTime>
#include <QThread>

#include <chrono>

JournalTap::JournalTap(Journal* journal, UnitStateRecorder* state) : m_journal(journal), m_state(state) {}

qint64 JournalTap::steadyNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void JournalTap::setReplying(bool replying)
{
    m_replyThread = replying ? QThread::currentThreadId() : nullptr;
}

std::uint64_t JournalTap::frameReceived(const QByteArray& frame)
{
    JournalEvent event;
    event.type = JournalEvent::Type::Request;
    event.bytes = frame;
    const std::uint64_t seq = m_journal->append(std::move(event));
    m_state->noteRequest(frame, QDateTime::currentMSecsSinceEpoch());
    if (LineObserver* next = m_next)
        next->frameReceived(frame);
    return seq;
}

void JournalTap::bytesSent(const QByteArray& bytes)
{
    if (LineObserver* next = m_next)
        next->bytesSent(bytes);
}

void JournalTap::bytesDiscarded(const QByteArray& bytes)
{
    QString why;
    if (m_replyThread == QThread::currentThreadId())
        why = QStringLiteral("unread input cleared by a reply");
    else if (bytes.size() >= 2 && static_cast<std::uint8_t>(bytes.at(0)) == wire::kHeaderHigh &&
             static_cast<std::uint8_t>(bytes.at(1)) == wire::kHeaderLow)
        why = QStringLiteral("a header with a bad command, length or checksum, or never completed");
    else
        why = QStringLiteral("noise before a header");
    JournalEvent event;
    event.type = JournalEvent::Type::Discard;
    event.bytes = bytes;
    event.keys.insert(QStringLiteral("why"), why);
    m_journal->append(std::move(event));
    if (LineObserver* next = m_next)
        next->bytesDiscarded(bytes);
}
