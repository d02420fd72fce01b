#pragma once

#include "bench/BenchLine.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// One responder on the far end of its own socat pty pair, run in a temporary directory
// with its output in a file. The responder is stopped before the pair goes.
class PeerProcess
{
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // The end the responder opens.
    QString ttyPath() const;
    // False, with error() set, unless the pair is up, the responder has printed readyText
    // within five seconds and the PC end is open.
    bool start(const QString& program, const QStringList& arguments, const QByteArray& readyText);

    qint64 pid() const { return m_process.processId(); }
    // Non-blocking and raw; owned by the pair.
    int pcFd() const { return m_fd; }
    QString error() const { return m_error; }
    // For error messages: a reply that never came may mean the responder died.
    bool hasExited();
    // The responder's output so far, for error messages.
    QByteArray output() const;

private:
    QString path(const char* name) const;

    QTemporaryDir m_dir;
    BenchLine m_line;
    QProcess m_process;
    int m_fd = -1;
    QString m_error;
};
