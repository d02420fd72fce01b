#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class Device;

// Takes a session's line away for a while, as an unplugged adapter: the port closes (a network
// line's client is cut off and new clients are refused) and opens again when the time is up.
// Not a lost line: the reopen policy is not involved.
class LineOutage : public QObject
{
    Q_OBJECT

public:
    // `note` journals "vanished" and "back".
    LineOutage(std::function<Device*()> device, std::function<void(const QString& event)> note,
               QObject* parent = nullptr);

    // Nothing when the line is not open (or already away: the outage runs on as it was).
    void start(int ms);
    bool isActive() const { return m_away; }
    // The session closes: the line stays closed.
    void cancel();

    // How often a line that would not open again is tried once more.
    static constexpr int kRetryMs = 500;

private:
    void comeBack();

    std::function<Device*()> m_device;
    std::function<void(const QString&)> m_note;
    QTimer m_timer;
    bool m_away = false;
    bool m_failureLogged = false;
};
