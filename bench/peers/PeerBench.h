#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// One responder and the exchange it is timed on.
struct PeerCase
{
    QString name;
    // A program in the bench's own directory.
    QString program;
    std::function<QStringList(const QString& tty)> arguments;
    QByteArray readyText;
    QByteArray request;
    // Every byte is compared; a different reply ends the run with an error.
    QByteArray reply;
    // varnel-pc tap sits between the client and the responder; the idle CPU is then the tap's.
    bool viaTap = false;
};

struct PeerFigures
{
    QString error; // empty when the figures are valid
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    double roundTripsPerSecond = 0;
    double idleCpuPercent = 0;
    // The responder's CPU (user + system, all threads) over the timed round trips: percent of
    // one core, and microseconds per round trip.
    double busyCpuPercent = 0;
    double cpuMicrosPerRoundTrip = 0;
    // Behind the tap, the same for varnel-pc tap; negative without one.
    double tapCpuMicrosPerRoundTrip = -1;
};

// Times request/reply round trips against a responder over a socat pty pair, with the CPU
// the responder used meanwhile, then its CPU use while nothing is asked of it.
class PeerBench
{
public:
    struct Options
    {
        int warmUp = 100;
        int roundTrips = 2000;
        int idleSeconds = 10;
    };

    explicit PeerBench(const Options& options) : m_options(options) {}

    PeerFigures run(const PeerCase& peer) const;

    // SIGINT and SIGTERM end the current run as an error, so every child is still stopped.
    static void installStopHandler();
    static bool stopRequested();

private:
    Options m_options;
};
