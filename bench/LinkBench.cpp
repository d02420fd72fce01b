#include "LinkBench.h"

#include "BenchLine.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Each read's bytes with the monotonic time it returned, until `done` or timeoutMs of quiet.
template <typename Done>
std::vector<std::pair<qint64, QByteArray>> readTimedFd(int fd, Done done, int timeoutMs)
{
    std::vector<std::pair<qint64, QByteArray>> reads;
    QByteArray in;
    while (!done(in)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        char buf[65536];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            reads.emplace_back(QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs(),
                               QByteArray(buf, int(n)));
            in.append(buf, int(n));
        }
    }
    return reads;
}

class Link
{
public:
    // On a socat pty pair, or (tcp) on a loopback listener the PC end connects to.
    bool start(int records, const QStringList& options = {}, bool tcp = false)
    {
        if (!tcp && !m_line.start(path("emu"), path("pc")))
            return false;
        m_emu.setWorkingDirectory(m_dir.path());
        // A file, not a pipe: nobody reads the log while the figures are taken.
        m_emu.setStandardOutputFile(path("emu.out"));
        m_emu.start(QCoreApplication::applicationDirPath() + QStringLiteral("/varnel-emu"),
                    QStringList{QStringLiteral("--records"), QString::number(records)} + options +
                        QStringList{tcp ? QStringLiteral("tcp:127.0.0.1:0") : path("emu")});
        if (!m_emu.waitForStarted(5000))
            return false;
        const QByteArray ready = tcp ? QByteArrayLiteral("LISTEN tcp:127.0.0.1:") : QByteArray("打开串口成功");
        QByteArray out;
        QFile log(path("emu.out"));
        QDeadlineTimer opened(5000);
        while (!out.contains(ready) && !opened.hasExpired()) {
            QThread::msleep(10);
            if (log.open(QIODevice::ReadOnly)) {
                out = log.readAll();
                log.close();
            }
        }
        if (!out.contains(ready))
            return false;
        if (!tcp) {
            m_fd = m_line.openPc(true);
            return m_fd >= 0;
        }
        const int at = out.indexOf(ready) + ready.size();
        const int port = out.mid(at, out.indexOf('\n', at) - at).trimmed().toInt();
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_socket < 0 || ::connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        const int one = 1;
        ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        m_fd = m_socket;
        return true;
    }

    // The emulator ends before its line goes away.
    ~Link()
    {
        m_emu.terminate();
        m_emu.waitForFinished(5000);
        if (m_socket >= 0)
            ::close(m_socket);
    }

    qint64 pid() const { return m_emu.processId(); }

    void write(const QByteArray& bytes)
    {
        [[maybe_unused]] ssize_t n = ::write(m_fd, bytes.constData(), bytes.size());
    }

    // Each read's bytes with the monotonic time it returned, until `done` or timeoutMs of quiet.
    template <typename Done>
    std::vector<std::pair<qint64, QByteArray>> readTimed(Done done, int timeoutMs = 3000)
    {
        return readTimedFd(m_fd, done, timeoutMs);
    }

    template <typename Done> QByteArray readUntil(Done done, int timeoutMs = 3000)
    {
        QByteArray in;
        for (const auto& read : readTimed(done, timeoutMs))
            in += read.second;
        return in;
    }

private:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
    BenchLine m_line;
    QProcess m_emu;
    int m_fd = -1;     // owned by m_line, or m_socket
    int m_socket = -1; // the PC end of a tcp link
};

bool uploadComplete(const QByteArray& in)
{
    // The end frame is the 10 bytes 5A A5 12 34 0C 00 01 02 + checksum.
    return in.size() >= 10 && in.right(10).startsWith(QByteArray::fromHex("5aa512340c000102"));
}

void latency(const LinkBenchOptions& o)
{
    Link link;
    if (!link.start(0)) {
        std::printf("link: could not start socat/varnel-emu\n");
        return;
    }
    std::vector<double> ms;
    const QByteArray getTime = BenchLine::request(0x02);
    int lost = 0;
    for (int i = 0; i < o.roundTrips; ++i) {
        QElapsedTimer t;
        t.start();
        link.write(getTime);
        const QByteArray reply = link.readUntil([](const QByteArray& in) { return in.size() >= 16; }, 1000);
        if (reply.size() < 16)
            ++lost;
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-38s %8d  p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms  unanswered %d\n",
                "get-time round trips", o.roundTrips, ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(),
                lost);
}

