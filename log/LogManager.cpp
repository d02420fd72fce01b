#include "log/LogManager.h"

#include "log/LogContext.h"

#include <QDateTime>

LogManager* LogManager::instance()
{
    // Created on first use and kept for the process; the language makes the first
    // creation thread-safe (test, lock, test again, create).
    static LogManager* const s_instance = new LogManager;
    return s_instance;
}

QString LogManager::paneLine(const QString& message)
{
    // Formatting the date costs more than the rest of a log call; it changes once a second.
    thread_local qint64 s_second = -1;
    thread_local QString s_prefix;
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != s_second) {
        const QDateTime now = QDateTime::fromSecsSinceEpoch(second);
        s_prefix =
            QStringLiteral("[%1 %2] ")
                .arg(now.toString(QStringLiteral("yyyy-MM-dd")), now.toString(QStringLiteral("hh:mm:ss")));
        s_second = second;
    }
    return s_prefix + message;
}

void LogManager::log(QString file, int line, QString function, int level, QString message)
{
    // One of several units: its lines say which.
    if (!LogContext::prefix().isEmpty())
        message.prepend(LogContext::prefix());
    QString summary;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        const bool repeat = !m_lastFile.isEmpty() && !m_lastFunction.isEmpty() && !m_lastMessage.isEmpty() &&
                            file == m_lastFile && line == m_lastLine && function == m_lastFunction &&
                            level == m_lastLevel && message == m_lastMessage;
        if (repeat) {
            ++m_repeatCount;
            return;
        }
        if (m_repeatCount > 1)
            summary = m_lastMessage + QStringLiteral(" - repeat times[%1]").arg(m_repeatCount);
        m_lastFile = file;
        m_lastLine = line;
        m_lastFunction = function;
        m_lastLevel = level;
        m_lastMessage = message;
        m_repeatCount = 1;
    }
    // Emitted outside the lock so a directly connected receiver may log in turn.
    if (!summary.isNull())
        emit logAdded(paneLine(summary));
    emit logAdded(paneLine(message));
}

void LogManager::breakRepeatRun()
{
    QString summary;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (m_repeatCount > 1)
            summary = m_lastMessage + QStringLiteral(" - repeat times[%1]").arg(m_repeatCount);
        m_lastFile.clear();
        m_lastLine = 0;
        m_lastFunction.clear();
        m_lastLevel = 0;
        m_lastMessage.clear();
        m_repeatCount = 0;
    }
    if (!summary.isNull())
        emit logAdded(paneLine(summary));
}
