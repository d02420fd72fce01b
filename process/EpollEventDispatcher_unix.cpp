#include "process/EpollEventDispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <utility>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kNsPerSecond = 1000000000;
// Events taken per wait; more stay ready (level-triggered) for the next pass.
constexpr int kMaxEvents = 256;

bool watch(int epoll, int fd)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

} // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject* parent) : QAbstractEventDispatcher(parent)
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_quietEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (isValid() && !(watch(m_epoll, m_wakeFd) && watch(m_epoll, m_timerFd) &&
                       watch(m_quietEpoll, m_wakeFd) && watch(m_quietEpoll, m_timerFd))) {
        ::close(m_epoll);
        m_epoll = -1;
    }
}

EpollEventDispatcher::~EpollEventDispatcher()
{
    for (int fd : {m_epoll, m_quietEpoll, m_wakeFd, m_timerFd})
        if (fd >= 0)
            ::close(fd);
}

qint64 EpollEventDispatcher::now()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * kNsPerSecond + t.tv_nsec;
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted = false;
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    // A post meanwhile has made the eventfd ready, so the wait below returns at once.
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted &&
                         !(includeNotifiers && !m_alwaysReady.isEmpty());
    if (canWait)
        emit aboutToBlock();
    if (m_interrupted)
        return false;

    const int timeout = prepareWait(canWait, includeTimers);
    epoll_event events[kMaxEvents];
    const int count = ::epoll_wait(includeNotifiers ? m_epoll : m_quietEpoll, events, kMaxEvents, timeout);
    if (count < 0 && errno != EINTR)
        qWarning("EpollEventDispatcher: epoll_wait: %s", std::strerror(errno));

    int handled = 0;
    const auto mark = [this](QSocketNotifier* notifier) {
        if (notifier && !m_pending.contains(notifier))
            m_pending.append(notifier);
    };
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        const std::uint32_t ready = events[i].events;
        if (fd == m_wakeFd) {
            drainWakeUps();
            ++handled;
        } else if (fd == m_timerFd) {
            std::uint64_t expirations = 0;
            while (::read(m_timerFd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
            }
            m_armedFor = 0;
        } else {
            const auto it = m_watches.constFind(fd);
            if (it == m_watches.cend())
                continue;
            // As Qt's poll() dispatcher reads the events: a hang-up or an error wakes the reader.
            if (ready & (EPOLLIN | EPOLLHUP | EPOLLERR))
                mark(it->notifiers[QSocketNotifier::Read]);
            if (ready & (EPOLLOUT | EPOLLERR))
                mark(it->notifiers[QSocketNotifier::Write]);
            if (ready & EPOLLPRI)
                mark(it->notifiers[QSocketNotifier::Exception]);
        }
    }
    if (includeNotifiers) {
        for (int fd : std::as_const(m_alwaysReady)) {
            const Watch always = m_watches.value(fd);
            mark(always.notifiers[QSocketNotifier::Read]);
            mark(always.notifiers[QSocketNotifier::Write]);
        }
        handled += activateNotifiers();
    }
    if (includeTimers)
        handled += fireTimers();
    return handled > 0;
}

int EpollEventDispatcher::prepareWait(bool canWait, bool includeTimers)
{
    if (!canWait)
        return 0;
    if (!includeTimers || m_queue.empty()) {
        // A disarmed timerfd: an idle process is not woken for a timer that is gone.
        if (m_armedFor != 0) {
            const itimerspec none{};
            ::timerfd_settime(m_timerFd, 0, &none, nullptr);
            m_armedFor = 0;
        }
        return -1;
    }
    const qint64 first = m_queue.begin()->first;
    if (first <= now())
        return 0;
    if (first != m_armedFor) {
        // Absolute and in nanoseconds: the timer neither fires early nor waits for the next millisecond.
        itimerspec at{};
        at.it_value.tv_sec = time_t(first / kNsPerSecond);
        at.it_value.tv_nsec = long(first % kNsPerSecond);
        if (::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &at, nullptr) != 0) {
            qWarning("EpollEventDispatcher: timerfd_settime: %s", std::strerror(errno));
            return 1; // waits a millisecond at a time instead
        }
        m_armedFor = first;
    }
    return -1;
}

int EpollEventDispatcher::activateNotifiers()
{
    int activated = 0;
    while (!m_pending.isEmpty()) {
        QSocketNotifier* notifier = m_pending.takeFirst();
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++activated;
    }
    return activated;
}

bool EpollEventDispatcher::hasPendingEvents()
{
    return m_wakeUpPending;
}

void EpollEventDispatcher::flush() {}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const int type = notifier->type();
    if (fd < 0 || type < 0 || type > 2) {
        qWarning("EpollEventDispatcher: socket notifier for descriptor %d of type %d refused", fd, type);
        return;
    }
    Watch& watch = m_watches[fd];
    if (watch.notifiers[type] && watch.notifiers[type] != notifier)
        qWarning(
            "EpollEventDispatcher: a second socket notifier of type %d for descriptor %d replaces the first",
            type, fd);
    watch.notifiers[type] = notifier;
    updateWatch(fd, watch);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    m_pending.removeAll(notifier);
    const int fd = int(notifier->socket());
    const int type = notifier->type();
    const auto it = m_watches.find(fd);
    if (it == m_watches.end() || type < 0 || type > 2 || it->notifiers[type] != notifier)
        return;
    it->notifiers[type] = nullptr;
    updateWatch(fd, *it);
}

