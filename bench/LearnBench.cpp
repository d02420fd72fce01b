// varnel-pc learn on a large capture: a generator writes sessions of a PC program and a unit
// (texts read and set, the clock, acknowledgements, an upload of stored records) through the
// capture writer until the file reaches the size asked for, then learn reads it in a process
// of its own; prints its time and its largest resident memory.
//
//     build/bin/varnel-learn-bench [--mb 100] [--records 20000] [--keep]
#include "capture/CaptureWriter.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"
#include "protocol/WireFormat.h"
#include "unit/FileRecordFrames.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr qint64 kMiB = 1024 * 1024;
// Each packet costs its pcap record header besides its bytes and direction byte.
constexpr qint64 kPacketOverhead = 16 + CapturePacket::kDirectionSize;

struct Generator
{
    CaptureWriter writer;
    qint64 bytes = 24; // the file header
    std::uint64_t frames = 0;
    bool ok = true;

    void put(CapturePacket::Direction direction, const QByteArray& frame)
    {
        ok = ok && writer.write(direction, frame);
        bytes += kPacketOverhead + frame.size();
        ++frames;
    }
    void exchange(Command command, const QByteArray& request, const QByteArray& reply)
    {
        put(CapturePacket::Direction::PcToUnit, FrameView::build(wire::kAddress, toCode(command), request));
        put(CapturePacket::Direction::UnitToPc, FrameView::build(wire::kAddress, toCode(command), reply));
    }
};

QByteArray bytesOf(const std::string& text)
{
    return QByteArray(text.data(), int(text.size()));
}

// One session of the PC program: its usual reads and writes, then one upload.
void session(Generator& out, int records, const QDateTime& stored)
{
    const QByteArray clock = QByteArray::fromHex("07EA0301090000");
    for (int i = 0; i < 4; ++i) {
        out.exchange(Command::GetSerialNumber, {}, "BU-7734");
        out.exchange(Command::GetDeviceName, {}, QByteArray::fromHex("B0E2CAD642"));
        out.exchange(Command::SetDeviceName, QByteArray::fromHex("B0E2CAD643"), {});
        out.exchange(Command::GetDeviceName, {}, QByteArray::fromHex("B0E2CAD643"));
        out.exchange(Command::GetTime, {}, clock);
        out.exchange(Command::SetLockStatus, QByteArray(1, '\0'), {});
        out.exchange(Command::SetUsageCount, QByteArray::fromHex("00000005"), QByteArray(1, '\x01'));
        out.exchange(Command::ImportTorqueMode, QByteArray::fromHex("0001B0E2CAD6000000000000000003E805"),
                     {});
        out.put(CapturePacket::Direction::PcToUnit,
                FrameView::build(wire::kAddress, toCode(Command::ClearFileRecords), QByteArray()));
    }
    const std::uint8_t code = toCode(Command::GetFileRecords);
    out.put(CapturePacket::Direction::PcToUnit, FrameView::build(wire::kAddress, code, QByteArray()));
    out.put(CapturePacket::Direction::UnitToPc,
            FrameView::build(wire::kAddress, code,
                             bytesOf(FileRecordFrames::startFrame(std::uint32_t(records)))));
    for (int n = 1; n <= records; ++n)
        out.put(CapturePacket::Direction::UnitToPc,
                FrameView::build(wire::kAddress, code,
                                 bytesOf(FileRecordFrames::dataFrame(std::uint32_t(n), stored))));
    out.put(CapturePacket::Direction::UnitToPc,
            FrameView::build(wire::kAddress, code, bytesOf(FileRecordFrames::endFrame())));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption mb(QStringLiteral("mb"), QString(), QStringLiteral("N"), QStringLiteral("100"));
    const QCommandLineOption records(QStringLiteral("records"), QString(), QStringLiteral("N"),
                                     QStringLiteral("20000"));
    const QCommandLineOption keep(QStringLiteral("keep"));
    parser.addOptions({mb, records, keep});
    parser.process(app);
    const qint64 target = parser.value(mb).toLongLong() * kMiB;
    const int perUpload = parser.value(records).toInt();

    QTemporaryDir dir;
    dir.setAutoRemove(!parser.isSet(keep));
    const QString capture = dir.filePath(QStringLiteral("large.pcap"));
    Generator out;
    if (!out.writer.open(capture)) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(capture), qPrintable(out.writer.error()));
        return 1;
    }
    const QDateTime stored(QDate(2026, 3, 1), QTime(8, 0));
    const auto generating = std::chrono::steady_clock::now();
    int sessions = 0;
    while (out.ok && out.bytes < target) {
        session(out, perUpload, stored);
        ++sessions;
    }
    out.writer.close();
    const double generated =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - generating).count();
    if (!out.ok) {
        std::fprintf(stderr, "writing the capture failed: %s\n", qPrintable(out.writer.error()));
        return 1;
    }

    const QByteArray program = QFile::encodeName(QCoreApplication::applicationDirPath() + "/varnel-pc");
    const QByteArray outDir = QFile::encodeName(dir.filePath(QStringLiteral("learned")));
    const QByteArray file = QFile::encodeName(capture);
    std::vector<char*> args{const_cast<char*>(program.constData()),
                            const_cast<char*>("learn"),
                            const_cast<char*>("--out"),
                            const_cast<char*>(outDir.constData()),
                            const_cast<char*>(file.constData()),
                            nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const auto learning = std::chrono::steady_clock::now();
    if (posix_spawn(&child, program.constData(), &actions, nullptr, args.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", program.constData());
        return 1;
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - learning).count();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "varnel-pc learn failed (status %d)\n", status);
        return 1;
    }

    const double size = double(QFileInfo(capture).size()) / double(kMiB);
    std::printf(
        "capture: %.1f MiB, %llu frames, %d sessions of an upload of %d records (written in %.1f s)\n", size,
        static_cast<unsigned long long>(out.frames), sessions, perUpload, generated);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%-20s %10s %10s %12s %14s %14s\n", "case", "time [s]", "CPU [s]", "MiB/s", "frames/s",
                "max RSS [MiB]");
    std::printf("%-20s %10.2f %10.2f %12.1f %14.0f %14.1f\n", "varnel-pc learn", seconds, cpu, size / seconds,
                double(out.frames) / seconds, double(usage.ru_maxrss) / 1024.0);
    if (parser.isSet(keep))
        std::printf("kept in %s\n", qPrintable(dir.path()));
    return 0;
}
