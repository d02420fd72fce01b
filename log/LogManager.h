#pragma once

#include <QObject>
#include <QString>

#include <mutex>
#include <QHash>

// Folds runs of identical log calls and emits finished pane lines
// "[yyyy-MM-dd hh:mm:ss] message". Called from the GUI thread and parse threads.
class LogManager : public QObject
{
    Q_OBJECT

public:
    static LogManager* instance();

    // Public so tests can own an independent manager; the system uses instance().
    LogManager() = default;

    void log(QString file, int line, QString function, int level, QString message);
    // Ends the current run of repeats: its count line goes out now, and the next call is
    // shown even if it repeats the last one (an operator's command answers at once).
    void breakRepeatRun();

    // "[yyyy-MM-dd hh:mm:ss] message" with the time of now.
    static QString paneLine(const QString& message);

signals:
    void logAdded(QString log);

private:
    // The last shown call of one run of repeats.
    struct Run
    {
        QString file;
        int line = 0;
        QString function;
        int level = 0;
        QString message;
        int repeatCount = 0;
    };
    static QString summaryOf(const Run& run);

    std::mutex m_mutex; // guards the runs below (std::mutex: visible to ThreadSanitizer)
    // One run per log context, so one unit's lines never break another unit's repeats; the
    // window and a lone unit have only the empty context. Hashed: a line of one of a thousand
    // units finds its run without ten string comparisons.
    QHash<QString, Run> m_runs;
};