void upload(const LinkBenchOptions& o)
{
    Link link;
    if (!link.start(o.uploadRecords))
        return;
    QElapsedTimer t;
    t.start();
    link.write(BenchLine::request(0x0C));
    const QByteArray in = link.readUntil(uploadComplete, 3000);
    const double seconds = double(t.nsecsElapsed()) / 1e9;
    const int expected = 14 + 119 * o.uploadRecords + 10;
    std::printf("%-38s %8d  %7.1f records/s (limit 100)  bytes %d of %d\n", "upload", o.uploadRecords,
                o.uploadRecords / seconds, int(in.size()), expected);
}

void idleCpu(const LinkBenchOptions& o)
{
    Link link;
    if (!link.start(0))
        return;
    const double before = BenchLine::cpuSeconds(link.pid());
    QThread::sleep(static_cast<unsigned long>(o.idleSeconds));
    const double used = BenchLine::cpuSeconds(link.pid()) - before;
    std::printf("%-38s %8d  %7.2f %% of one core\n", "idle CPU of varnel-emu (s)", o.idleSeconds,
                100.0 * used / o.idleSeconds);
}

void rss(const LinkBenchOptions& o)
{
    Link link;
    if (!link.start(o.rssRecords))
        return;
    const long before = BenchLine::rssKb(link.pid());
    link.write(BenchLine::request(0x0C));
    const QByteArray in = link.readUntil(uploadComplete, 5000);
    const long after = BenchLine::rssKb(link.pid());
    std::printf("%-38s %8d  RSS %ld kB before, %ld kB after (%+ld kB), complete %s\n", "upload memory",
                o.rssRecords, before, after, after - before, uploadComplete(in) ? "yes" : "no");
}

// When each frame's last byte arrived, and its size, from timed reads of the PC end.
std::vector<std::pair<qint64, int>> frameEnds(const std::vector<std::pair<qint64, QByteArray>>& reads)
{
    std::vector<std::pair<qint64, int>> ends;
    QByteArray pending;
    for (const auto& read : reads) {
        pending += read.second;
        while (pending.size() >= 7) {
            const int total = 9 + ((quint8(pending.at(5)) << 8) | quint8(pending.at(6)));
            if (pending.size() < total)
                break;
            ends.emplace_back(read.first, total);
            pending.remove(0, total);
        }
    }
    return ends;
}

struct PacedUpload
{
    double p50Ms = 0, p99Ms = 0, maxMs = 0; // |a frame's last byte - its ideal time|
    double totalS = 0, idealS = 0;
    double cpuS = 0;
    int frames = 0;
};

// 8N1 (byteNs: one character; 0 untimed): each frame follows the one before by the 10 ms pause
// and its own line time (none untimed: what is left is the pty's own delivery); the whole upload
// from the first frame's last byte by the sum of them.
void measureSpread(const std::vector<std::pair<qint64, int>>& ends, double byteNs, PacedUpload& result)
{
    if (ends.size() < 2)
        return;
    std::vector<double> errors;
    double ideal = 0;
    for (std::size_t i = 1; i < ends.size(); ++i) {
        const double expected = 10e6 + ends[i].second * byteNs;
        ideal += expected;
        errors.push_back(std::abs(double(ends[i].first - ends[i - 1].first) - expected) / 1e6);
    }
    std::sort(errors.begin(), errors.end());
    result.p50Ms = errors[errors.size() / 2];
    result.p99Ms = errors[errors.size() * 99 / 100];
    result.maxMs = errors.back();
    result.totalS = double(ends.back().first - ends.front().first) / 1e9;
    result.idealS = ideal / 1e9;
}

PacedUpload pacedUpload(int records, int baud, bool paced, bool tcp = false)
{
    PacedUpload result;
    Link link;
    QStringList options{QStringLiteral("--baud"), QString::number(baud)};
    if (paced)
        options << QStringLiteral("--line-timing");
    if (!link.start(records, options, tcp))
        return result;
    const double cpuBefore = BenchLine::cpuSeconds(link.pid());
    link.write(BenchLine::request(0x0C));
    const auto ends = frameEnds(link.readTimed(uploadComplete, 5000));
    result.cpuS = BenchLine::cpuSeconds(link.pid()) - cpuBefore;
    result.frames = int(ends.size());
    measureSpread(ends, paced ? 10.0 * 1e9 / baud : 0.0, result);
    return result;
}

