#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <utility>

class LogManager;
class ScenarioReadJob;
class UnitHost;
class UnitSession;
class QSocketNotifier;

// The headless stand-in for the main window: prints every pane line, writes it to
// the log file, and takes operator commands ("stop", "records N", "fault RULE", "faults",
// "scenario FILE", "state", "journal [N]", "quit") on stdin.
class EmulatorConsole : public QObject
{
    Q_OBJECT

public:
    // "unit N COMMAND" goes to unit N; a bare command to every unit of the host.
    // Each command breaks the log's run of repeats, so what it logs shows at once.
    EmulatorConsole(UnitHost* host, LogManager* log, QObject* parent = nullptr);
    ~EmulatorConsole() override;

    void watchStandardInput();

    // Record counts as the tool tab takes them: 1 to 8 decimal digits.
    static bool isRecordCount(const QString& text);
    // What "journal" prints when no count is given.
    static constexpr int kDefaultJournalLines = 20;
    // Lines kept for the event loop's return at most; one more writes them at once.
    static constexpr int kMaxPendingLines = 1000;

    // The answer to a typed command, written at once after the lines logged before it, as
    // pane lines on standard output and in the log file. Never folded as a repeat of an
    // earlier answer and never held until the next log line.
    void answer(const QStringList& lines);

signals:
    // The orderly end begins: what serves the units from outside (the control API) stops first.
    void shutting_down();

public slots:
    // Lines are written when the event loop gets back, so the output of a reply never
    // waits for the log's writes; each line is still written and flushed on its own.
    void slot_logAdded(QString log);
    void writePendingLines();
    // Orderly end: upload stopped, port closed, event loop left.
    void shutdown();

private slots:
    void readStandardInput();

private:
    // The typed lines still waiting, in order; none while a scenario is being read.
    void runPendingCommands();
    void runCommand(const QString& line);
    // "scenario FILE" for unit `id`, 0 for every unit: read on a thread of its own, taken over
    // by the units when it is done; the commands typed meanwhile wait for it.
    void readScenario(const QString& path, int id);
    void scenarioRead();
    // The units the scenario being read is for: not ready while it is read.
    void markScenarioRead(bool reading);
    // One command for one unit (its log prefix names it in answers); false when refused.
    bool runUnitCommand(UnitSession* session, int id, const QString& line);
    void scheduleWrite();
    // The pending lines, counted as the batch whose last line flushes.
    QStringList takePendingLines();
    void writeLine(const QString& paneLine, const char* function, int line);

    UnitHost* m_host;
    LogManager* m_log;
    QSocketNotifier* m_stdinNotifier = nullptr;
    QByteArray m_pending;
    QStringList m_pendingLines;
    QTimer m_writeTimer;      // writes the pending lines when the event loop gets back
    int m_unflushedLines = 0; // lines of the current batch still to be written
    std::unique_ptr<ScenarioReadJob> m_scenarioRead;
    int m_scenarioUnit = 0; // the unit it is for, 0: every unit
};
