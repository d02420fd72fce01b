#pragma once

#include <QObject>
#include <QString>

#include <mutex>

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
    std::mutex m_mutex; // guards the last shown call below (std::mutex: visible to ThreadSanitizer)
    QString m_lastFile;
    int m_lastLine = 0;
    QString m_lastFunction;
    int m_lastLevel = 0;
    QString m_lastMessage;
    int m_repeatCount = 0;
};
