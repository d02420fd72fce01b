#pragma once

// Figures over a real virtual serial line: varnel-emu on one end of a socat pty pair,
// this program as the PC on the other.
struct LinkBenchOptions
{
    int roundTrips = 1000;
    int uploadRecords = 1000;
    int idleSeconds = 10;
    int rssRecords = 10000;
};

void benchLink(const LinkBenchOptions& options);
