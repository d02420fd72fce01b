#pragma once

#include "control/ControlReply.h"
#include "control/ControlTarget.h"

#include <QJsonObject>

#include <atomic>
#include <functional>

namespace httplib {
struct Response;
}

class OwnerThreadCall;
class UnitHost;
class UnitSession;

// The handlers of the units' routes (and the probes and metrics, which read the units too).
// Called on the server's worker threads: what touches a unit runs on the units' owner thread
// through OwnerThreadCall, what is thread-safe to read (journals, recorded states, metrics)
// runs where it arrives, so a long poll never occupies the owner thread.
class ControlUnitHandlers
{
public:
    // Long polls at once; one more is answered 503.
    static constexpr int kMaxWaiting = 16;

    // `closed` tells a scenario being read that the server stops.
    ControlUnitHandlers(UnitHost* host, OwnerThreadCall* owner, const std::atomic<bool>* closed);

    void health(const ControlTarget& target, httplib::Response& response);
    void readiness(const ControlTarget& target, httplib::Response& response);
    void listUnits(const ControlTarget& target, httplib::Response& response);
    void unitState(const ControlTarget& target, httplib::Response& response);
    void journal(const ControlTarget& target, httplib::Response& response);
    void setRecords(const ControlTarget& target, httplib::Response& response);
    void stopUpload(const ControlTarget& target, httplib::Response& response);
    void loadScenario(const ControlTarget& target, httplib::Response& response);
    void resetUnit(const ControlTarget& target, httplib::Response& response);
    void listFaults(const ControlTarget& target, httplib::Response& response);
    void addFault(const ControlTarget& target, httplib::Response& response);
    void clearFaults(const ControlTarget& target, httplib::Response& response);
    void removeFault(const ControlTarget& target, httplib::Response& response);
    void metrics(const ControlTarget& target, httplib::Response& response);
    void verify(const ControlTarget& target, httplib::Response& response);

private:
    // The work on the owner thread, logging as the unit's own.
    ControlReply forUnit(UnitSession* session, std::function<ControlReply()> work);
    // Owner thread: one entry of GET /units.
    QJsonObject unitJson(int id) const;

    UnitHost* m_host;
    OwnerThreadCall& m_owner;
    const std::atomic<bool>* m_closed;
    std::atomic<int> m_waiting{0};
};
