// varnel-window-bench: a record upload answered by the real main window, with a pty peer.
// Prints records per second, the event loop's longest stall and p99 gap, and memory.
#include "BenchLine.h"

#include "app/DisplayCheck.h"
#include "app/Widget.h"
#include "protocol/FrameExtractor.h"
#include "protocol/FrameView.h"
#include "app/SetupService.h"
#include "util/StandardOptions.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Reads the upload on its own thread: counts frames, notes the first and last data frame.
struct Peer
{
    int fd = -1;
    std::atomic<int> dataFrames{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> stop{false};
    QElapsedTimer clock;
    std::atomic<qint64> firstDataNs{0};
    std::atomic<qint64> endNs{0};

    void run()
    {
        QByteArray buffer;
        while (!stop && !ended) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char chunk[65536];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                continue;
            buffer.append(chunk, int(n));
            for (const QByteArray& frame : FrameExtractor::cutByLength(buffer)) {
                const std::optional<FrameView> view = FrameView::of(frame);
                const std::optional<wire::RecordMark> mark = view ? view->recordMark() : std::nullopt;
                if (mark == wire::RecordMark::Data && dataFrames++ == 0)
                    firstDataNs = clock.nsecsElapsed();
                if (mark == wire::RecordMark::End && view->length() == 1) {
                    endNs = clock.nsecsElapsed();
                    ended = true;
                }
            }
        }
    }
};

const char kUsage[] = "usage: varnel-window-bench [N]\n"
                      "       varnel-window-bench --help | --version\n"
                      "an N-record upload (1-99999999, default 10000) answered by the real window against\n"
                      "a pty peer (socat): records per second, event-loop gaps, memory; it needs a display\n"
                      "or QT_QPA_PLATFORM=offscreen\n";

int usageError(const QString& problem)
{
    return StandardOptions::usageError("varnel-window-bench", problem, kUsage);
}

} // namespace

int main(int argc, char* argv[])
{
    // Settled before the application object exists: it aborts without a display.
    const QStringList arguments = StandardOptions::arguments(argc, argv);
    QCommandLineParser parser;
    const StandardOptions standard;
    parser.addOptions({standard.help, standard.version});
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (standard.answered(parser, kUsage, VARNEL_VERSION_LINE))
        return 0;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return usageError(QStringLiteral("unexpected argument \"%1\"").arg(positional.at(1)));
    int records = 10000;
    if (!positional.isEmpty()) {
        bool ok = false;
        records = positional.first().toInt(&ok, 10);
        if (!ok || records < 1 || records > 99999999)
            return usageError(
                QStringLiteral("N: \"%1\" is not a number from 1 to 99999999").arg(positional.first()));
    }
    const QString displayProblem = DisplayCheck::problem(QString(), false);
    if (!displayProblem.isEmpty()) {
        std::fprintf(stderr, "varnel-window-bench: %s\n", qPrintable(displayProblem));
        return 1;
    }
    QApplication app(argc, argv);

    QTemporaryDir dir;
    const QString port = dir.filePath(QStringLiteral("emu"));
    const QString peerPath = dir.filePath(QStringLiteral("pc"));
    BenchLine line;
    if (!line.start(port, peerPath)) {
        std::fprintf(stderr, "varnel-window-bench: socat did not make the pty pair\n");
        return 1;
    }

    Widget window;
    window.show();
    QApplication::processEvents();
    SetupService::instance()->slot_maxSendRecordCountChanged(records);
    auto* portCombo = window.findChild<QComboBox*>(QStringLiteral("comboBoxPortName"));
    auto* openButton = window.findChild<QPushButton*>(QStringLiteral("pushButtonOpenSerial"));
    portCombo->setEditText(port);
    openButton->click();

    Peer peer;
    peer.fd = line.openPc(false);
    peer.clock.start();
    std::thread reader([&peer] { peer.run(); });

    // A zero-interval timer runs whenever the event loop is free; its gaps are the stalls,
    // kept in 10 µs buckets so millions of samples cost no memory.
    constexpr int kBuckets = 100000; // up to 1 s
    std::vector<quint64> histogram(kBuckets + 1, 0);
    quint64 samples = 0;
    double longest = 0;
    QElapsedTimer sinceLast;
    sinceLast.start();
    QTimer sampler;
    sampler.setInterval(0);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const double ms = double(sinceLast.nsecsElapsed()) / 1e6;
        sinceLast.restart();
        ++histogram[std::min<std::size_t>(std::size_t(ms * 100), kBuckets)];
        ++samples;
        longest = std::max(longest, ms);
    });
    const auto percentile = [&](double p) {
        quint64 seen = 0;
        for (int i = 0; i <= kBuckets; ++i) {
            seen += histogram[std::size_t(i)];
            if (double(seen) >= p * double(samples))
                return i / 100.0;
        }
        return longest;
    };

    const long rssBefore = BenchLine::rssKb();
    const QByteArray request = BenchLine::request(0x0C);
    [[maybe_unused]] ssize_t written = ::write(peer.fd, request.constData(), size_t(request.size()));
    if (!qEnvironmentVariableIsSet("VARNEL_BENCH_NO_SAMPLER"))
        sampler.start();
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (peer.ended)
            app.quit();
    });
    watch.start();
    QTimer::singleShot(records * 20 + 30000, &app, &QApplication::quit); // a guard, not a figure
    app.exec();
    sampler.stop();
    const long rssAfter = BenchLine::rssKb();
    peer.stop = true;
    reader.join();
    openButton->click();

    const double seconds = double(peer.endNs - peer.firstDataNs) / 1e9;
    std::printf("window upload of %d records (%s platform)\n", records,
                qPrintable(QApplication::platformName()));
    std::printf("  data frames received   %d%s\n", peer.dataFrames.load(),
                peer.ended ? "" : " (no end frame)");
    // A rate needs two data frames apart in time; fewer give no figure rather than a wrong one.
    if (peer.dataFrames >= 2 && seconds > 0)
        std::printf("  records per second     %.1f (limit 100)\n", (peer.dataFrames - 1) / seconds);
    else
        std::printf("  records per second     - (fewer than two data frames)\n");
    if (samples > 0)
        std::printf("  event loop gaps        p50 %.2f ms  p99 %.2f ms  max %.2f ms  (%llu samples)\n",
                    percentile(0.5), percentile(0.99), longest, static_cast<unsigned long long>(samples));
    std::printf("  RSS                    %ld kB before, %ld kB after (%+ld kB)\n", rssBefore, rssAfter,
                rssAfter - rssBefore);
    return peer.ended ? 0 : 1;
}
