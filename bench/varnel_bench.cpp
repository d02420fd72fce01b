// Throughput of the framing path and figures over a serial link. Prints one table per
// area; each section is one function. --quick shortens the link runs, --no-link skips them.
#include "LinkBench.h"

#include "data/StringData.h"
#include "device/Crc16.h"
#include "device/Frame.h"
#include "device/FrameExtractor.h"

#include <QByteArray>
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

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    long sink = 0;
    const std::vector<void (*)(long&)> sections = {benchCrc, benchPack, benchExtraction};
    for (auto section : sections)
        section(sink);
    std::printf("\n(checksum %ld)\n", sink);
    if (!args.contains(QStringLiteral("--no-link"))) {
        LinkBenchOptions options;
        if (args.contains(QStringLiteral("--quick"))) {
            options.roundTrips = 200;
            options.uploadRecords = 200;
            options.idleSeconds = 3;
            options.rssRecords = 1000;
        }
        benchLink(options);
    }
    return 0;
}
