#include "log/LogManager.h"

#include "log/LogContext.h"

#include <QDateTime>

#include <algorithm>
#include <utility>
#include <vector>

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

QString LogManager::summaryOf(const Run& run)
{
    return run.repeatCount > 1 ? run.message + QStringLiteral(" - repeat times[%1]").arg(run.repeatCount)
                               : QString();
}

void LogManager::log(QString file, int line, QString function, int level, QString message)
{
    const QString& context = LogContext::prefix();
    // One of several units: its lines say which.
    if (!context.isEmpty())
        message.prepend(context);
    QString summary;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        Run& run = m_runs[context];
        const bool repeat = !run.file.isEmpty() && !run.function.isEmpty() && !run.message.isEmpty() &&
                            file == run.file && line == run.line && function == run.function &&
                            level == run.level && message == run.message;
        if (repeat) {
            ++run.repeatCount;
            return;
        }
        summary = summaryOf(run);
        run = Run{std::move(file), line, std::move(function), level, message, 1};
    }
    // Emitted outside the lock so a directly connected receiver may log in turn.
    if (!summary.isNull())
        emit logAdded(paneLine(summary));
    emit logAdded(paneLine(message));
}

void LogManager::breakRepeatRun()
{
    // Shown in the order of their contexts, whatever order the hash keeps them in.
    std::vector<std::pair<QString, QString>> summaries;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        for (auto it = m_runs.begin(); it != m_runs.end(); ++it) {
            const QString summary = summaryOf(it.value());
            if (!summary.isNull())
                summaries.emplace_back(it.key(), summary);
            it.value() = Run();
        }
    }
    std::sort(summaries.begin(), summaries.end());
    for (const auto& entry : summaries)
        emit logAdded(paneLine(entry.second));
}
