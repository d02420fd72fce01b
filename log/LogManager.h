#pragma once

#include <QObject>
#include <QString>

#include <mutex>
#include <QHash>
#include <QVector>

// Folds runs of identical log calls and emits finished pane lines
// "[yyyy-MM-dd hh:mm:ss] message". Called from the GUI thread and parse threads.
// A flood is folded too: past a number of lines in one second of one log context, its calls
// are counted by message instead of shown, and each message then shows once with its count
// (" - repeat times[N]") at the first call of a later second.
class LogManager : public QObject
{
    Q_OBJECT

public:
    // Lines one log context shows in a second before its calls are folded, for varnel-emu: far
    // above what a unit logs while serving (an upload logs some 400 a second), far below a flood's.
    static constexpr int kDefaultFloodLines = 2000;
    // Messages a flooded second counts one by one; the rest are counted together.
    static constexpr int kMaxFoldedMessages = 64;

    static LogManager* instance();

    // Public so tests can own an independent manager; the system uses instance(). Neither folds
    // floods until told to.
    LogManager() = default;

    void log(QString file, int line, QString function, int level, QString message);
    // Ends the current run of repeats: its count line goes out now, and the next call is
    // shown even if it repeats the last one (an operator's command answers at once). A
    // flooded second's counts go out too.
    void breakRepeatRun();
    // Lines a log context may show in a second before the rest are folded; 0: no bound.
    void setFloodLines(int linesPerSecond);

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
    // One log context: its run of repeats and its second's share of lines.
    struct Context
    {
        Run run;
        qint64 second = -1; // of the lines counted in `shown`
        int shown = 0;
        QVector<QPair<QString, int>> folded; // messages left out this second, with their calls
        QHash<QString, int> foldedAt;        // index of a message in `folded`
        int foldedOther = 0;                 // calls of messages beyond kMaxFoldedMessages
    };
    static QString summaryOf(const Run& run);
    // The lines that stand for a flooded second's calls; the counts start again.
    static void takeFolded(const QString& prefix, Context& context, QStringList* lines);

    std::mutex m_mutex; // guards the contexts below (std::mutex: visible to ThreadSanitizer)
    // One per log context, so one unit's lines never break another unit's repeats; the
    // window and a lone unit have only the empty context. Hashed: a line of one of a thousand
    // units finds its context without ten string comparisons.
    QHash<QString, Context> m_contexts;
    int m_floodLines = 0;
};
