#pragma once

#include "emulator/EmulatorConfig.h"

#include <QString>

class EmulatorApplication;
class LogManager;

// varnel-emu's composition root: the units of a checked configuration with their captures,
// event file, console, control API and state file, served until the orderly end.
class Emulator
{
public:
    // The log is the process's (its file writer too); the program hands it over.
    Emulator(EmulatorConfig config, EmulatorApplication* app, LogManager* log);

    // Starts everything, runs the event loop and ends in order: the exit code, with error()
    // saying why when the start or the state file failed.
    int run();
    const QString& error() const { return m_error; }

private:
    int fail(int code, const QString& error);

    EmulatorConfig m_config;
    EmulatorApplication* m_app;
    LogManager* m_log;
    QString m_error;
};
