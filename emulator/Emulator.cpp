#include "emulator/Emulator.h"

#include "capture/CaptureWriter.h"
#include "emulator/ControlEndpoint.h"
#include "emulator/EmulatorApplication.h"
#include "emulator/EmulatorConsole.h"
#include "emulator/ScenarioLoader.h"
#include "emulator/UnitHost.h"
#include "fault/FaultRules.h"
#include "journal/EventFileWriter.h"
#include "log/Log.h"
#include "log/LogContext.h"
#include "log/LogFileWriter.h"
#include "log/LogManager.h"
#include "log/StartupLog.h"
#include "process/SignalWatcher.h"
#include "unit/EmulatedUnit.h"
#include "util/ReplacedFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// One unit's state as an object; several units' as an array in their order.
QJsonDocument recordedStates(const UnitHost& host)
{
    if (host.unitCount() == 1)
        return QJsonDocument(host.session(host.firstUnit())->recordedState()->toJson());
    QJsonArray states;
    for (int id = host.firstUnit(); id <= host.lastUnit(); ++id)
        states.append(host.session(id)->recordedState()->toJson());
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

Emulator::Emulator(EmulatorConfig config, EmulatorApplication* app, LogManager* log)
    : m_config(std::move(config)), m_app(app), m_log(log)
{
}

int Emulator::fail(int code, const QString& error)
{
    m_error = error;
    return code;
}

int Emulator::run()
{
    const EmulatorConfig& config = m_config;
    const std::vector<UnitsFile::Unit>& units = config.units;
    const bool fleet = units.size() > 1;
    // The number of the unit at `index` of the configuration.
    const auto numberOf = [&config](std::size_t index) { return config.firstUnit + int(index); };
    // A thousand listeners need a descriptor each, and more while clients come and go.
    raiseOpenFileLimit();
    m_app->setUnitPrefixes(fleet);

    if (config.logLimit)
        LogFileWriter::instance()->setSizeLimit(*config.logLimit);
    // One client's flood must not fill the log of a fleet (the window keeps every line).
    m_log->setFloodLines(LogManager::kDefaultFloodLines);
    if (config.logFile)
        StartupLog::begin("varnel-emu");

    // Declared before the host, so they outlive every device that shows them the line. With
    // several units the capture names a folder, one file per unit.
    std::vector<std::unique_ptr<CaptureWriter>> captureWriters(units.size());
    // Regular files (or new ones) are created or emptied only once every line and the API are
    // up, so a start that fails leaves them as they were; a device or a FIFO is opened now.
    std::vector<QString> laterCaptures(units.size());
    if (!config.capture.isEmpty() && fleet && !QDir().mkpath(config.capture))
        return fail(1, QStringLiteral("cannot make capture folder %1").arg(config.capture));
    for (std::size_t i = 0; i < units.size(); ++i) {
        QString path = units[i].capture.value_or(QString());
        if (path.isEmpty() && !config.capture.isEmpty())
            path = fleet ? QDir(config.capture).filePath(QStringLiteral("unit%1.pcap").arg(numberOf(i)))
                         : config.capture;
        if (path.isEmpty())
            continue;
        auto writer = std::make_unique<CaptureWriter>();
        const QFileInfo info(path);
        const QString problem = captureProblem(path);
        if (!problem.isEmpty() || (info.exists() && !info.isFile() && !writer->open(path)))
            return fail(1, QStringLiteral("cannot write capture %1: %2")
                               .arg(path, problem.isEmpty() ? writer->error() : problem));
        if (!writer->isOpen())
            laterCaptures[i] = path;
        const QString prefix = fleet ? unitPrefix(numberOf(i)) : QString();
        writer->setFailureHandler([prefix](const QString& reason) {
            const LogContext::Scope unit(prefix);
            VLOG(1, QStringLiteral("抓包失败，停止抓包：%1").arg(reason));
        });
        captureWriters[i] = std::move(writer);
    }

    const Scenario noScenario;
    const Scenario& scenario = config.scenario ? *config.scenario : noScenario;
    UnitHost host;
    host.setFirstUnit(config.firstUnit);
    host.setReopenInterval(config.reopenMs);
    host.setJournalCapacity(config.journalCapacity);
    for (std::size_t i = 0; i < units.size(); ++i) {
        UnitSession& session = *host.addUnit();
        if (fleet)
            session.setLogPrefix(unitPrefix(numberOf(i)));
        const Scenario& own = units[i].scenarioPath ? units[i].scenario : scenario;
        session.unit()->setRecordCount(units[i].records.value_or(config.records));
        session.unit()->setStopsUploadOnDtrDrop(units[i].stopUploadOnDtrDrop.value_or(false));
        // Its rules take effect with the command line's below.
        ScenarioLoader::apply(*session.unit(), nullptr, own, nullptr); // checked before
        if (units[i].records)
            session.unit()->setRecordCount(*units[i].records); // the units file's key wins, a CSV's rows too
        if (captureWriters[i])
            session.setLineObserver(captureWriters[i].get());
    }
    // After the host, so it stops before the journals it reads go.
    EventFileWriter eventWriter;
    if (!config.events.isEmpty()) {
        for (int id = host.firstUnit(); id <= host.lastUnit(); ++id)
            eventWriter.follow(host.session(id)->journal());
        QString error;
        if (!eventWriter.open(config.events, &error))
            return fail(1, QStringLiteral("cannot write events %1").arg(error));
        QObject::connect(&eventWriter, &EventFileWriter::failed, &host, [](const QString& reason) {
            VLOG(1, QStringLiteral("事件文件写入失败，停止写入：%1").arg(reason));
        });
    }
    EmulatorConsole console(&host, m_log);
    QObject::connect(m_log, &LogManager::logAdded, &console,
                     &EmulatorConsole::slot_logAdded);
    VLOG(1, QStringLiteral("Welcome to VARNEL %1.%2").arg(1).arg(0));
    for (std::size_t i = 0; i < units.size(); ++i) {
        UnitSession& session = *host.session(numberOf(i));
        const LogContext::Scope unit(session.logPrefix());
        const bool ownScenario = bool(units[i].scenarioPath);
        const Scenario& own = ownScenario ? units[i].scenario : scenario;
        if (ownScenario || config.scenario) {
            ScenarioLoader::logLoaded(own);
            session.noteScenarioLoaded(own.path);
        }
        // The scenario's rules first, then the command line's (or the units file's); an
        // explicit seed wins. A later scenario without a seed returns to the command line's.
        const QStringList allRules = own.faults + units[i].faults.value_or(config.faults);
        const std::uint32_t allSeed = config.seedGiven ? config.seed : own.seed.value_or(config.seed);
        FaultRules& faults = *session.faults();
        faults.setSeed(config.seed);
        faults.setRules(allRules, allSeed, nullptr, own.faults.size()); // checked before
        faults.setTiming(own.timing);
    }

    UnitSession::Settings settings;
    settings.portName = units.front().endpoint;
    settings.baudRate = units.front().baud.value_or(config.baud);
    settings.dataBits = config.dataBits;
    settings.stopBits = config.stopBits;
    settings.parity = config.parity;
    // Nothing else runs on the main thread while it waits for requests: no hand-off per frame.
    settings.parseThread = false;

    // Installed before the port opens, so a signal just after start-up still closes in order.
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &console,
                     &EmulatorConsole::shutdown);

    for (std::size_t i = 0; i < units.size(); ++i) {
        UnitSession& session = *host.session(numberOf(i));
        const LogContext::Scope unit(session.logPrefix());
        settings.portName = units[i].endpoint;
        settings.baudRate = units[i].baud.value_or(config.baud);
        // The units file's keys over the options (checked when it was read).
        settings.lineTiming = config.lineTiming;
        if (units[i].lineTiming) {
            settings.lineTiming.toPc = settings.lineTiming.fromPc = false;
            if (*units[i].lineTiming != QLatin1String("off"))
                LineTiming::parseTiming(*units[i].lineTiming, &settings.lineTiming, nullptr);
        }
        if (units[i].adapter)
            LineTiming::parseAdapter(*units[i].adapter, &settings.lineTiming, nullptr);
        if (!host.open(numberOf(i), settings)) {
            VLOG(1, QStringLiteral("打开串口失败"));
            console.writePendingLines();
            QCoreApplication::sendPostedEvents();
            m_error = QStringLiteral("cannot open %1: %2").arg(settings.portName, session.lastError());
            host.shutdown(0);
            return 1;
        }
        VLOG(1, QStringLiteral("打开串口成功"));
    }

    // Before the host goes: stopped at the start of the orderly end, or at the latest here.
    ControlEndpoint control(&host);
    if (config.control.enabled) {
        QString error;
        if (!control.bind(config.control, &error)) {
            m_error = QStringLiteral("--control: %1").arg(error);
            host.shutdown(0);
            return 1;
        }
        QObject::connect(&console, &EmulatorConsole::shutting_down, &host, [&control] { control.stop(); });
    }
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (laterCaptures[i].isEmpty() || captureWriters[i]->open(laterCaptures[i]))
            continue;
        m_error =
            QStringLiteral("cannot write capture %1: %2").arg(laterCaptures[i], captureWriters[i]->error());
        host.shutdown(0);
        return 1;
    }
    if (control.isBound()) {
        control.start();
        console.writePendingLines();
    }

    console.watchStandardInput();
    const int code = QCoreApplication::exec();
    control.stop();
    eventWriter.close();
    if (!config.stateOut.isEmpty()) {
        // Replaced whole: a reader never sees half a state, a full disk never an empty one.
        QString error;
        if (!ReplacedFile::write(config.stateOut, recordedStates(host).toJson(QJsonDocument::Indented),
                                 &error))
            return fail(1, QStringLiteral("cannot write state %1: %2").arg(config.stateOut, error));
    }
    return code;
}
