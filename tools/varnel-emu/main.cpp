// varnel-emu: the emulated handheld unit on one serial port, without a window.
#include "EmulatorApplication.h"
#include "EmulatorConsole.h"
#include "process/SignalWatcher.h"
#ifdef Q_OS_LINUX
#include "process/EpollEventDispatcher.h"
#endif

#include "capture/CaptureWriter.h"
#include "control/ControlAddress.h"
#include "control/ControlServer.h"
#include "control/ControlTokenSource.h"
#include "device/DeviceRegistry.h"
#include "emulator/ScenarioLoader.h"
#include "emulator/UnitHost.h"
#include "emulator/UnitsFile.h"
#include "fault/FaultInjector.h"
#include "fault/FaultRule.h"
#include "fault/FaultSchedule.h"
#include "journal/EventFileWriter.h"
#include "journal/Journal.h"
#include "log/Log.h"
#include "log/LogContext.h"
#include "log/LogFileWriter.h"
#include "log/LogManager.h"
#include "log/StartupLog.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "transport/Endpoint.h"
#include "transport/SerialSettings.h"
#include "unit/EmulatedUnit.h"
#include "util/MessageQuote.h"
#include "util/ReplacedFile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSerialPortInfo>
#include <QTextCodec>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kUsageError = 2;
constexpr int kMaxJournal = 10000000;

QString usageText()
{
    QString choices;
    for (const SerialSettings::Choice& c : SerialSettings::choices())
        choices += QStringLiteral("  --%1 %2 (default %3)\n")
                       .arg(QString::fromLatin1(c.option), -10)
                       .arg(c.texts.join(QLatin1Char(' ')), c.texts.first());
    return QStringLiteral(
               "usage: varnel-emu [--baud TEXT] [--data-bits TEXT] [--stop-bits TEXT] [--parity TEXT]\n"
               "                  [--records N] [--reopen MS] [--scenario FILE] [--fault RULE]...\n"
               "                  [--seed S] [--capture FILE.pcap|FOLDER] [--units FILE] [--journal N]\n"
               "                  [--events FILE] [--state-out FILE] [--log-limit SIZE]\n"
               "                  [--control HOST:PORT [--control-token TOKEN | --control-token-file FILE]\n"
               "                  [--control-host NAME]...]\n"
               "                  ENDPOINT...\n"
               "       varnel-emu --list\n"
               "       varnel-emu --help | --version\n") +
           choices +
           QStringLiteral(
               "  --records    records per upload, 0-99999999 (default 10000)\n"
               "  --reopen     after the line vanished, try to open the port again every MS\n"
               "               milliseconds, 1-3600000; 0 leaves it closed (default 500)\n"
               "  --scenario   a scenario file (JSON): the unit's texts, state, records and faults;\n"
               "               its records.count replaces --records, its faults come before --fault\n"
               "  --fault      make the unit misbehave by RULE (repeatable; rules apply in order)\n"
               "  --seed       seed of the generator behind p=, delay ranges and noise,\n"
               "               0-4294967295 (default 1, or the scenario's seed): the same seed, the same "
               "faults\n"
               "  --capture    write every frame received and sent, and every discarded byte, to\n"
               "               FILE.pcap (created or replaced; open it in Wireshark); with several\n"
               "               units a FOLDER that gets unitN.pcap for each\n"
               "  --journal    events the unit keeps in its journal, 1-10000000 (default 100000)\n"
               "  --events     append every journal event to FILE as one JSON line (FILE may be a FIFO)\n"
               "  --state-out  at the end (quit, SIGTERM, SIGINT), write what the PC program set and\n"
               "               asked to FILE as JSON (replaced whole; a regular file or a new one in a\n"
               "               writable folder, checked at start)\n"
               "  --log-limit  largest size of the day's log file, as 500000, 300K, 256M or 2G;\n"
               "               0: none (default %1M); then one last line says so\n"
               "  --units      a JSON file of units that differ: {\"units\": [{\"endpoint\": ...,\n"
               "               \"scenario\", \"records\", \"faults\", \"capture\", \"baud\"}]}; the options\n"
               "               are the defaults under it; its units come after the ENDPOINTs\n"
               "  --control    serve the HTTP control API on HOST:PORT (PORT 0 picks a free one, logged\n"
               "               as CONTROL http://HOST:PORT); a HOST other than loopback needs a token\n"
               "  --control-token  every API request must carry \"Authorization: Bearer TOKEN\"\n"
               "  --control-token-file  the token is FILE's one line (kept out of ps); without either\n"
               "               option the environment's VARNEL_CONTROL_TOKEN, when set, is the token\n"
               "  --control-host  a NAME requests may call the API by (their Host and Origin), beside\n"
               "               HOST, the address they came to and localhost (repeatable)\n"
               "ENDPOINT: a serial port name or path | tcp:HOST:PORT | rfc2217:HOST:PORT (the unit\n"
               "  listens; PORT 0 picks a free one, logged as LISTEN ENDPOINT). Each ENDPOINT is one\n"
               "  unit, numbered from 1; with several, every log line names its unit\n"
               "fault RULE: TARGET:ACTION[@WHEN]\n"
               "  TARGET  a command code (2, 0x02) or name (get-time), * for every request,\n"
               "          record for the data frames of an upload\n"
               "  ACTION  drop | delay=MS | delay=MIN-MAX | corrupt-crc | truncate=N | split=K:MS |\n"
               "          noise=N | wrong-command=C | wrong-address=A | duplicate | stall=MS;\n"
               "          record: drop | corrupt-crc | duplicate | truncate=N | stop-after=K\n"
               "  WHEN    N | N-M | every=K | p=P (the N-th matching request since the rule was\n"
               "          added; for record, sequence number N); none: every one. Then, or alone,\n"
               "          comma-separated: after=DURATION (the rule starts that long after it\n"
               "          was added; its counts start then) and for=DURATION (it ends that long\n"
               "          after it started: logs FAULT RULE ended, listed as ended). DURATION:\n"
               "          250ms | 2s | 1.5s | 1m, up to 24 hours. *:drop@after=2s,for=3s\n"
               "control API (bodies as Content-Type: application/json; {id} numbers the units from 1;\n"
               "  errors are {\"error\": TEXT}):\n"
               "  GET /units | GET /units/{id}/state | GET /units/{id}/journal?after=SEQ&limit=N&type=T&\n"
               "  cmd=NAME_OR_CODE&wait=MS | GET, POST {\"rule\": RULE}, DELETE /units/{id}/faults |\n"
               "  DELETE /units/{id}/faults/{fid} | POST /units/{id}/scenario (a scenario's JSON) |\n"
               "  PUT /units/{id}/records {\"count\": N} | POST /units/{id}/stop | POST /units/{id}/reset |\n"
               "  GET /metrics (Prometheus text) | GET /events (Server-Sent Events of every journal)\n"
               "standard input: stop | records N | fault RULE | fault clear | faults | scenario FILE |\n"
               "  state | state reset | journal [N] | quit;\n"
               "  unit N COMMAND sends a COMMAND to unit N only, a bare one goes to every unit\n")
               .arg(LogFileWriter::kDefaultSizeLimit / (1024 * 1024));
}

