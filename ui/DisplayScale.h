#pragma once

// The process-wide display scale factor: the main window sets it once from the
// screen's logical DPI; tabs and dialogs read it when they size their widgets.
class DisplayScale
{
public:
    static double factor();
    static void setFactor(double factor);
    // The step of the scale table that the logical DPI falls on.
    static double forDpi(double logicalDpi);

private:
    static double s_factor;
};
