#pragma once

#include <QString>

#include <ostream>

class QSerialPort;

// The PC end of the line, as send and replay open it: any positive baud rate (for PC programs
// set to an unusual one), otherwise 8N1 without flow control, stale input dropped.
class PcPort
{
public:
    // False with "varnel-pc COMMAND: cannot open NAME: reason" on err.
    static bool open(QSerialPort& port, const QString& name, int baud, const char* command,
                     std::ostream& err);
};
