#include "emulator/LineReopener.h"

#include "emulator/UnitSession.h"
#include "log/Log.h"
#include "log/LogContext.h"

LineReopener::LineReopener(UnitSession* session, int intervalMs, QObject* parent)
    : QObject(parent), m_session(session)
{
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &LineReopener::slot_tryOpen);
}

void LineReopener::watch()
{
    connect(m_session, &UnitSession::line_lost, this, &LineReopener::slot_lineLost, Qt::UniqueConnection);
}

void LineReopener::slot_lineLost()
{
    m_failureLogged = false;
    m_timer.start();
}

void LineReopener::slot_tryOpen()
{
    const LogContext::Scope unit(m_session->logPrefix());
    if (!m_session->isOpen()) {
        m_timer.stop(); // the session was closed meanwhile
        return;
    }
    if (m_session->reopenLine()) {
        m_timer.stop();
        VLOG(1, QStringLiteral("打开串口成功"));
        return;
    }
    // One line per outage: the attempts repeat for as long as the line is away.
    if (!m_failureLogged) {
        m_failureLogged = true;
        // Another program may have taken the port while it was away: say which.
        VLOG(1, QStringLiteral("打开串口失败：%1").arg(m_session->lastError()));
    }
}
