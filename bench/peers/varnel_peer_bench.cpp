// varnel-emu beside a libmodbus RTU server and a bare C responder, each timed with the
// same client over its own socat pty pair; then the C responder and varnel-emu again with
// varnel-pc tap in the middle. Prints one table.
#include "PeerBench.h"

#include "bench/BenchLine.h"
#include "util/StandardOptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: varnel-peer-bench [--round-trips N] [--warm-up N] [--idle-seconds S] [--quick]\n"
    "                         [--emu-arg=ARG]... [--network-rows FILE]\n"
    "       varnel-peer-bench --help | --version\n"
    "  --round-trips   timed round trips per responder, 1-1000000 (default 2000)\n"
    "  --warm-up       untimed round trips first, 0-100000 (default 100)\n"
    "  --idle-seconds  idle CPU window per responder, 1-3600 (default 10)\n"
    "  --quick         200 round trips, 20 warm-up, 2 s idle\n"
    "  --emu-arg       one more varnel-emu argument (repeatable): --emu-arg=--events\n"
    "                  --emu-arg=FILE times it with its event file\n"
    "  --network-rows  rows of bench/peers/network_bench.py --rows FILE, printed in the\n"
    "                  table with their notes after it\n";

int usage(const QString& problem)
{
    return StandardOptions::usageError("varnel-peer-bench", problem, kUsage, kUsageError);
}

bool readCount(const QCommandLineParser& parser, const QString& option, int low, int high, int& value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const QString text = parser.value(option);
    const int v = text.toInt(&ok, 10);
    if (!ok || v < low || v > high) {
        usage(QStringLiteral("--%1: \"%2\" is not a number from %3 to %4")
                  .arg(option, text)
                  .arg(low)
                  .arg(high));
        return false;
    }
    value = v;
    return true;
}

// The rows with varnel-pc tap in the middle come after the direct ones; each names the
// direct row of the same responder, whose p50 it adds to.
struct TapRow
{
    std::size_t direct;
    const char* name;
    const char* shortName;
};
constexpr std::size_t kModbusRow = 1;
constexpr TapRow kTapRows[] = {
    {0, "C echo behind varnel-pc tap", "C echo"},
    {2, "varnel-emu behind varnel-pc tap", "varnel-emu"},
};
constexpr std::size_t kDirectRows = 3;

// Extra varnel-emu options (--emu-arg), so a run with the journal's event file compares with one without.
std::vector<PeerCase> peerCases(const QStringList& emuArgs)
{
    // Get factory serial number: no content; the reply carries "SERIALNUMBER".
    const QByteArray varnelRequest = BenchLine::request(0x04);
    const QByteArray varnelReply =
        BenchLine::withCrc(QByteArray::fromHex("5aa5123404000c") + QByteArray("SERIALNUMBER"));
    // Read holding registers 0-3 of unit 1; the server fills register i with 0x1000 + i.
    const QByteArray modbusRequest = BenchLine::withCrc(QByteArray::fromHex("010300000004"));
    const QByteArray modbusReply = BenchLine::withCrc(QByteArray::fromHex("0103081000100110021003"));
    std::vector<PeerCase> cases{
        {QStringLiteral("C echo (pty floor)"), QStringLiteral("peer-pty-echo"),
         [=](const QString& tty) {
             return QStringList{tty, QString::number(varnelRequest.size()),
                                QString::fromLatin1(varnelReply.toHex())};
         },
         "ready", varnelRequest, varnelReply},
        {QStringLiteral("libmodbus %1 RTU server").arg(QStringLiteral(VARNEL_LIBMODBUS_VERSION)),
         QStringLiteral("peer-modbus-rtu-server"), [](const QString& tty) { return QStringList{tty}; },
         "ready", modbusRequest, modbusReply},
        {QStringLiteral("varnel-emu, get factory serial number"), QStringLiteral("varnel-emu"),
         [emuArgs](const QString& tty) {
             return QStringList{QStringLiteral("--records"), QStringLiteral("0")} + emuArgs +
                    QStringList{tty};
         },
         "打开串口成功", varnelRequest, varnelReply},
    };
    for (const TapRow& row : kTapRows) {
        PeerCase tapped = cases[row.direct];
        tapped.name = QString::fromUtf8(row.name);
        tapped.viaTap = true;
        cases.push_back(tapped);
    }
    return cases;
}

QString ratio(double ours, double theirs, bool valid)
{
    return valid && theirs > 0 ? QString::number(ours / theirs, 'f', 2) : QStringLiteral("-");
}

