#include "scenario/ReplyTiming.h"

#include <algorithm>

void ReplyTiming::setLatencies(std::uint8_t command, std::vector<double> ms)
{
    if (ms.empty())
        m_latencies.erase(command);
    else
        m_latencies[command] = std::move(ms);
}

const std::vector<double>& ReplyTiming::latencies(std::uint8_t command) const
{
    static const std::vector<double> kNone;
    const auto it = m_latencies.find(command);
    return it == m_latencies.end() ? kNone : it->second;
}

double ReplyTiming::pick(const std::vector<double>& samples, double uniform)
{
    if (samples.empty())
        return 0.0;
    const auto index = static_cast<std::size_t>(uniform * double(samples.size()));
    return samples[std::min(index, samples.size() - 1)];
}
