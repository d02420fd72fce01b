#include "PeerBench.h"

#include "bench/BenchLine.h"
#include "PeerProcess.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReplyTimeoutMs = 2000;

volatile std::sig_atomic_t g_stop = 0;

void requestStop(int)
{
    g_stop = 1;
}

// Waits for `events` on fd until the deadline; false on timeout, error or a stop request.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        if (g_stop)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, int(left.count()) + 1);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// Writes the request and reads exactly reply.size() bytes into `got`; an empty result
// means they arrived, otherwise it says what did not.
QString exchange(int fd, const QByteArray& request, int replySize, QByteArray& got)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    for (int sent = 0; sent < request.size();) {
        const ssize_t n = ::write(fd, request.constData() + sent, size_t(request.size() - sent));
        if (n > 0)
            sent += int(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return QStringLiteral("write failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        else if (!waitFor(fd, POLLOUT, deadline))
            return g_stop ? QStringLiteral("stopped") : QStringLiteral("request not written");
    }
    got.resize(replySize);
    for (int have = 0; have < replySize;) {
        if (!waitFor(fd, POLLIN, deadline)) {
            got.truncate(have);
            return g_stop ? QStringLiteral("stopped")
                          : QStringLiteral("%1 of %2 reply bytes within %3 ms%4")
                                .arg(have)
                                .arg(replySize)
                                .arg(kReplyTimeoutMs)
                                .arg(have > 0 ? QStringLiteral(": ") + hex(got) : QString());
        }
        const ssize_t n = ::read(fd, got.data() + have, size_t(replySize - have));
        if (n > 0)
            have += int(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return QStringLiteral("the line closed");
    }
    return QString();
}

// Anything after the expected reply is as wrong as a different reply.
QByteArray strayBytes(int fd)
{
    QByteArray stray;
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        stray.append(buf, int(n));
    }
    return stray;
}

// The last 400 bytes a process printed, on one line, for an error message.
QString printed(const QString& name, const QByteArray& output)
{
    const QByteArray out = output.trimmed().right(400);
    if (out.isEmpty())
        return QString();
    return QStringLiteral("; %1 printed: %2")
        .arg(name, QString::fromUtf8(out).replace(QLatin1Char('\n'), QLatin1String(" / ")));
}

// The tap must have seen every frame of both directions, whole, and captured them.
QString checkTap(PeerProcess& process, int roundTrips)
{
    if (!process.stopTap())
        return QStringLiteral("varnel-pc tap did not end cleanly") +
               printed(QStringLiteral("varnel-pc tap"), process.tapOutput());
    const QByteArray summary = QStringLiteral("tap: %1 frames PC>UNIT, %1 frames UNIT>PC, 0 checksum errors, "
                                              "0 bytes discarded")
                                   .arg(roundTrips)
                                   .toUtf8();
    const QByteArray output = process.tapOutput();
    if (!output.contains(summary))
        return QStringLiteral("varnel-pc tap did not print \"%1\"").arg(QString::fromUtf8(summary)) +
               printed(QStringLiteral("varnel-pc tap"), output);
    // More than the file header: the frames went into the capture.
    constexpr qint64 kPcapHeaderBytes = 24;
    if (QFileInfo(process.capturePath()).size() <= kPcapHeaderBytes)
        return QStringLiteral("varnel-pc tap captured nothing to %1").arg(process.capturePath());
    return QString();
}

double percentile(const std::vector<double>& sorted, double p)
{
    const auto rank = std::size_t(std::ceil(p * double(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

} // namespace

void PeerBench::installStopHandler()
{
    struct sigaction action
    {
    };
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocked poll returns and sees the flag.
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool PeerBench::stopRequested()
{
    return g_stop != 0;
}

PeerFigures PeerBench::run(const PeerCase& peer) const
{
    PeerFigures figures;
    PeerProcess process;
    const QString dir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const QString program = dir + peer.program;
    if (peer.viaTap)
        process.setTap(dir + QStringLiteral("varnel-pc"));
    const QString idleName = peer.viaTap ? QStringLiteral("varnel-pc tap") : peer.program;
    if (!process.start(program, peer.arguments(process.ttyPath()), peer.readyText)) {
        figures.error = process.error();
        return figures;
    }
    const int fd = process.pcFd();
    std::vector<double> ms;
    ms.reserve(std::size_t(m_options.roundTrips));
    QByteArray got;
    Clock::time_point timedStart;
    double responderCpuStart = -1;
    double tapCpuStart = -1;
    const int total = m_options.warmUp + m_options.roundTrips;
    for (int i = 0; i < total; ++i) {
        if (i == m_options.warmUp) {
            responderCpuStart = BenchLine::cpuSeconds(process.responderPid());
            if (peer.viaTap)
                tapCpuStart = BenchLine::cpuSeconds(process.tapPid());
            timedStart = Clock::now();
        }
        const Clock::time_point start = Clock::now();
        const QString problem = exchange(fd, peer.request, peer.reply.size(), got);
        const Clock::time_point end = Clock::now();
        const QByteArray stray = problem.isEmpty() ? strayBytes(fd) : QByteArray();
        if (!problem.isEmpty() || got != peer.reply || !stray.isEmpty()) {
            figures.error = QStringLiteral("round trip %1: ").arg(i + 1);
            if (!problem.isEmpty())
                figures.error += problem;
            else if (got != peer.reply)
                figures.error += QStringLiteral("reply %1, expected %2").arg(hex(got), hex(peer.reply));
            else
                figures.error +=
                    QStringLiteral("%1 bytes after the reply: %2").arg(stray.size()).arg(hex(stray));
            if (process.hasExited())
                figures.error +=
                    QStringLiteral("; %1 has exited")
                        .arg(peer.viaTap ? peer.program + QStringLiteral(" or the tap") : peer.program);
            figures.error += printed(peer.program, process.output());
            if (peer.viaTap)
                figures.error += printed(QStringLiteral("varnel-pc tap"), process.tapOutput());
            return figures;
        }
        if (i >= m_options.warmUp)
            ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - timedStart).count();
    // Read before anything else is asked of the responder; a reading of -1 means it has gone.
    const double responderCpuEnd = BenchLine::cpuSeconds(process.responderPid());
    const double tapCpuEnd = peer.viaTap ? BenchLine::cpuSeconds(process.tapPid()) : -1;
    if (responderCpuStart < 0 || responderCpuEnd < 0) {
        figures.error = QStringLiteral("%1 exited during the round trips").arg(peer.program);
        return figures;
    }
    if (peer.viaTap && (tapCpuStart < 0 || tapCpuEnd < 0)) {
        figures.error = QStringLiteral("varnel-pc tap exited during the round trips");
        return figures;
    }
    const double responderCpu = responderCpuEnd - responderCpuStart;
    figures.busyCpuPercent = seconds > 0 ? 100.0 * responderCpu / seconds : 0;
    figures.cpuMicrosPerRoundTrip = 1e6 * responderCpu / double(ms.size());
    if (peer.viaTap)
        figures.tapCpuMicrosPerRoundTrip = 1e6 * (tapCpuEnd - tapCpuStart) / double(ms.size());
    std::sort(ms.begin(), ms.end());
    figures.p50Ms = percentile(ms, 0.50);
    figures.p99Ms = percentile(ms, 0.99);
    figures.maxMs = ms.back();
    figures.roundTripsPerSecond = double(ms.size()) / seconds;

    const double before = BenchLine::cpuSeconds(process.pid());
    const Clock::time_point idleStart = Clock::now();
    const Clock::time_point idleEnd = idleStart + std::chrono::seconds(m_options.idleSeconds);
    while (Clock::now() < idleEnd && !g_stop)
        ::usleep(50000);
    const double after = BenchLine::cpuSeconds(process.pid());
    const double idle = std::chrono::duration<double>(Clock::now() - idleStart).count();
    if (g_stop)
        figures.error = QStringLiteral("stopped");
    else if (before < 0 || after < 0)
        figures.error = QStringLiteral("%1 exited while idle").arg(idleName);
    else if (idle > 0)
        figures.idleCpuPercent = 100.0 * (after - before) / idle;
    if (figures.error.isEmpty() && peer.viaTap)
        figures.error = checkTap(process, total);
    return figures;
}
