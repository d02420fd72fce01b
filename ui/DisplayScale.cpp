#include "ui/DisplayScale.h"

double DisplayScale::s_factor = 1.0;

double DisplayScale::factor()
{
    return s_factor;
}

void DisplayScale::setFactor(double factor)
{
    s_factor = factor;
}

double DisplayScale::forDpi(double logicalDpi)
{
    // The thresholds sit just below each step so that 120/96 = 1.25 etc. land safely.
    const double r = logicalDpi / 96.0;
    if (r < 1.1999999999)
        return 1.0;
    if (r < 1.4999999999)
        return 1.2;
    if (r < 1.9999999999)
        return 1.5;
    if (r < 2.4999999999)
        return 2.0;
    if (r < 2.9999999999)
        return 2.5;
    if (r < 3.4999999999)
        return 3.0;
    if (r < 3.9999999999)
        return 3.5;
    return 4.0;
}
