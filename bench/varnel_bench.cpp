// Throughput of the framing path and figures over a serial link. Prints one table per
// area; each section is one function. --quick shortens the link runs, --no-link skips them,
// --pacing runs only the line-timing figures.
#include "LinkBench.h"

#include "data/StringData.h"
#include "device/Frame.h"
#include "log/LogManager.h"
#include "protocol/Crc16.h"
#include "protocol/FrameExtractor.h"
#include "render/HexFrameRenderer.h"
#include "util/StandardOptions.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kMiB = 1024 * 1024;
constexpr int kChunk = 4096;
constexpr int kRepeats = 5;

using Clock = std::chrono::steady_clock;

// Best of a few runs, in seconds; the work returns a count so that it cannot be optimised away.
double bestSeconds(const std::function<long()>& work, long& sink)
{
    double best = 1e30;
    for (int i = 0; i < kRepeats; ++i) {
        const auto start = Clock::now();
        sink += work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

void printHeader(const char* title)
{
    std::printf("\n%s\n", title);
    std::printf("%-34s %8s %12s %12s %10s\n", "case", "size", "time [ms]", "MB/s", "4MB/1MB");
}

void printRow(const std::string& name, int bytes, double seconds, double ratio = 0.0)
{
    const double mbPerSecond = bytes / double(kMiB) / seconds;
    std::printf("%-34s %6dMB %12.3f %12.1f", name.c_str(), bytes / kMiB, seconds * 1e3, mbPerSecond);
    if (ratio > 0.0)
        std::printf(" %10.2f", ratio);
    std::printf("\n");
}

// Streams -----------------------------------------------------------------------------------

QByteArray validFrames(int size, std::mt19937& rng)
{
    QByteArray out;
    out.reserve(size + 128);
    std::uniform_int_distribution<int> command(1, 0x15);
    std::uniform_int_distribution<int> length(0, 64);
    std::uniform_int_distribution<int> byte(0, 255);
    while (out.size() < size) {
        Frame frame(static_cast<std::uint8_t>(command(rng)), true);
        frame.setAddress(Frame::kSenderAddress);
        std::string content(static_cast<std::size_t>(length(rng)), '\0');
        for (char& c : content)
            c = static_cast<char>(byte(rng));
        frame.setData(std::make_unique<StringData>(content));
        out.append(frame.pack());
    }
    return out;
}

QByteArray noiseWithoutHeader(int size, std::mt19937& rng)
{
    QByteArray out(size, '\0');
    std::uniform_int_distribution<int> byte(0, 254);
    for (char& c : out) {
        const int b = byte(rng);
        c = static_cast<char>(b >= 0x5A ? b + 1 : b);
    }
    return out;
}

// Valid-looking headers with a 4-byte content and a wrong checksum, back to back.
QByteArray badChecksumHeaders(int size, std::mt19937&)
{
    QByteArray fake = QByteArray::fromHex("5AA5123401000401020304");
    const std::uint16_t wrong = crc16(fake) ^ 0x0101;
    fake.append(static_cast<char>(wrong >> 8)).append(static_cast<char>(wrong & 0xFF));
    QByteArray out;
    out.reserve(size + fake.size());
    while (out.size() < size)
        out.append(fake);
    out.resize(size);
    return out;
}

// Extraction ------------------------------------------------------------------------------

long extractWhole(const QByteArray& stream)
{
    QByteArray buffer = stream;
    const ExtractionResult result = FrameExtractor::extract(buffer);
    return long(result.frames.size() + result.crcErrors.size());
}

long extractChunked(const QByteArray& stream)
{
    QByteArray buffer;
    long found = 0;
    for (int at = 0; at < stream.size(); at += kChunk) {
        buffer.append(stream.constData() + at, std::min(kChunk, int(stream.size()) - at));
        const ExtractionResult result = FrameExtractor::extract(buffer);
        found += long(result.frames.size() + result.crcErrors.size());
    }
    return found;
}

struct StreamKind
{
    const char* name;
    QByteArray (*make)(int, std::mt19937&);
};

struct FeedMode
{
    const char* name;
    long (*run)(const QByteArray&);
};

void extractionCase(const StreamKind& kind, const FeedMode& mode, long& sink)
{
    std::mt19937 rng(7u);
    const QByteArray small = kind.make(1 * kMiB, rng);
    const QByteArray large = kind.make(4 * kMiB, rng);
    const double smallSeconds = bestSeconds([&] { return mode.run(small); }, sink);
    const double largeSeconds = bestSeconds([&] { return mode.run(large); }, sink);
    const std::string name = std::string(kind.name) + ", " + mode.name;
    printRow(name, small.size(), smallSeconds);
    printRow(name, large.size(), largeSeconds, largeSeconds / smallSeconds);
}

void benchExtraction(long& sink)
{
    printHeader("Frame extraction");
    const StreamKind kinds[] = {
        {"valid frames", validFrames},
        {"noise without 5A", noiseWithoutHeader},
        {"bad-checksum headers", badChecksumHeaders},
    };
    const FeedMode modes[] = {{"4KB chunks", extractChunked}, {"one buffer", extractWhole}};
    for (const StreamKind& kind : kinds)
        for (const FeedMode& mode : modes)
            extractionCase(kind, mode, sink);
}

// Checksum and packing ------------------------------------------------------------------

void benchCrc(long& sink)
{
    printHeader("Checksum");
    std::mt19937 rng(3u);
    const QByteArray data = noiseWithoutHeader(kMiB, rng);
    const double seconds = bestSeconds([&] { return long(crc16(data)); }, sink);
    printRow("crc16", data.size(), seconds);
}

void benchPack(long& sink)
{
    printHeader("Frame packing");
    std::mt19937 rng(5u);
    const double seconds = bestSeconds([&] { return long(validFrames(kMiB, rng).size()); }, sink);
    printRow("build and pack frames", kMiB, seconds);
}

// Frames per second for a mix of rendered frames: a 110-byte record, a list and a short ack.
void benchRenderer(long& sink)
{
    std::printf("\nHex renderer\n%-34s %8s %12s %12s\n", "case", "frames", "time [ms]", "frames/s");
    const QString record = QStringLiteral("5AA512340C006E010000000135514A57000000000000313233343536373807EA0C"
                                          "08071119E8AEBEE5A487E5908DE7A7B0000000"
                                          "003837363534333231E6938DE4BD9CE4BABAE59198000000000201012C00000080"
                                          "00000081313132323333343435353535343433"
                                          "3332323131001E001F01010101A906");
    const QString gear = QStringLiteral("5AA5123414000B02010000012C02000001905404");
    const QString ack = QStringLiteral("5AA51234020000EE03");
    const struct
    {
        const char* name;
        QString frame;
        HexFrameRenderer::Direction direction;
    } cases[] = {{"record data frame (110 bytes)", record, HexFrameRenderer::Direction::Response},
                 {"gear list (2 entries)", gear, HexFrameRenderer::Direction::Request},
                 {"empty request", ack, HexFrameRenderer::Direction::Request}};
    constexpr int kFrames = 20000;
    for (const auto& c : cases) {
        HexFrameRenderer renderer;
        const double seconds = bestSeconds(
            [&] {
                long paragraphs = 0;
                for (int i = 0; i < kFrames; ++i)
                    paragraphs += renderer.render(c.frame, c.direction).size();
                return paragraphs;
            },
            sink);
        std::printf("%-34s %8d %12.3f %12.0f\n", c.name, kFrames, seconds * 1e3, kFrames / seconds);
    }
}

// LogManager::log with a receiver counting lines, as the pane's slot would be connected.
void benchLogManager(long& sink)
{
    std::printf("\nLog manager\n%-34s %8s %12s %12s\n", "case", "calls", "time [ms]", "calls/s");
    constexpr int kCalls = 200000;
    const QString file = QStringLiteral("bench");
    const QString function = QStringLiteral("benchLogManager");
    for (bool distinct : {true, false}) {
        LogManager manager;
        long lines = 0;
        QObject::connect(&manager, &LogManager::logAdded, [&lines](const QString&) { ++lines; });
        const double seconds = bestSeconds(
            [&] {
                for (int i = 0; i < kCalls; ++i)
                    manager.log(file, 1, function, 1,
                                distinct ? QStringLiteral("record %1").arg(i) : QStringLiteral("Read Data!"));
                return lines;
            },
            sink);
        std::printf("%-34s %8d %12.3f %12.0f\n",
                    distinct ? "distinct messages (all shown)" : "repeats (folded)", kCalls, seconds * 1e3,
                    kCalls / seconds);
    }
}

const char kUsage[] = "usage: varnel-bench [--quick] [--no-link | --pacing]\n"
                      "       varnel-bench --help | --version\n"
                      "prints timing figures: checksum, packing, extraction, renderer, log manager, then\n"
                      "round trips, an upload, idle CPU and memory over a pty pair (socat)\n"
                      "  --quick    shorter link runs\n"
                      "  --no-link  the framing figures only\n"
                      "  --pacing   only the line-timing figures: an upload's pacing at 115200 and 9600\n";

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const StandardOptions standard;
    const QCommandLineOption quick(QStringLiteral("quick"));
    const QCommandLineOption noLink(QStringLiteral("no-link"));
    const QCommandLineOption pacing(QStringLiteral("pacing"));
    parser.addOptions({standard.help, standard.version, quick, noLink, pacing});
    if (!parser.parse(app.arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString problem =
            parser.errorText().isEmpty()
                ? QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first())
                : parser.errorText();
        return StandardOptions::usageError("varnel-bench", problem, kUsage);
    }
    if (standard.answered(parser, kUsage, VARNEL_VERSION_LINE))
        return 0;
    long sink = 0;
    if (parser.isSet(pacing)) {
        LinkBenchOptions options;
        if (parser.isSet(quick)) {
            options.pacingRecords = 200;
            options.pacingRecords9600 = 50;
            options.idleSeconds = 3;
        }
        benchPacing(options);
        return 0;
    }
    const std::vector<void (*)(long&)> sections = {benchCrc, benchPack, benchExtraction, benchRenderer,
                                                   benchLogManager};
    for (auto section : sections)
        section(sink);
    std::printf("\n(checksum %ld)\n", sink);
    if (!parser.isSet(noLink)) {
        LinkBenchOptions options;
        if (parser.isSet(quick)) {
            options.roundTrips = 200;
            options.uploadRecords = 200;
            options.idleSeconds = 3;
            options.rssRecords = 1000;
        }
        benchLink(options);
    }
    return 0;
}
