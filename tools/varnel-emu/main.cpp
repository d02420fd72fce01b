// varnel-emu: the emulated handheld unit on one serial port, without a window.
#include "EmulatorConsole.h"
#include "process/SignalWatcher.h"

#include "capture/CaptureWriter.h"
#include "device/DeviceRegistry.h"
#include "emulator/ScenarioLoader.h"
#include "emulator/UnitHost.h"
#include "fault/FaultInjector.h"
#include "fault/FaultRule.h"
#include "fault/FaultSchedule.h"
#include "log/Log.h"
#include "log/LogManager.h"
#include "log/StartupLog.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "transport/SerialSettings.h"
#include "unit/EmulatedUnit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSerialPortInfo>
#include <QTextCodec>

#include <cstdio>

namespace {

constexpr int kUsageError = 2;

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
               "                  [--seed S] [--capture FILE.pcap] PORT\n"
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
               "               FILE.pcap (created or replaced; open it in Wireshark)\n"
               "fault RULE: TARGET:ACTION[@WHEN]\n"
               "  TARGET  a command code (2, 0x02) or name (get-time), * for every request,\n"
               "          record for the data frames of an upload\n"
               "  ACTION  drop | delay=MS | delay=MIN-MAX | corrupt-crc | truncate=N | split=K:MS |\n"
               "          noise=N | wrong-command=C | wrong-address=A | duplicate | stall=MS;\n"
               "          record: drop | corrupt-crc | duplicate | truncate=N | stop-after=K\n"
               "  WHEN    N | N-M | every=K | p=P (the N-th matching request since the rule was\n"
               "          added; for record, sequence number N); none: every one\n"
               "standard input: stop | records N | fault RULE | fault clear | faults | scenario FILE | "
               "quit\n");
}

int usage(const QString& problem)
{
    std::fprintf(stderr, "%s\n%s", qPrintable(problem), qPrintable(usageText()));
    return kUsageError;
}

} // namespace

int main(int argc, char* argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    // Qt's own event loop: the GLib one wakes itself every time the port's write notifier
    // is switched on or off, twice per reply. Nothing here needs GLib.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);

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
    const QCommandLineOption list(QStringLiteral("list"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({baud, dataBits, stopBits, parity, records, reopen, scenarioFile, fault, seed, capture,
                       list, help, version});
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
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("expected exactly one PORT"));
    if (parser.isSet(capture) && parser.value(capture).isEmpty())
        return usage(QStringLiteral("--capture: expected a file name"));

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

    StartupLog::begin("varnel-emu");

    // Declared before the session, so it outlives every device that shows it the line.
    CaptureWriter captureWriter;
    if (parser.isSet(capture)) {
        if (!captureWriter.open(parser.value(capture))) {
            std::fprintf(stderr, "varnel-emu: cannot write capture %s: %s\n",
                         qPrintable(parser.value(capture)), qPrintable(captureWriter.error()));
            return 1;
        }
        captureWriter.setFailureHandler(
            [](const QString& reason) { VLOG(1, QStringLiteral("抓包失败，停止抓包：%1").arg(reason)); });
    }

    UnitHost host;
    host.setReopenInterval(reopenMs);
    UnitSession& session = *host.addUnit();
    session.unit()->setRecordCount(parser.value(records).toInt(nullptr, 10));
    // Its rules take effect with the command line's below.
    ScenarioLoader::apply(*session.unit(), nullptr, scenario, nullptr); // checked above
    if (captureWriter.isOpen())
        host.setLineObserver(&captureWriter);
    FaultInjector& faults = *session.faults();
    EmulatorConsole console(&host);
    QObject::connect(LogManager::instance(), &LogManager::logAdded, &console,
                     &EmulatorConsole::slot_logAdded);
    VLOG(1, QStringLiteral("Welcome to VARNEL %1.%2").arg(1).arg(0));
    if (parser.isSet(scenarioFile))
        ScenarioLoader::logLoaded(scenario);
    // The scenario's rules first, then the command line's; an explicit --seed wins. A later
    // scenario without a seed returns to the command line's.
    const QStringList allRules = scenario.faults + faultRules;
    const std::uint32_t allSeed = parser.isSet(seed) ? faultSeed : scenario.seed.value_or(faultSeed);
    faults.setSeed(faultSeed);
    faults.setRules(allRules, allSeed, nullptr, scenario.faults.size()); // checked above

    UnitSession::Settings settings;
    settings.portName = parser.positionalArguments().first();
    settings.baudRate = parser.value(baud);
    settings.dataBits = parser.value(dataBits);
    settings.stopBits = parser.value(stopBits);
    settings.parity = parser.value(parity);
    // Nothing else runs on the main thread while it waits for requests: no hand-off per frame.
    settings.parseThread = false;
    DeviceRegistry* registry = DeviceRegistry::instance();
    registry->setPortName(settings.portName.toStdString());
    registry->setBaudRate(settings.baudRate.toStdString());
    registry->setDataBits(settings.dataBits.toStdString());
    registry->setStopBits(settings.stopBits.toStdString());
    registry->setParity(settings.parity.toStdString());

    // Installed before the port opens, so a signal just after start-up still closes in order.
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &console,
                     &EmulatorConsole::shutdown);

    if (!host.open(1, settings)) {
        VLOG(1, QStringLiteral("打开串口失败"));
        QCoreApplication::sendPostedEvents();
        std::fprintf(stderr, "varnel-emu: cannot open %s: %s\n", qPrintable(settings.portName),
                     qPrintable(session.lastError()));
        return 1;
    }
    VLOG(1, QStringLiteral("打开串口成功"));

    console.watchStandardInput();
    return app.exec();
}
