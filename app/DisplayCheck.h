#pragma once

#include <QString>

// Whether the window has a display to open. Qt's platform plugin aborts the process when it
// finds none, so this is asked before the application object exists, and the start of the
// application object is guarded for the display that is named but cannot be reached.
class DisplayCheck
{
public:
    // Empty when the platform can start; else one line naming what is missing. platform is the
    // -platform option's value (empty: QT_QPA_PLATFORM, then the default); displayOption tells
    // whether -display names an X server.
    static QString problem(const QString& platform, bool displayOption);

    // While on, a fatal message of Qt's prints "varnel-test: cannot start the window: REASON" and ends the
    // process with status 1 instead of an abort; its platform warnings are held for that line
    // and passed on when it is turned off.
    static void guardStartup(bool on);

private:
    static bool platformHasDisplay(const QString& name, bool displayOption);
};
