#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class PortSession;
class QSocketNotifier;

// The headless stand-in for the main window: prints every pane line, writes it to
// the log file, and takes operator commands ("stop", "records N", "quit") on stdin.
class EmulatorConsole : public QObject
{
    Q_OBJECT

public:
    EmulatorConsole(PortSession* session, QObject* parent = nullptr);

    void watchStandardInput();

    // Record counts as the tool tab takes them: 1 to 8 decimal digits.
    static bool isRecordCount(const QString& text);

public slots:
    void slot_logAdded(QString log);
    // Orderly end: upload stopped, port closed, event loop left.
    void shutdown();

private slots:
    void readStandardInput();

private:
    void runCommand(const QString& line);

    PortSession* m_session;
    QSocketNotifier* m_stdinNotifier = nullptr;
    QByteArray m_pending;
};
