#pragma once

#include <QString>

// How much of a cable a line imitates: each byte at the rate of the settings in force, in one
// direction or both, and a USB serial adapter's packets toward the PC. All off by default.
struct LineTiming
{
    bool toPc = false;   // the unit's bytes leave no earlier than a cable would carry them
    bool fromPc = false; // the PC's bytes reach the unit no earlier than a cable would bring them
    // A USB adapter on the PC's end: bytes toward the PC leave in packets of this many bytes, or
    // what there is once the latency timer runs out. 0: no adapter.
    int adapterPacketBytes = 0;
    int adapterLatencyMs = 0;

    // What --adapter ftdi stands for: the FT232's 16 ms latency timer and 62 data bytes a packet.
    static constexpr int kFtdiLatencyMs = 16;
    static constexpr int kFtdiPacketBytes = 62;
    static constexpr int kMaxLatencyMs = 1000;
    static constexpr int kMaxPacketBytes = 4096;

    bool isOff() const { return !toPc && !fromPc && adapterPacketBytes == 0; }
    bool hasAdapter() const { return adapterPacketBytes > 0; }

    // --line-timing's value: empty (the unit's bytes) or "both". False with `error` naming it.
    static bool parseTiming(const QString& text, LineTiming* timing, QString* error);
    // --adapter's value: "ftdi" and/or latency=MS,packet=BYTES (comma-separated, later parts
    // win); turns on timing toward the PC too. False with `error` naming the part.
    static bool parseAdapter(const QString& text, LineTiming* timing, QString* error);
    // For the log: "line timing: toward the PC, from the PC, USB adapter 16 ms / 62 bytes".
    QString text() const;
};
