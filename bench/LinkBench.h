#pragma once

// Figures over a real virtual serial line: varnel-emu on one end of a socat pty pair,
// this program as the PC on the other.
struct LinkBenchOptions
{
    int roundTrips = 1000;
    int uploadRecords = 1000;
    int idleSeconds = 10;
    int rssRecords = 10000;
    int pacingRecords = 1000;
    int pacingRecords9600 = 1000;
};

void benchLink(const LinkBenchOptions& options);
// A record upload with --line-timing: how close each frame's last byte comes to its time on a
// cable, the whole upload against its ideal time, CPU with and without; the pty pair's own spread
// at the 9600 write pattern with no varnel-emu; idle CPU.
void benchPacing(const LinkBenchOptions& options);
