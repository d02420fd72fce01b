#include "EmulatorOptions.h"

#include "emulator/EmulatorConsole.h"
#include "emulator/ScenarioLoader.h"
#include "emulator/UnitHost.h"
#include "fault/FaultRule.h"
#include "log/LogFileWriter.h"
#include "scenario/ScenarioFile.h"
#include "transport/Endpoint.h"
#include "transport/LineTiming.h"
#include "transport/SerialSettings.h"
#include "util/MessageQuote.h"
#include "util/ReplacedFile.h"

#include <QHash>
#include <QRegularExpression>

namespace {

constexpr int kMaxJournal = 10000000;

// The variables that stand for options when the command line does not give them.
struct Variable
{
    const char* option;
    const char* name;
};
constexpr Variable kVariables[] = {
    {"records", "VARNEL_RECORDS"}, {"journal", "VARNEL_JOURNAL"},
    {"events", "VARNEL_EVENTS"},   {"first-unit", "VARNEL_FIRST_UNIT"},
    {"control", "VARNEL_CONTROL"}, {"scenario", "VARNEL_SCENARIO"},
    {"units", "VARNEL_UNITS"},     {"control-host", "VARNEL_CONTROL_HOST"},
};

const char* variableOf(const QString& option)
{
    for (const Variable& variable : kVariables)
        if (option == QLatin1String(variable.option))
            return variable.name;
    return nullptr;
}

QCommandLineOption valued(const char* name, const char* valueName, const QString& fallback = QString())
{
    return QCommandLineOption(QString::fromLatin1(name), QString(), QString::fromLatin1(valueName), fallback);
}

// Digits only, as a number from `low` to `high`; -1 otherwise.
int numberIn(const QString& text, int low, int high)
{
    if (text.isEmpty() || !text.at(0).isDigit())
        return -1;
    bool valid = false;
    const int number = text.toInt(&valid, 10);
    return valid && number >= low && number <= high ? number : -1;
}

} // namespace

EmulatorOptions::EmulatorOptions()
    : m_baud(valued("baud", "TEXT", SerialSettings::baudRateTexts().first())),
      m_dataBits(valued("data-bits", "TEXT", SerialSettings::dataBitsTexts().first())),
      m_stopBits(valued("stop-bits", "TEXT", SerialSettings::stopBitsTexts().first())),
      m_parity(valued("parity", "TEXT", SerialSettings::parityTexts().first())),
      m_records(valued("records", "N", QStringLiteral("10000"))),
      m_reopen(valued("reopen", "MS", QStringLiteral("500"))), m_scenario(valued("scenario", "FILE")),
      m_fault(valued("fault", "RULE")),
      m_seed(valued("seed", "S", QString::number(FaultSchedule::kDefaultSeed))),
      m_capture(valued("capture", "FILE")),
      m_journal(valued("journal", "N", QString::number(Journal::kDefaultCapacity))),
      m_events(valued("events", "FILE")), m_stateOut(valued("state-out", "FILE")),
      m_units(valued("units", "FILE")), m_firstUnit(valued("first-unit", "N", QStringLiteral("1"))),
      m_control(valued("control", "HOST:PORT")), m_controlToken(valued("control-token", "TOKEN")),
      m_controlTokenFile(valued("control-token-file", "FILE")), m_controlHost(valued("control-host", "NAME")),
      m_logLimit(valued("log-limit", "SIZE")), m_lineTiming(valued("line-timing", "both")),
      m_adapter(valued("adapter", "SPEC")), m_list(QStringLiteral("list")),
      m_help(QStringList{QStringLiteral("h"), QStringLiteral("help")}), m_version(QStringLiteral("version"))
{
    m_parser.addOptions(
        {m_baud,        m_dataBits, m_stopBits,  m_parity,  m_records,      m_reopen,
         m_scenario,    m_fault,    m_seed,      m_capture, m_journal,      m_events,
         m_stateOut,    m_units,    m_firstUnit, m_control, m_controlToken, m_controlTokenFile,
         m_controlHost, m_logLimit, m_lineTiming, m_adapter, m_list, m_help, m_version});
}

EmulatorOptions::Value EmulatorOptions::value(const QCommandLineOption& option, bool environment) const
{
    const QString name = option.names().constFirst();
    const char* variable = environment ? variableOf(name) : nullptr;
    if (m_parser.isSet(option) || !variable || !qEnvironmentVariableIsSet(variable))
        return Value{m_parser.isSet(option), m_parser.value(option), QStringLiteral("--") + name};
    return Value{true, qEnvironmentVariable(variable), QString::fromLatin1(variable)};
}

EmulatorOptions::Outcome EmulatorOptions::refuse(const QString& problem, bool usage)
{
    m_problem = problem;
    m_usageProblem = usage;
    return Outcome::Refused;
}

