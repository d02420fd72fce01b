#pragma once

#include "bench/BenchLine.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// One responder on the far end of its own socat pty pair, run in a temporary directory
// with its output in a file. The responder is stopped before the pair goes.
// With a tap, the line is PC end <-> pair <-> varnel-pc tap <-> pair <-> responder, and the
// tap's capture goes to the same directory.
class PeerProcess
{
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // The end the responder opens.
    QString ttyPath() const;
    // Puts `tapProgram` (varnel-pc) in the middle; call before start().
    void setTap(const QString& tapProgram) { m_tapProgram = tapProgram; }
    bool hasTap() const { return !m_tapProgram.isEmpty(); }
    // False, with error() set, unless the pairs are up, the responder (and the tap) have
    // printed their ready text within five seconds each and the PC end is open.
    bool start(const QString& program, const QStringList& arguments, const QByteArray& readyText);

    // The process whose idle CPU is taken: the tap when there is one, else the responder.
    qint64 pid() const;
    qint64 responderPid() const { return m_process.processId(); }
    // 0 without a tap.
    qint64 tapPid() const { return hasTap() ? m_tap.processId() : 0; }
    // Non-blocking and raw; owned by the pair.
    int pcFd() const { return m_fd; }
    QString error() const { return m_error; }
    // For error messages: a reply that never came may mean the responder (or the tap) died.
    bool hasExited();
    // The responder's output so far, for error messages.
    QByteArray output() const;
    // The tap's output so far.
    QByteArray tapOutput() const;
    QString capturePath() const;
    // Ends the tap as Ctrl-C would, so its summary and capture are complete; false when it
    // did not exit with status 0 within five seconds.
    bool stopTap();

private:
    QString path(const char* name) const;
    static bool stop(QProcess& process);
    bool startProcess(QProcess& process, const QString& program, const QStringList& arguments,
                      const QString& outputPath, const QByteArray& readyText);

    QTemporaryDir m_dir;
    BenchLine m_line;
    BenchLine m_tapLine;
    QProcess m_process;
    QProcess m_tap;
    QString m_tapProgram;
    int m_fd = -1;
    QString m_error;
};
