#pragma once

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QList>
#include <QSet>

#include <atomic>
#include <cstdint>
#include <set>
#include <utility>

class QSocketNotifier;

// Linux: an event dispatcher that waits in epoll. Qt's own hands every socket notifier to
// poll() on every pass, so a process with a thousand listening units spends its time in the
// kernel walking two thousand descriptors for each request; here a pass costs what is ready.
// Timers keep Qt's meaning: they never fire early, a repeating one that fell behind fires once
// and goes on from now, none fires again while its own handler runs; a very coarse one counts
// in whole seconds. Posted events go out at the start of every pass; wakeUp() is an eventfd.
//
// Qt 5 and Qt 6 differ in a few virtual functions (the timer interval's type, two that Qt 6
// dropped), so both forms are declared and no function here says override: each build
// overrides the ones its Qt has.
class EpollEventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT

public:
    explicit EpollEventDispatcher(QObject* parent = nullptr);
    ~EpollEventDispatcher();

    // False when the system refused an epoll, eventfd or timerfd: do not install it then.
    bool isValid() const { return m_epoll >= 0 && m_quietEpoll >= 0 && m_wakeFd >= 0 && m_timerFd >= 0; }

    virtual bool processEvents(QEventLoop::ProcessEventsFlags flags);
    virtual bool hasPendingEvents();
    virtual void flush();

    virtual void registerSocketNotifier(QSocketNotifier* notifier);
    virtual void unregisterSocketNotifier(QSocketNotifier* notifier);

    using QAbstractEventDispatcher::registerTimer;
    virtual void registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object);
    virtual void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object);
    virtual bool unregisterTimer(int timerId);
    virtual bool unregisterTimers(QObject* object);
    virtual QList<TimerInfo> registeredTimers(QObject* object) const;
    virtual int remainingTime(int timerId);

    virtual void wakeUp();
    virtual void interrupt();

private:
    struct Timer
    {
        qint64 intervalNs = 0;
        int interval = 0; // as registered, in milliseconds
        Qt::TimerType type = Qt::CoarseTimer;
        QObject* object = nullptr;
        qint64 due = 0;           // monotonic nanoseconds
        std::uint64_t serial = 0; // tells a timer from a later one with the same id
        bool firing = false;      // its event is being handled
    };
    // The notifiers of one descriptor, by QSocketNotifier::Type.
    struct Watch
    {
        QSocketNotifier* notifiers[3] = {nullptr, nullptr, nullptr};
        // epoll refuses what poll() calls always ready (a regular file, /dev/null as standard
        // input): such a descriptor is ready on every pass, as it would be under poll().
        bool alwaysReady = false;
    };

    static qint64 now();
    void addTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object);
    void removeTimer(QHash<int, Timer>::iterator it);
    int fireTimers();
    // Arms the timerfd for the earliest timer (or disarms it); the epoll_wait timeout to use.
    int prepareWait(bool canWait, bool includeTimers);
    void updateWatch(int fd, const Watch& watch);
    int activateNotifiers();
    void drainWakeUps();

    int m_epoll = -1;
    int m_quietEpoll = -1; // the wake-up and the timers only (socket notifiers excluded)
    int m_wakeFd = -1;
    int m_timerFd = -1;
    qint64 m_armedFor = 0; // 0: disarmed
    std::atomic<bool> m_wakeUpPending{false};
    std::atomic<bool> m_interrupted{false};

    QHash<int, Timer> m_timers;
    std::set<std::pair<qint64, int>> m_queue; // (due, id), earliest first
    std::uint64_t m_serials = 0;

    QHash<int, Watch> m_watches;
    QSet<int> m_alwaysReady;
    // To be activated; a nested loop takes from the same list, an unregistered one leaves it.
    QList<QSocketNotifier*> m_pending;
};