EmulatorOptions::Outcome EmulatorOptions::parse(const QStringList& arguments)
{
    // --line-timing alone is a switch, --line-timing=both a value: the parser takes only one kind.
    QStringList given = arguments;
    for (int i = 1; i < given.size() && given.at(i) != QLatin1String("--"); ++i) {
        if (given.at(i) == QLatin1String("--line-timing"))
            given[i] = QStringLiteral("--line-timing=");
    }
    if (!m_parser.parse(given))
        return refuse(m_parser.errorText());
    if (m_parser.isSet(m_help))
        return Outcome::Help;
    if (m_parser.isSet(m_version))
        return Outcome::Version;
    if (m_parser.isSet(m_list))
        return Outcome::List;
    return check();
}

EmulatorOptions::Outcome EmulatorOptions::check()
{
    EmulatorConfig& config = m_config;
    for (const SerialSettings::Choice& c : SerialSettings::choices()) {
        const QString refusal = SerialSettings::refusal(c, m_parser.value(QString::fromLatin1(c.option)));
        if (!refusal.isEmpty())
            return refuse(refusal);
    }
    config.baud = m_parser.value(m_baud);
    config.dataBits = m_parser.value(m_dataBits);
    config.stopBits = m_parser.value(m_stopBits);
    config.parity = m_parser.value(m_parity);
    const Value records = value(m_records);
    if (!EmulatorConsole::isRecordCount(records.text))
        return refuse(QStringLiteral("%1: expected 1 to 8 digits").arg(records.name));
    config.records = records.text.toInt(nullptr, 10);
    bool reopenValid = false;
    config.reopenMs = m_parser.value(m_reopen).toInt(&reopenValid, 10);
    if (!reopenValid || config.reopenMs < 0 || config.reopenMs > 3600000)
        return refuse(QStringLiteral("--reopen: \"%1\" is not a number of milliseconds from 0 to 3600000")
                          .arg(m_parser.value(m_reopen)));
    config.faults = m_parser.values(m_fault);
    for (const QString& rule : config.faults) {
        QString problem;
        if (!FaultRule::parse(rule, &problem))
            return refuse(QStringLiteral("--fault: %1").arg(problem));
    }
    {
        QString problem;
        if (m_parser.isSet(m_lineTiming) &&
            !LineTiming::parseTiming(m_parser.value(m_lineTiming), &config.lineTiming, &problem))
            return refuse(problem);
        if (m_parser.isSet(m_adapter) &&
            !LineTiming::parseAdapter(m_parser.value(m_adapter), &config.lineTiming, &problem))
            return refuse(problem);
    }
    bool seedValid = false;
    const QString seed = m_parser.value(m_seed);
    config.seed = seed.toUInt(&seedValid, 10);
    if (!seedValid || !seed.at(0).isDigit())
        return refuse(QStringLiteral("--seed: \"%1\" is not a number from 0 to 4294967295").arg(seed));
    config.seedGiven = m_parser.isSet(m_seed);
    if (!readUnits())
        return Outcome::Refused;
    const Value capture = value(m_capture);
    if (capture.set && capture.text.isEmpty())
        return refuse(QStringLiteral("--capture: expected a file name"));
    config.capture = capture.text;
    const Value journal = value(m_journal);
    const int journalCapacity = numberIn(journal.text, 1, kMaxJournal);
    if (journalCapacity < 0)
        return refuse(QStringLiteral("%1: \"%2\" is not a number of events from 1 to %3")
                          .arg(journal.name, journal.text)
                          .arg(kMaxJournal));
    config.journalCapacity = std::size_t(journalCapacity);
    if (m_parser.isSet(m_logLimit)) {
        long long bytes = 0;
        if (!LogFileWriter::parseSize(m_parser.value(m_logLimit).toUtf8().constData(), &bytes))
            return refuse(QStringLiteral(
                              "--log-limit: \"%1\" is not a size as 500000, 300K, 256M or 2G (at most 1 TiB)")
                              .arg(m_parser.value(m_logLimit)));
        config.logLimit = bytes;
    }
    const Value events = value(m_events);
    if (events.set && events.text.isEmpty())
        return refuse(QStringLiteral("%1: expected a file name").arg(events.name));
    config.events = events.text;
    // Checked now, not at the end, so the session's state is never lost to a path that takes
    // no file (a folder, /proc) and no device or FIFO is ever replaced by it.
    if (m_parser.isSet(m_stateOut)) {
        const QString refusal = ReplacedFile::refusal(m_parser.value(m_stateOut));
        if (!refusal.isEmpty())
            return refuse(QStringLiteral("--state-out: %1").arg(refusal));
        config.stateOut = m_parser.value(m_stateOut);
    }
    const Value firstUnit = value(m_firstUnit);
    config.firstUnit = numberIn(firstUnit.text, 1, UnitHost::kMaxUnitNumber);
    if (config.firstUnit < 0)
        return refuse(QStringLiteral("%1: \"%2\" is not a unit number from 1 to %3")
                          .arg(firstUnit.name, firstUnit.text)
                          .arg(UnitHost::kMaxUnitNumber));
    if (UnitHost::kMaxUnitNumber - config.firstUnit < int(config.units.size()) - 1)
        return refuse(QStringLiteral("%1: %2 units from %3 go past unit %4")
                          .arg(firstUnit.name)
                          .arg(config.units.size())
                          .arg(config.firstUnit)
                          .arg(UnitHost::kMaxUnitNumber));
    if (qEnvironmentVariableIsSet("VARNEL_LOG_FILE")) {
        const QString logFile = qEnvironmentVariable("VARNEL_LOG_FILE");
        if (logFile != QLatin1String("none"))
            return refuse(QStringLiteral("VARNEL_LOG_FILE: expected none (standard output only), got %1")
                              .arg(MessageQuote::of(logFile)));
        config.logFile = false;
    }

    const auto given = [](const Value& v) { return v.set ? v.text : QString(); };
    ControlEndpoint::Options controlOptions;
    const Value control = value(m_control);
    controlOptions.control = given(control);
    controlOptions.controlName = control.name;
    controlOptions.token = given(value(m_controlToken));
    controlOptions.tokenFile = given(value(m_controlTokenFile));
    // Repeatable: the variable holds its names separated by spaces.
    const Value hosts = value(m_controlHost);
    if (hosts.fromEnvironment())
        controlOptions.hosts =
            hosts.text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    else
        controlOptions.hosts = m_parser.values(m_controlHost);
    controlOptions.hostsName = hosts.name;
    const QString controlProblem = ControlEndpoint::check(controlOptions, &config.control);
    if (!controlProblem.isEmpty())
        return refuse(controlProblem);

    // Read and checked before anything starts, so a refused file leaves no trace but its message.
    const Value scenario = value(m_scenario);
    if (scenario.set) {
        Scenario read;
        QString error;
        if (!ScenarioFile::read(scenario.text, &read, &error) || !ScenarioLoader::check(read, &error))
            return refuse(scenario.fromEnvironment() ? QStringLiteral("%1: %2").arg(scenario.name, error)
                                                     : error,
                          false);
        config.scenario = std::move(read);
    }

    // A line has one unit: a port named twice, by any of its names, is a mistake, not two units.
    QHash<QString, int> taken; // a line's key: the unit that has it
    for (std::size_t i = 0; i < config.units.size(); ++i) {
        Endpoint mine;
        Endpoint::parse(config.units[i].endpoint, &mine, nullptr);
        const QStringList keys = mine.lineKeys();
        const int number = config.firstUnit + int(i);
        for (const QString& key : keys)
            if (taken.contains(key))
                return refuse(QStringLiteral("%1 is named for unit %2 and unit %3")
                                  .arg(MessageQuote::of(config.units[i].endpoint))
                                  .arg(taken.value(key))
                                  .arg(number));
        for (const QString& key : keys)
            taken.insert(key, number);
    }
    return Outcome::Run;
}

