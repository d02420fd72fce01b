#include "log/LogManager.h"

#include "log/LogContext.h"

#include <QDateTime>
#include <QStringList>

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

void LogManager::setFloodLines(int linesPerSecond)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_floodLines = qMax(0, linesPerSecond);
}

void LogManager::takeFolded(const QString& prefix, Context& context, QStringList* lines)
{
    for (const auto& entry : std::as_const(context.folded))
        *lines << (entry.second > 1 ? entry.first + QStringLiteral(" - repeat times[%1]").arg(entry.second)
                                    : entry.first);
    if (context.foldedOther > 0)
        *lines << prefix + QStringLiteral("%1 more log lines of a flood left out").arg(context.foldedOther);
    context.folded.clear();
    context.foldedAt.clear();
    context.foldedOther = 0;
}

void LogManager::log(QString file, int line, QString function, int level, QString message)
{
    const QString& prefix = LogContext::prefix();
    // One of several units: its lines say which.
    if (!prefix.isEmpty())
        message.prepend(prefix);
    QStringList lines;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        Context& context = m_contexts[prefix];
        Run& run = context.run;
        const bool repeat = !run.file.isEmpty() && !run.function.isEmpty() && !run.message.isEmpty() &&
                            file == run.file && line == run.line && function == run.function &&
                            level == run.level && message == run.message;
        if (m_floodLines > 0) {
            const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
            if (second != context.second) {
                takeFolded(prefix, context, &lines);
                context.second = second;
                context.shown = 0;
            }
        }
        if (repeat) {
            ++run.repeatCount;
        } else if (m_floodLines > 0 && context.shown >= m_floodLines) {
            // Flooded: a run before it is told now, in its place, and this call is counted.
            const QString summary = summaryOf(run);
            if (!summary.isNull())
                lines << summary;
            run = Run();
            const auto at = context.foldedAt.constFind(message);
            if (at != context.foldedAt.cend()) {
                ++context.folded[at.value()].second;
            } else if (context.folded.size() < kMaxFoldedMessages) {
                context.foldedAt.insert(message, context.folded.size());
                context.folded.append({message, 1});
            } else {
                ++context.foldedOther;
            }
        } else {
            const QString summary = summaryOf(run);
            if (!summary.isNull())
                lines << summary;
            lines << message;
            ++context.shown;
            run = Run{std::move(file), line, std::move(function), level, message, 1};
        }
    }
    // Emitted outside the lock so a directly connected receiver may log in turn.
    for (const QString& text : std::as_const(lines))
        emit logAdded(paneLine(text));
}

void LogManager::breakRepeatRun()
{
    // Shown in the order of their contexts, whatever order the hash keeps them in.
    std::vector<std::pair<QString, QStringList>> summaries;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        for (auto it = m_contexts.begin(); it != m_contexts.end(); ++it) {
            QStringList lines;
            const QString summary = summaryOf(it->run);
            if (!summary.isNull())
                lines << summary;
            takeFolded(it.key(), it.value(), &lines);
            if (!lines.isEmpty())
                summaries.emplace_back(it.key(), lines);
            it->run = Run();
        }
    }
    std::sort(summaries.begin(), summaries.end());
    for (const auto& entry : summaries)
        for (const QString& text : entry.second)
            emit logAdded(paneLine(text));
}