// Rows measured by the network script (its own client, not this one's pty pair), with its notes.
struct NetworkRows
{
    std::vector<std::pair<PeerCase, PeerFigures>> rows;
    QStringList notes;
};

bool readNetworkRows(const QString& path, NetworkRows& out, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonValue rows = document.object().value(QStringLiteral("rows"));
    if (parseError.error != QJsonParseError::NoError || !rows.isArray()) {
        error = QStringLiteral("%1: not the network script's rows (%2)").arg(path, parseError.errorString());
        return false;
    }
    for (const QJsonValue& value : rows.toArray()) {
        const QJsonObject row = value.toObject();
        PeerCase peer;
        peer.name = row.value(QStringLiteral("name")).toString();
        peer.request = QByteArray(row.value(QStringLiteral("request")).toInt(), '\0');
        peer.reply = QByteArray(row.value(QStringLiteral("reply")).toInt(), '\0');
        PeerFigures f;
        f.p50Ms = row.value(QStringLiteral("p50")).toDouble();
        f.p99Ms = row.value(QStringLiteral("p99")).toDouble();
        f.maxMs = row.value(QStringLiteral("max")).toDouble();
        f.roundTripsPerSecond = row.value(QStringLiteral("rate")).toDouble();
        f.idleCpuPercent = row.value(QStringLiteral("idle")).toDouble(-1); // null: not measured
        f.busyCpuPercent = row.value(QStringLiteral("busy")).toDouble();
        f.cpuMicrosPerRoundTrip = row.value(QStringLiteral("cpu")).toDouble();
        if (peer.name.isEmpty() || f.p50Ms <= 0) {
            error = QStringLiteral("%1: a row without a name or a p50").arg(path);
            return false;
        }
        out.rows.emplace_back(peer, f);
    }
    for (const QJsonValue& note : document.object().value(QStringLiteral("notes")).toArray())
        out.notes.append(note.toString());
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const StandardOptions standard;
    parser.addOptions({standard.help, standard.version});
    parser.addOptions({{QStringLiteral("round-trips"), QString(), QStringLiteral("N")},
                       {QStringLiteral("warm-up"), QString(), QStringLiteral("N")},
                       {QStringLiteral("idle-seconds"), QString(), QStringLiteral("S")},
                       {QStringLiteral("quick"), QString()},
                       {QStringLiteral("emu-arg"), QString(), QStringLiteral("ARG")},
                       {QStringLiteral("network-rows"), QString(), QStringLiteral("FILE")}});
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    if (standard.answered(parser, kUsage, VARNEL_VERSION_LINE))
        return 0;
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    PeerBench::Options options;
    if (parser.isSet(QStringLiteral("quick")))
        options = {20, 200, 2};
    if (!readCount(parser, QStringLiteral("round-trips"), 1, 1000000, options.roundTrips) ||
        !readCount(parser, QStringLiteral("warm-up"), 0, 100000, options.warmUp) ||
        !readCount(parser, QStringLiteral("idle-seconds"), 1, 3600, options.idleSeconds))
        return kUsageError;

    NetworkRows network;
    if (parser.isSet(QStringLiteral("network-rows"))) {
        QString error;
        if (!readNetworkRows(parser.value(QStringLiteral("network-rows")), network, error))
            return usage(QStringLiteral("--network-rows: %1").arg(error));
    }

    PeerBench::installStopHandler();
    const PeerBench bench(options);
    const std::vector<PeerCase> cases = peerCases(parser.values(QStringLiteral("emu-arg")));
    std::vector<PeerFigures> figures;
    for (const PeerCase& peer : cases) {
        std::fprintf(stderr, "timing %s ...\n", qPrintable(peer.name));
        figures.push_back(bench.run(peer));
        if (!figures.back().error.isEmpty())
            std::fprintf(stderr, "%s failed: %s\n", qPrintable(peer.name), qPrintable(figures.back().error));
        if (PeerBench::stopRequested()) {
            std::fprintf(stderr, "varnel-peer-bench: stopped\n");
            return 130;
        }
    }

    // The libmodbus row is the yardstick of the ratio columns.
    const PeerFigures& modbus = figures[kModbusRow];
    const bool modbusValid = modbus.error.isEmpty();
    std::printf("\n%d round trips per responder after %d warm-up, idle CPU over %d s; "
                "one socat pty pair each, two for the rows behind the tap\n\n",
                options.roundTrips, options.warmUp, options.idleSeconds);
    std::printf("| %-42s | %9s | %7s | %7s | %7s | %13s | %8s | %8s | %9s | %9s | %10s | %9s |\n",
                "responder", "req/reply", "p50 ms", "p99 ms", "max ms", "round trips/s", "idle CPU",
                "busy CPU", "CPU us/rt", "p50 ratio", "rt/s ratio", "CPU ratio");
    std::printf(
        "|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", QByteArray(44, '-').constData(),
        QByteArray(11, '-').constData(), QByteArray(9, '-').constData(), QByteArray(9, '-').constData(),
        QByteArray(9, '-').constData(), QByteArray(15, '-').constData(), QByteArray(10, '-').constData(),
        QByteArray(10, '-').constData(), QByteArray(11, '-').constData(), QByteArray(11, '-').constData(),
        QByteArray(12, '-').constData(), QByteArray(11, '-').constData());
    int status = 0;
    std::vector<PeerCase> allCases = cases;
    std::vector<PeerFigures> allFigures = figures;
    for (const auto& [peer, f] : network.rows) {
        allCases.push_back(peer);
        allFigures.push_back(f);
    }
    for (std::size_t i = 0; i < allCases.size(); ++i) {
        const PeerCase& peer = allCases[i];
        const PeerFigures& f = allFigures[i];
        const QString sizes = QStringLiteral("%1/%2 B").arg(peer.request.size()).arg(peer.reply.size());
        if (!f.error.isEmpty()) {
            std::printf("| %-42s | %9s | failed: %s\n", qPrintable(peer.name), qPrintable(sizes),
                        qPrintable(f.error));
            status = 1;
            continue;
        }
        const QString idle = f.idleCpuPercent < 0 ? QStringLiteral("-")
                                                  : QStringLiteral("%1 %").arg(f.idleCpuPercent, 0, 'f', 2);
        std::printf("| %-42s | %9s | %7.3f | %7.2f | %7.2f | %13.0f | %8s | %6.1f %% | %9.1f | %9s | %10s | "
                    "%9s |\n",
                    qPrintable(peer.name), qPrintable(sizes), f.p50Ms, f.p99Ms, f.maxMs,
                    f.roundTripsPerSecond, qPrintable(idle), f.busyCpuPercent, f.cpuMicrosPerRoundTrip,
                    qPrintable(ratio(f.p50Ms, modbus.p50Ms, modbusValid)),
                    qPrintable(ratio(f.roundTripsPerSecond, modbus.roundTripsPerSecond, modbusValid)),
                    qPrintable(ratio(f.cpuMicrosPerRoundTrip, modbus.cpuMicrosPerRoundTrip, modbusValid)));
    }
    std::printf("\nratios: this row's p50, round trips/s and CPU per round trip divided by libmodbus's\n");
    std::printf(
        "busy CPU: the responder's user + system time over the timed round trips, in percent of one core; "
        "CPU us/rt: the same per round trip (clock ticks of %ld Hz)\n",
        ::sysconf(_SC_CLK_TCK));
    std::printf("idle CPU behind the tap: varnel-pc tap's own; its CPU per round trip:");
    for (std::size_t i = 0; i < std::size(kTapRows); ++i) {
        const PeerFigures& tapped = figures[kDirectRows + i];
        if (tapped.error.isEmpty())
            std::printf("%s %s %.1f us", i == 0 ? "" : ",", kTapRows[i].shortName,
                        tapped.tapCpuMicrosPerRoundTrip);
        else
            std::printf("%s %s -", i == 0 ? "" : ",", kTapRows[i].shortName);
    }
    std::printf("\n");
    std::printf("p50 added by varnel-pc tap (row behind the tap minus the direct row):");
    for (std::size_t i = 0; i < std::size(kTapRows); ++i) {
        const PeerFigures& tapped = figures[kDirectRows + i];
        const PeerFigures& direct = figures[kTapRows[i].direct];
        if (tapped.error.isEmpty() && direct.error.isEmpty())
            std::printf("%s %s %+.3f ms", i == 0 ? "" : ",", kTapRows[i].shortName,
                        tapped.p50Ms - direct.p50Ms);
        else
            std::printf("%s %s -", i == 0 ? "" : ",", kTapRows[i].shortName);
    }
    std::printf("; the goal is at most 1 ms\n");
    if (!network.rows.empty()) {
        std::printf("network rows (the last %zu): varnel-emu timed by bench/peers/network_bench.py's own "
                    "client over a pty, TCP and RFC 2217; idle CPU of the fleet process only\n",
                    network.rows.size());
        for (const QString& note : network.notes)
            std::printf("%s\n", qPrintable(note));
    }
    return status;
}
