#pragma once

#include "emulator/UnitSession.h"

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class EmulatedUnit;
class LineObserver;
class LineReopener;
class Scenario;

// The units one process serves, numbered from firstUnit() (1 unless set), and the one place that applies to
// them what the operator chose: scenarios, capture and the reopen policy. The window and varnel-emu are views
// over a host. Owner thread only.
class UnitHost : public QObject
{
    Q_OBJECT

public:
    explicit UnitHost(QObject* parent = nullptr);
    ~UnitHost() override;

    // A new unit with a number one above the last; with `unit` given (the window's), the
    // session serves that one instead of a unit of its own.
    UnitSession* addUnit(EmulatedUnit* unit = nullptr);
    // The highest number a unit may have: the control API takes nine digits.
    static constexpr int kMaxUnitNumber = 999999999;

    int unitCount() const { return int(m_units.size()); }
    // Units are numbered from `first` (before the first is added): a process serving part of a
    // larger fleet names them as the fleet does, in log lines, journals, metrics and the API.
    void setFirstUnit(int first) { m_firstUnit = first; }
    int firstUnit() const { return m_firstUnit; }
    // The highest number; below firstUnit() while there are none.
    int lastUnit() const { return m_firstUnit + unitCount() - 1; }
    // The unit with that number, or nullptr.
    UnitSession* session(int id) const;

    // After a unit's line vanished, its port is opened again every intervalMs; 0 (the
    // window's way) leaves it closed. For lines opened from now on.
    void setReopenInterval(int intervalMs) { m_reopenMs = intervalMs; }
    // The bound of every unit's journal, those added later included.
    void setJournalCapacity(std::size_t capacity);
    // Shown every line of every unit (a capture), those opened later included; nullptr ends it.
    // Not owned.
    void setLineObserver(LineObserver* observer);

    // Opens a unit's port and, with a reopen interval, watches it; false with the reason in
    // the session's lastError().
    bool open(int id, const UnitSession::Settings& settings);
    // A scenario for one unit, read and checked off this thread (ScenarioFile, ScenarioLoader::
    // check), all or nothing; false with `error` set, the active one kept.
    bool applyScenario(int id, const Scenario& scenario, QString* error);
    // The orderly end: every unit's uploads end with their end frames, every line closes.
    void shutdown(int flushBoundMs = 500);

private:
    // The unit with that number, or nullptr with `error` saying there is none.
    UnitSession* unitOrError(int id, QString* error) const;

    struct Unit
    {
        std::unique_ptr<UnitSession> session;
        std::unique_ptr<LineReopener> reopener;
    };

    std::vector<Unit> m_units;
    int m_firstUnit = 1;
    int m_reopenMs = 0;
    std::size_t m_journalCapacity = Journal::kDefaultCapacity;
};