bool EmulatorOptions::readUnits()
{
    // The environment's units stand in only for a command line that names none.
    const bool named = m_parser.isSet(m_units) || !m_parser.positionalArguments().isEmpty();
    const Value file = value(m_units, !named);
    Value listed;
    if (!named && qEnvironmentVariableIsSet("VARNEL_ENDPOINTS"))
        listed = Value{true, qEnvironmentVariable("VARNEL_ENDPOINTS"), QStringLiteral("VARNEL_ENDPOINTS")};
    const QStringList endpoints =
        listed.set ? listed.text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)
                   : m_parser.positionalArguments();
    std::vector<UnitsFile::Unit> fileUnits;
    if (file.set) {
        QString error;
        if (!UnitsFile::read(file.text, &fileUnits, &error)) {
            refuse(file.fromEnvironment() ? QStringLiteral("%1: %2").arg(file.name, error) : error, false);
            return false;
        }
    }
    if (listed.set && endpoints.isEmpty()) {
        refuse(QStringLiteral("%1: expected ENDPOINTs separated by spaces").arg(listed.name));
        return false;
    }
    if (endpoints.isEmpty() && fileUnits.empty()) {
        refuse(QStringLiteral("expected a PORT (or --units FILE)"));
        return false;
    }
    for (const QString& endpoint : endpoints) {
        QString problem;
        if (!Endpoint::parse(endpoint, nullptr, &problem)) {
            refuse(listed.set ? QStringLiteral("%1: %2").arg(listed.name, problem) : problem);
            return false;
        }
        UnitsFile::Unit unit;
        unit.endpoint = endpoint;
        m_config.units.push_back(unit);
    }
    for (UnitsFile::Unit& unit : fileUnits)
        m_config.units.push_back(std::move(unit));
    return true;
}
