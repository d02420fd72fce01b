#pragma once

#include "emulator/EmulatorConfig.h"

#include <QString>

class EmulatorApplication;

// varnel-emu's composition root: the units of a checked configuration with their captures,
// event file, console, control API and state file, served until the orderly end.
class Emulator
{
public:
    Emulator(EmulatorConfig config, EmulatorApplication* app);

    // Starts everything, runs the event loop and ends in order: the exit code, with error()
    // saying why when the start or the state file failed.
    int run();
    const QString& error() const { return m_error; }

private:
    int fail(int code, const QString& error);

    EmulatorConfig m_config;
    EmulatorApplication* m_app;
    QString m_error;
};
