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

signals:
    void logAdded(QString log);

private:
    static QString paneLine(const QString& message);

    std::mutex m_mutex; // guards the last shown call below (std::mutex: visible to ThreadSanitizer)
    QString m_lastFile;
    int m_lastLine = 0;
    QString m_lastFunction;
    int m_lastLevel = 0;
    QString m_lastMessage;
    int m_repeatCount = 0;
};