// One unit's state as an object; several units' as an array in their order.
QJsonDocument recordedStates(const UnitHost& host)
{
    if (host.unitCount() == 1)
        return QJsonDocument(host.unit(1)->recordedState()->toJson());
    QJsonArray states;
    for (int id = 1; id <= host.unitCount(); ++id)
        states.append(host.unit(id)->recordedState()->toJson());
    return QJsonDocument(states);
}

QString unitPrefix(int number)
{
    return QStringLiteral("[unit %1] ").arg(number);
}

void raiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            std::perror("varnel-emu: cannot raise the open-file limit");
    }
}

int usage(const QString& problem)
{
    std::fprintf(stderr, "varnel-emu: %s (see varnel-emu --help)\n", qPrintable(problem));
    return kUsageError;
}

// Why a capture file could not be created or written at `path` later, or empty.
QString captureProblem(const QString& path)
{
    const QFileInfo info(path);
    const QByteArray name = QFile::encodeName(info.exists() ? path : info.absolutePath());
    if (::access(name.constData(), info.exists() ? W_OK : W_OK | X_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return info.isDir() ? QString::fromLocal8Bit(std::strerror(EISDIR)) : QString();
}

} // namespace

int main(int argc, char* argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    // Qt's own event loop: the GLib one wakes itself every time the port's write notifier
    // is switched on or off, twice per reply. Nothing here needs GLib.
    qputenv("QT_NO_GLIB", "1");
#ifdef Q_OS_LINUX
    // Qt's dispatcher polls every descriptor on every pass: a thousand listening units make
    // each request cost a walk over two thousand of them. Before the application, which
    // otherwise makes its own.
    {
        auto dispatcher = std::make_unique<EpollEventDispatcher>();
        if (dispatcher->isValid())
            QCoreApplication::setEventDispatcher(dispatcher.release());
        else
            std::fputs("varnel-emu: no epoll for the event loop; Qt's own serves (slower with many units)\n",
                       stderr);
    }
#endif
    EmulatorApplication app(argc, argv);

    QCommandLineParser parser;
    const QCommandLineOption baud(QStringLiteral("baud"), QString(), QStringLiteral("TEXT"),
                                  SerialSettings::baudRateTexts().first());
    const QCommandLineOption dataBits(QStringLiteral("data-bits"), QString(), QStringLiteral("TEXT"),
                                      SerialSettings::dataBitsTexts().first());
    const QCommandLineOption stopBits(QStringLiteral("stop-bits"), QString(), QStringLiteral("TEXT"),
                                      SerialSettings::stopBitsTexts().first());
    const QCommandLineOption parity(QStringLiteral("parity"), QString(), QStringLiteral("TEXT"),
                                    SerialSettings::parityTexts().first());
    const QCommandLineOption records(QStringLiteral("records"), QString(), QStringLiteral("N"),
                                     QStringLiteral("10000"));
    const QCommandLineOption reopen(QStringLiteral("reopen"), QString(), QStringLiteral("MS"),
                                    QStringLiteral("500"));
    const QCommandLineOption scenarioFile(QStringLiteral("scenario"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption fault(QStringLiteral("fault"), QString(), QStringLiteral("RULE"));
    const QCommandLineOption seed(QStringLiteral("seed"), QString(), QStringLiteral("S"),
                                  QString::number(FaultSchedule::kDefaultSeed));
    const QCommandLineOption capture(QStringLiteral("capture"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption journal(QStringLiteral("journal"), QString(), QStringLiteral("N"),
                                     QString::number(Journal::kDefaultCapacity));
    const QCommandLineOption events(QStringLiteral("events"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption stateOut(QStringLiteral("state-out"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption unitsFile(QStringLiteral("units"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption control(QStringLiteral("control"), QString(), QStringLiteral("HOST:PORT"));
    const QCommandLineOption controlToken(QStringLiteral("control-token"), QString(),
                                          QStringLiteral("TOKEN"));
    const QCommandLineOption controlTokenFile(QStringLiteral("control-token-file"), QString(),
                                              QStringLiteral("FILE"));
    const QCommandLineOption controlHost(QStringLiteral("control-host"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption logLimit(QStringLiteral("log-limit"), QString(), QStringLiteral("SIZE"));
    const QCommandLineOption list(QStringLiteral("list"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({baud, dataBits, stopBits, parity, records, reopen, scenarioFile, fault, seed, capture,
                       journal, events, stateOut, unitsFile, control, controlToken, controlHost, list, help,
                       version});
    parser.addOption(controlTokenFile);
    parser.addOption(logLimit);
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(usageText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::puts(VARNEL_VERSION_LINE);
        return 0;
    }

    if (parser.isSet(list)) {
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            std::printf("%s\n", qPrintable(info.portName()));
        return 0;
    }

    for (const SerialSettings::Choice& c : SerialSettings::choices()) {
        const QString refusal = SerialSettings::refusal(c, parser.value(QString::fromLatin1(c.option)));
        if (!refusal.isEmpty())
            return usage(refusal);
    }
    if (!EmulatorConsole::isRecordCount(parser.value(records)))
        return usage(QStringLiteral("--records: expected 1 to 8 digits"));
    bool reopenValid = false;
    const int reopenMs = parser.value(reopen).toInt(&reopenValid, 10);
    if (!reopenValid || reopenMs < 0 || reopenMs > 3600000)
        return usage(QStringLiteral("--reopen: \"%1\" is not a number of milliseconds from 0 to 3600000")
                         .arg(parser.value(reopen)));
    const QStringList faultRules = parser.values(fault);
    for (const QString& rule : faultRules) {
        QString problem;
        if (!FaultRule::parse(rule, &problem))
            return usage(QStringLiteral("--fault: %1").arg(problem));
    }
    bool seedValid = false;
    const uint faultSeed = parser.value(seed).toUInt(&seedValid, 10);
    if (!seedValid || !parser.value(seed).at(0).isDigit())
        return usage(
            QStringLiteral("--seed: \"%1\" is not a number from 0 to 4294967295").arg(parser.value(seed)));
    QList<UnitsFile::Unit> fileUnits;
    if (parser.isSet(unitsFile)) {
        std::vector<UnitsFile::Unit> read;
        QString error;
        if (!UnitsFile::read(parser.value(unitsFile), &read, &error)) {
            std::fprintf(stderr, "varnel-emu: %s\n", qPrintable(error));
            return kUsageError;
        }
        for (UnitsFile::Unit& unit : read)
            fileUnits.append(std::move(unit));
    }
    const QStringList endpoints = parser.positionalArguments();
    if (endpoints.isEmpty() && fileUnits.isEmpty())
        return usage(QStringLiteral("expected a PORT (or --units FILE)"));
    for (const QString& endpoint : endpoints) {
        QString problem;
        if (!Endpoint::parse(endpoint, nullptr, &problem))
            return usage(problem);
    }
    const int unitCount = int(endpoints.size() + fileUnits.size());
    if (parser.isSet(capture) && parser.value(capture).isEmpty())
        return usage(QStringLiteral("--capture: expected a file name"));
    bool journalValid = false;
    const int journalCapacity = parser.value(journal).toInt(&journalValid, 10);
    if (!journalValid || !parser.value(journal).at(0).isDigit() || journalCapacity < 1 ||
        journalCapacity > kMaxJournal)
        return usage(QStringLiteral("--journal: \"%1\" is not a number of events from 1 to %2")
                         .arg(parser.value(journal))
                         .arg(kMaxJournal));
    long long logBytes = 0;
    if (parser.isSet(logLimit) &&
        !LogFileWriter::parseSize(parser.value(logLimit).toUtf8().constData(), &logBytes))
        return usage(
            QStringLiteral("--log-limit: \"%1\" is not a size as 500000, 300K, 256M or 2G (at most 1 TiB)")
                .arg(parser.value(logLimit)));
    if (parser.isSet(logLimit))
        LogFileWriter::instance()->setSizeLimit(logBytes);
    // One client's flood must not fill the log of a fleet (the window keeps every line).
    LogManager::instance()->setFloodLines(LogManager::kDefaultFloodLines);
    if (parser.isSet(events) && parser.value(events).isEmpty())
        return usage(QStringLiteral("--events: expected a file name"));
    // Checked now, not at the end, so the session's state is never lost to a path that takes
    // no file (a folder, /proc) and no device or FIFO is ever replaced by it.
    const QString stateOutPath = parser.value(stateOut);
    if (parser.isSet(stateOut)) {
        const QString refusal = ReplacedFile::refusal(stateOutPath);
        if (!refusal.isEmpty())
            return usage(QStringLiteral("--state-out: %1").arg(refusal));
    }

    QString tokenProblem;
    const QString token = ControlTokenSource::resolve(
        parser.isSet(controlToken) ? parser.value(controlToken) : QString(),
        parser.isSet(controlTokenFile) ? parser.value(controlTokenFile) : QString(), parser.isSet(control),
        &tokenProblem);
    if (!tokenProblem.isEmpty())
        return usage(tokenProblem);
    ControlAddress controlAddress;
    const QString controlProblem = ControlAddress::checkOptions(
        parser.isSet(control) ? parser.value(control) : QString(), token, &controlAddress);
    if (!controlProblem.isEmpty())
        return usage(controlProblem);
    const QString hostProblem =
        ControlAddress::checkNames(parser.values(controlHost), parser.isSet(control), &controlAddress);
    if (!hostProblem.isEmpty())
        return usage(hostProblem);

    // Read and checked before anything starts, so a refused file leaves no trace but its message.
    Scenario scenario;
    if (parser.isSet(scenarioFile)) {
        QString error;
        if (!ScenarioFile::read(parser.value(scenarioFile), &scenario, &error) ||
            !ScenarioLoader::check(scenario, &error)) {
            std::fprintf(stderr, "varnel-emu: %s\n", qPrintable(error));
            return kUsageError;
        }
    }

    // Every unit as the command line and the units file have it: the file's keys over the options.
    std::vector<UnitsFile::Unit> units;
    for (const QString& endpoint : endpoints) {
        UnitsFile::Unit unit;
        unit.endpoint = endpoint;
        units.push_back(unit);
    }
    for (const UnitsFile::Unit& unit : fileUnits)
        units.push_back(unit);
    // A line has one unit: a port named twice, by any of its names, is a mistake, not two units.
    QHash<QString, int> taken; // a line's key: the unit that has it
    for (std::size_t i = 0; i < units.size(); ++i) {
        Endpoint mine;
        Endpoint::parse(units[i].endpoint, &mine, nullptr);
        const QStringList keys = mine.lineKeys();
        for (const QString& key : keys)
            if (taken.contains(key))
                return usage(QStringLiteral("%1 is named for unit %2 and unit %3")
                                 .arg(MessageQuote::of(units[i].endpoint))
                                 .arg(taken.value(key))
                                 .arg(i + 1));
        for (const QString& key : keys)
            taken.insert(key, int(i) + 1);
    }
    const bool fleet = unitCount > 1;
    // A thousand listeners need a descriptor each, and more while clients come and go.
    raiseOpenFileLimit();
    app.setUnitPrefixes(fleet);

    StartupLog::begin("varnel-emu");

    // Declared before the host, so they outlive every device that shows them the line. With
    // several units --capture names a folder, one file per unit.
    std::vector<std::unique_ptr<CaptureWriter>> captureWriters(units.size());
    // Regular files (or new ones) are created or emptied only once every line and the API are
    // up, so a start that fails leaves them as they were; a device or a FIFO is opened now.
    std::vector<QString> laterCaptures(units.size());
    if (parser.isSet(capture) && fleet && !QDir().mkpath(parser.value(capture))) {
        std::fprintf(stderr, "varnel-emu: cannot make capture folder %s\n",
                     qPrintable(parser.value(capture)));
        return 1;
    }
    for (std::size_t i = 0; i < units.size(); ++i) {
        QString path = units[i].capture.value_or(QString());
        if (path.isEmpty() && parser.isSet(capture))
            path = fleet ? QDir(parser.value(capture)).filePath(QStringLiteral("unit%1.pcap").arg(i + 1))
                         : parser.value(capture);
        if (path.isEmpty())
            continue;
        auto writer = std::make_unique<CaptureWriter>();
        const QFileInfo info(path);
        const QString problem = captureProblem(path);
        if (!problem.isEmpty() || (info.exists() && !info.isFile() && !writer->open(path))) {
            std::fprintf(stderr, "varnel-emu: cannot write capture %s: %s\n", qPrintable(path),
                         qPrintable(problem.isEmpty() ? writer->error() : problem));
            return 1;
        }
        if (!writer->isOpen())
            laterCaptures[i] = path;
        const QString prefix = fleet ? unitPrefix(int(i) + 1) : QString();
        writer->setFailureHandler([prefix](const QString& reason) {
            const LogContext::Scope unit(prefix);
            VLOG(1, QStringLiteral("抓包失败，停止抓包：%1").arg(reason));
        });
        captureWriters[i] = std::move(writer);
    }

    UnitHost host;
    host.setReopenInterval(reopenMs);
    host.setJournalCapacity(std::size_t(journalCapacity));
    for (std::size_t i = 0; i < units.size(); ++i) {
        UnitSession& session = *host.addUnit();
        if (fleet)
            session.setLogPrefix(unitPrefix(int(i) + 1));
        const Scenario& own = units[i].scenarioPath ? units[i].scenario : scenario;
        session.unit()->setRecordCount(units[i].records.value_or(parser.value(records).toInt(nullptr, 10)));
        // Its rules take effect with the command line's below.
        ScenarioLoader::apply(*session.unit(), nullptr, own, nullptr); // checked above
        if (units[i].records)
            session.unit()->setRecordCount(*units[i].records); // the units file's key wins, a CSV's rows too
        if (captureWriters[i])
            session.setLineObserver(captureWriters[i].get());
    }
    // After the host, so it stops before the journals it reads go.
    EventFileWriter eventWriter;
    if (parser.isSet(events)) {
        for (int id = 1; id <= host.unitCount(); ++id)
            eventWriter.follow(host.unit(id)->journal());
        QString error;
        if (!eventWriter.open(parser.value(events), &error)) {
            std::fprintf(stderr, "varnel-emu: cannot write events %s\n", qPrintable(error));
            return 1;
        }
        QObject::connect(&eventWriter, &EventFileWriter::failed, &host, [](const QString& reason) {
            VLOG(1, QStringLiteral("事件文件写入失败，停止写入：%1").arg(reason));
        });
    }
    EmulatorConsole console(&host);
    QObject::connect(LogManager::instance(), &LogManager::logAdded, &console,
                     &EmulatorConsole::slot_logAdded);
    VLOG(1, QStringLiteral("Welcome to VARNEL %1.%2").arg(1).arg(0));
    for (std::size_t i = 0; i < units.size(); ++i) {
        UnitSession& session = *host.unit(int(i) + 1);
        const LogContext::Scope unit(session.logPrefix());
        const bool ownScenario = bool(units[i].scenarioPath);
        const Scenario& own = ownScenario ? units[i].scenario : scenario;
        if (ownScenario || parser.isSet(scenarioFile)) {
            ScenarioLoader::logLoaded(own);
            session.noteScenarioLoaded(own.path);
        }
        // The scenario's rules first, then the command line's (or the units file's); an
        // explicit --seed wins. A later scenario without a seed returns to the command line's.
        const QStringList allRules = own.faults + units[i].faults.value_or(faultRules);
        const std::uint32_t allSeed = parser.isSet(seed) ? faultSeed : own.seed.value_or(faultSeed);
        FaultInjector& faults = *session.faults();
        faults.setSeed(faultSeed);
        faults.setRules(allRules, allSeed, nullptr, own.faults.size()); // checked above
        faults.setTiming(own.timing);
    }

    UnitSession::Settings settings;
    settings.portName = units.front().endpoint;
    settings.baudRate = units.front().baud.value_or(parser.value(baud));
    settings.dataBits = parser.value(dataBits);
    settings.stopBits = parser.value(stopBits);
    settings.parity = parser.value(parity);
    // Nothing else runs on the main thread while it waits for requests: no hand-off per frame.
    settings.parseThread = false;
    if (!fleet) {
        DeviceRegistry* registry = DeviceRegistry::instance();
        registry->setPortName(settings.portName.toStdString());
        registry->setBaudRate(settings.baudRate.toStdString());
        registry->setDataBits(settings.dataBits.toStdString());
        registry->setStopBits(settings.stopBits.toStdString());
        registry->setParity(settings.parity.toStdString());
    }

    // Installed before the port opens, so a signal just after start-up still closes in order.
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &console,
                     &EmulatorConsole::shutdown);

    for (std::size_t i = 0; i < units.size(); ++i) {
        UnitSession& session = *host.unit(int(i) + 1);
        const LogContext::Scope unit(session.logPrefix());
        settings.portName = units[i].endpoint;
        settings.baudRate = units[i].baud.value_or(parser.value(baud));
        // One of many: owned by its session and cut inline, no registry and no thread of its own.
        settings.registered = !fleet;
        if (!host.open(int(i) + 1, settings)) {
            VLOG(1, QStringLiteral("打开串口失败"));
            console.writePendingLines();
            QCoreApplication::sendPostedEvents();
            std::fprintf(stderr, "varnel-emu: cannot open %s: %s\n", qPrintable(settings.portName),
                         qPrintable(session.lastError()));
            host.shutdown(0);
            return 1;
        }
        VLOG(1, QStringLiteral("打开串口成功"));
    }

    // Before the host goes: stopped at the start of the orderly end, or at the latest here.
    std::unique_ptr<ControlServer> controlServer;
    if (parser.isSet(control)) {
        controlServer = std::make_unique<ControlServer>(&host);
        controlServer->setToken(token);
        QString error;
        if (!controlServer->bind(controlAddress, &error)) {
            std::fprintf(stderr, "varnel-emu: --control: %s\n", qPrintable(error));
            controlServer.reset();
            host.shutdown(0);
            return 1;
        }
        QObject::connect(&console, &EmulatorConsole::shutting_down, &host,
                         [&controlServer] { controlServer->stop(); });
    }
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (laterCaptures[i].isEmpty() || captureWriters[i]->open(laterCaptures[i]))
            continue;
        std::fprintf(stderr, "varnel-emu: cannot write capture %s: %s\n", qPrintable(laterCaptures[i]),
                     qPrintable(captureWriters[i]->error()));
        host.shutdown(0);
        return 1;
    }
    if (controlServer) {
        controlServer->start();
        console.writePendingLines();
    }

    console.watchStandardInput();
    const int code = app.exec();
    if (controlServer)
        controlServer->stop();
    eventWriter.close();
    if (parser.isSet(stateOut)) {
        // Replaced whole: a reader never sees half a state, a full disk never an empty one.
        QString error;
        if (!ReplacedFile::write(stateOutPath, recordedStates(host).toJson(QJsonDocument::Indented),
                                 &error)) {
            std::fprintf(stderr, "varnel-emu: cannot write state %s: %s\n", qPrintable(stateOutPath),
                         qPrintable(error));
            return 1;
        }
    }
    return code;
}
