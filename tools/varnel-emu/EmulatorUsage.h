#pragma once

#include <QString>

// What varnel-emu --help prints.
class EmulatorUsage
{
public:
    static QString text();
};
