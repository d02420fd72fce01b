#pragma once

#include "emulator/EmulatorConfig.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// varnel-emu's command line and the environment variables that stand for its options, checked
// whole and turned into an EmulatorConfig. An option given on the command line wins over its
// variable; a refused value names the one it came from.
class EmulatorOptions
{
public:
    enum class Outcome
    {
        Run,
        Help,
        Version,
        List,
        Refused
    };

    EmulatorOptions();

    Outcome parse(const QStringList& arguments);
    const EmulatorConfig& config() const { return m_config; }
    // Why the start was refused; a usage problem is printed with a pointer to --help.
    const QString& problem() const { return m_problem; }
    bool isUsageProblem() const { return m_usageProblem; }

private:
    // An option's value as given, or its variable's (with `environment`) when the command line
    // has none.
    struct Value
    {
        bool set = false;
        QString text;
        QString name; // "--option" or "VARNEL_..."
        bool fromEnvironment() const { return !name.startsWith(QLatin1Char('-')); }
    };

    Value value(const QCommandLineOption& option, bool environment = true) const;
    Outcome refuse(const QString& problem, bool usage = true);
    Outcome check();
    bool readUnits();

    QCommandLineParser m_parser;
    QCommandLineOption m_baud, m_dataBits, m_stopBits, m_parity, m_records, m_reopen, m_scenario, m_fault,
        m_seed, m_capture, m_journal, m_events, m_stateOut, m_units, m_firstUnit, m_control, m_controlToken,
        m_controlTokenFile, m_controlHost, m_logLimit, m_lineTiming, m_adapter, m_list, m_help, m_version;
    EmulatorConfig m_config;
    QString m_problem;
    bool m_usageProblem = false;
};