// The pty pair's own delivery at the timed 9600 write pattern, with no varnel-emu: this program
// writes each frame a byte at a time at its ideal time on the cable (first byte one character
// after the pause, the pause counted from the ideal last byte) and reads the other end.
PacedUpload ptyFloor(int frames, int baud)
{
    PacedUpload result;
    QTemporaryDir dir;
    BenchLine line;
    const QString emuPath = dir.filePath(QStringLiteral("emu"));
    if (!line.start(emuPath, dir.filePath(QStringLiteral("pc"))))
        return result;
    // Non-blocking: a pair that stopped delivering refuses the write instead of hanging it.
    const int writeFd = BenchLine::openRaw(emuPath, true);
    const int readFd = line.openPc(true);
    if (writeFd < 0 || readFd < 0) {
        if (writeFd >= 0)
            ::close(writeFd);
        return result;
    }
    // A data frame's size, its length field saying so (frameEnds reads it).
    constexpr int kFrameBytes = 119;
    QByteArray frame = QByteArray::fromHex("5aa512340c") + char(0) + char(kFrameBytes - 9);
    frame += QByteArray(kFrameBytes - frame.size(), '\x55');
    const qint64 characterNs = 10 * qint64(1000000000) / baud;
    std::thread writer([&] {
        const auto sleepUntil = [](qint64 ns) {
            const timespec at{time_t(ns / 1000000000), long(ns % 1000000000)};
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
        };
        qint64 lastDue = QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
        for (int k = 0; k < frames; ++k) {
            const qint64 first = lastDue + (k ? 10000000 : 0) + characterNs;
            for (int i = 0; i < kFrameBytes; ++i) {
                sleepUntil(first + i * characterNs);
                [[maybe_unused]] const ssize_t n = ::write(writeFd, frame.constData() + i, 1);
            }
            lastDue = first + (kFrameBytes - 1) * characterNs;
        }
    });
    const auto reads = readTimedFd(
        readFd, [&](const QByteArray& in) { return in.size() >= frames * kFrameBytes; }, 5000);
    writer.join();
    ::close(writeFd);
    const auto ends = frameEnds(reads);
    result.frames = int(ends.size());
    measureSpread(ends, double(characterNs), result);
    return result;
}

} // namespace

void benchPacing(const LinkBenchOptions& o)
{
    std::printf("\n== line timing (--line-timing, socat pty pair or tcp loopback, 8N1) ==\n");
    std::printf("%-30s %7s %8s %8s %8s %10s %10s %8s %9s %7s\n", "upload", "frames", "p50 ms", "p99 ms",
                "max ms", "total s", "ideal s", "total %", "CPU %", "CPU s");
    struct Row
    {
        int baud;
        bool paced, tcp;
    };
    // The tcp rows: the same pacing over loopback, which delivers without the pty pair's spread.
    for (const Row& row : {Row{115200, true, false}, Row{115200, false, false}, Row{9600, true, false},
                           Row{115200, true, true}, Row{9600, true, true}}) {
        const int records = row.baud == 9600 ? o.pacingRecords9600 : o.pacingRecords;
        const PacedUpload r = pacedUpload(records, row.baud, row.paced, row.tcp);
        const QString name = QStringLiteral("%1 records at %2%3%4")
                                 .arg(records)
                                 .arg(row.baud)
                                 .arg(row.paced ? "" : ", untimed")
                                 .arg(row.tcp ? ", tcp" : "");
        std::printf("%-30s %7d %8.3f %8.3f %8.3f %10.3f %10.3f %+7.3f%% %8.2f%% %7.2f\n", qPrintable(name),
                    r.frames, r.p50Ms, r.p99Ms, r.maxMs, r.totalS, r.idealS,
                    r.idealS > 0 ? 100.0 * (r.totalS - r.idealS) / r.idealS : 0.0,
                    r.totalS > 0 ? 100.0 * r.cpuS / r.totalS : 0.0, r.cpuS);
    }
    // Records + start and end frame, as many as the 9600 upload has.
    const PacedUpload floor = ptyFloor(o.pacingRecords9600 + 2, 9600);
    std::printf("%-30s %7d %8.3f %8.3f %8.3f %10.3f %10.3f %+7.3f%% %9s %7s\n",
                qPrintable(QStringLiteral("%1 frames at 9600, pty floor").arg(o.pacingRecords9600 + 2)),
                floor.frames, floor.p50Ms, floor.p99Ms, floor.maxMs, floor.totalS, floor.idealS,
                floor.idealS > 0 ? 100.0 * (floor.totalS - floor.idealS) / floor.idealS : 0.0, "-", "-");
    Link link;
    if (!link.start(
            0, {QStringLiteral("--line-timing=both"), QStringLiteral("--adapter"), QStringLiteral("ftdi")}))
        return;
    const double before = BenchLine::cpuSeconds(link.pid());
    QThread::sleep(static_cast<unsigned long>(o.idleSeconds));
    std::printf("%-30s %7d s %6.2f %% of one core\n", "idle, --line-timing=both --adapter ftdi",
                o.idleSeconds, 100.0 * (BenchLine::cpuSeconds(link.pid()) - before) / o.idleSeconds);
}

void benchLink(const LinkBenchOptions& options)
{
    std::printf("\n== serial link (socat pty pair, varnel-emu) ==\n");
    latency(options);
    upload(options);
    idleCpu(options);
    rss(options);
}
