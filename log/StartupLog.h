#pragma once

#include <QString>

// Start-up steps shared by the window and the headless emulator: choose the day's
// log file, open the writer at threshold 1 so that the file follows the day, write
// the start-up line to the file.
class StartupLog
{
public:
    // The chosen file name; empty when none could be opened (said once on stderr).
    static QString begin(const char* program);
};
