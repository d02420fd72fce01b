#pragma once

#include <cstdint>
#include <map>
#include <vector>

// How fast the unit answers: per command, latency samples (milliseconds from a request to its
// reply), and the pauses between an upload's frames. Each reply takes one sample by a seeded
// draw; with no samples nothing waits.
class ReplyTiming
{
public:
    static constexpr int kMaxSamples = 10000;
    // As the longest fault delay.
    static constexpr double kMaxMs = 3600000.0;

    void setLatencies(std::uint8_t command, std::vector<double> ms);
    // Empty for a command without samples.
    const std::vector<double>& latencies(std::uint8_t command) const;
    void setIntervals(std::vector<double> ms) { m_intervals = std::move(ms); }
    const std::vector<double>& intervals() const { return m_intervals; }
    bool isEmpty() const { return m_latencies.empty() && m_intervals.empty(); }

    // The sample a uniform draw in [0, 1) falls on; 0 for no samples.
    static double pick(const std::vector<double>& samples, double uniform);

private:
    std::map<std::uint8_t, std::vector<double>> m_latencies;
    std::vector<double> m_intervals;
};
