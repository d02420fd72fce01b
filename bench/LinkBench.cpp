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
#include <cstdio>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

class Link
{
public:
    bool start(int records)
    {
        if (!m_line.start(path("emu"), path("pc")))
            return false;
        m_emu.setWorkingDirectory(m_dir.path());
        // A file, not a pipe: nobody reads the log while the figures are taken.
        m_emu.setStandardOutputFile(path("emu.out"));
        m_emu.start(QCoreApplication::applicationDirPath() + QStringLiteral("/varnel-emu"),
                    {QStringLiteral("--records"), QString::number(records), path("emu")});
        if (!m_emu.waitForStarted(5000))
            return false;
        QByteArray out;
        QFile log(path("emu.out"));
        QDeadlineTimer opened(5000);
        while (!out.contains("打开串口成功") && !opened.hasExpired()) {
            QThread::msleep(10);
            if (log.open(QIODevice::ReadOnly)) {
                out = log.readAll();
                log.close();
            }
        }
        m_fd = m_line.openPc(true);
        return m_fd >= 0 && out.contains("打开串口成功");
    }

    // The emulator ends before its line goes away.
    ~Link()
    {
        m_emu.terminate();
        m_emu.waitForFinished(5000);
    }

    qint64 pid() const { return m_emu.processId(); }

    void write(const QByteArray& bytes)
    {
        [[maybe_unused]] ssize_t n = ::write(m_fd, bytes.constData(), bytes.size());
    }

    // Reads until `done` says the bytes are complete or nothing arrives for timeoutMs.
    template <typename Done> QByteArray readUntil(Done done, int timeoutMs = 3000)
    {
        QByteArray in;
        while (!done(in)) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                break;
            char buf[65536];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0)
                in.append(buf, int(n));
        }
        return in;
    }

private:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
    BenchLine m_line;
    QProcess m_emu;
    int m_fd = -1; // owned by m_line
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

} // namespace

void benchLink(const LinkBenchOptions& options)
{
    std::printf("\n== serial link (socat pty pair, varnel-emu) ==\n");
    latency(options);
    upload(options);
    idleCpu(options);
    rss(options);
}