void EpollEventDispatcher::updateWatch(int fd, const Watch& watch)
{
    std::uint32_t mask = 0;
    if (watch.notifiers[QSocketNotifier::Read])
        mask |= EPOLLIN;
    if (watch.notifiers[QSocketNotifier::Write])
        mask |= EPOLLOUT;
    if (watch.notifiers[QSocketNotifier::Exception])
        mask |= EPOLLPRI;
    if (mask == 0) {
        // Closed already, the kernel dropped it itself: nothing to report then.
        if (!watch.alwaysReady)
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        m_alwaysReady.remove(fd);
        m_watches.remove(fd);
        return;
    }
    if (watch.alwaysReady)
        return;
    epoll_event event{};
    event.events = mask;
    event.data.fd = fd;
    // A descriptor closed while watched left the set with it, and its number may be back as another.
    if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event) == 0)
        return;
    if (errno == ENOENT && ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) == 0)
        return;
    if (errno == EPERM) {
        m_watches[fd].alwaysReady = true;
        m_alwaysReady.insert(fd);
        return;
    }
    qWarning("EpollEventDispatcher: cannot watch descriptor %d: %s", fd, std::strerror(errno));
}

void EpollEventDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object)
{
    addTimer(timerId, interval, timerType, object);
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                         QObject* object)
{
    addTimer(timerId, interval, timerType, object);
}

void EpollEventDispatcher::addTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object)
{
    if (timerId <= 0 || interval < 0 || !object) {
        qWarning("EpollEventDispatcher: timer %d with interval %lld refused", timerId, qlonglong(interval));
        return;
    }
    const auto old = m_timers.find(timerId);
    if (old != m_timers.end())
        removeTimer(old);
    Timer timer;
    timer.interval = int(qMin<qint64>(interval, std::numeric_limits<int>::max()));
    timer.intervalNs = interval * kNsPerMs;
    // A very coarse timer keeps to whole seconds; a coarse one may fire a little late or early,
    // on time is within that.
    if (timerType == Qt::VeryCoarseTimer && interval > 0)
        timer.intervalNs = qMax<qint64>(1, (interval + 500) / 1000) * kNsPerSecond;
    timer.type = timerType;
    timer.object = object;
    timer.due = now() + timer.intervalNs;
    timer.serial = ++m_serials;
    m_timers.insert(timerId, timer);
    m_queue.emplace(timer.due, timerId);
}

void EpollEventDispatcher::removeTimer(QHash<int, Timer>::iterator it)
{
    m_queue.erase({it->due, it.key()});
    m_timers.erase(it);
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    removeTimer(it);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject* object)
{
    bool any = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->object == object) {
            m_queue.erase({it->due, it.key()});
            it = m_timers.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> list;
    for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it)
        if (it->object == object)
            list.append(TimerInfo(it.key(), it->interval, it->type));
    return list;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.constFind(timerId);
    if (it == m_timers.cend())
        return -1;
    const qint64 left = it->due - now();
    return left <= 0 ? 0 : int((left + kNsPerMs - 1) / kNsPerMs);
}

int EpollEventDispatcher::fireTimers()
{
    // Only the timers due when the pass began: a zero-interval one fires once per pass and
    // the wait for other events still comes.
    const qint64 passStart = now();
    std::vector<std::pair<int, std::uint64_t>> due;
    for (const auto& entry : m_queue) {
        if (entry.first > passStart)
            break;
        due.emplace_back(entry.second, m_timers.value(entry.second).serial);
    }
    int fired = 0;
    for (const auto& [id, serial] : due) {
        auto it = m_timers.find(id);
        // Killed, or killed and started again, by a handler before it.
        if (it == m_timers.end() || it->serial != serial)
            continue;
        // The next time first, as Qt does: a repeating timer that fell behind goes on from now.
        m_queue.erase({it->due, id});
        it->due += it->intervalNs;
        if (it->due < passStart)
            it->due = passStart + it->intervalNs;
        m_queue.emplace(it->due, id);
        if (it->firing)
            continue;
        if (it->intervalNs > 0)
            ++fired;
        it->firing = true;
        QObject* object = it->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        it = m_timers.find(id);
        if (it != m_timers.end() && it->serial == serial)
            it->firing = false;
    }
    return fired;
}

void EpollEventDispatcher::wakeUp()
{
    // Any thread. One write until the loop has read it.
    if (m_wakeUpPending.exchange(true))
        return;
    const std::uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void EpollEventDispatcher::drainWakeUps()
{
    std::uint64_t count = 0;
    while (::read(m_wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    // After the read: a wake-up in between finds the flag still set and writes nothing, but the
    // next pass begins with the posted events anyway.
    m_wakeUpPending = false;
}

void EpollEventDispatcher::interrupt()
{
    m_interrupted = true;
    wakeUp();
}
