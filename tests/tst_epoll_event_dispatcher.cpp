// varnel-emu's epoll event dispatcher as the main thread's, as varnel-emu installs it.
#include "process/EpollEventDispatcher.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Both ends of a local stream socket, closed with it.
struct SocketPair
{
    int fds[2] = {-1, -1};
    SocketPair() { QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0); }
    ~SocketPair()
    {
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
    void send(int end, const char* bytes) { QVERIFY(::write(fds[end], bytes, std::strlen(bytes)) > 0); }
};

// Runs the loop until `done` or five seconds; false when it timed out.
bool spinUntil(const std::function<bool()>& done)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.hasExpired(5000))
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

void spinFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (!t.hasExpired(ms))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, ms);
}

} // namespace

class TestEpollEventDispatcher : public QObject
{
    Q_OBJECT

private slots:
    void installed() { QVERIFY(qobject_cast<EpollEventDispatcher*>(QAbstractEventDispatcher::instance())); }

    // A timer never fires before its time, whatever its type; it reports its time left.
    void timerNeverEarly_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("interval");
        QTest::newRow("precise") << int(Qt::PreciseTimer) << 30;
        QTest::newRow("coarse") << int(Qt::CoarseTimer) << 40;
        QTest::newRow("very coarse: whole seconds") << int(Qt::VeryCoarseTimer) << 700;
        QTest::newRow("zero") << int(Qt::PreciseTimer) << 0;
    }

    void timerNeverEarly()
    {
        QFETCH(int, type);
        QFETCH(int, interval);
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::TimerType(type));
        int fired = 0;
        connect(&timer, &QTimer::timeout, this, [&] { ++fired; });
        QElapsedTimer t;
        t.start();
        timer.start(interval);
        const int left = timer.remainingTime();
        QVERIFY2(left >= 0 && left <= qMax(interval, 1000), qPrintable(QString::number(left)));
        QVERIFY(spinUntil([&] { return fired > 0; }));
        const qint64 elapsed = t.elapsed();
        QVERIFY2(elapsed >= (type == Qt::VeryCoarseTimer ? 1000 : interval),
                 qPrintable(QString::number(elapsed)));
        spinFor(20);
        QCOMPARE(fired, 1); // single shot
        QCOMPARE(timer.remainingTime(), -1);
    }

    // A repeating timer keeps firing until it is stopped in its own handler; the dispatcher
    // lists it while it runs, with its interval and type.
    void repeatingTimerStoppedInItsHandler()
    {
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        int fired = 0;
        connect(&timer, &QTimer::timeout, this, [&] {
            if (++fired == 5)
                timer.stop();
        });
        timer.start(5);
        const QList<QAbstractEventDispatcher::TimerInfo> listed =
            QAbstractEventDispatcher::instance()->registeredTimers(&timer);
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed.first().interval, 5);
        QCOMPARE(listed.first().timerType, Qt::PreciseTimer);
        QVERIFY(spinUntil([&] { return fired >= 5; }));
        spinFor(40);
        QCOMPARE(fired, 5);
        QVERIFY(QAbstractEventDispatcher::instance()->registeredTimers(&timer).isEmpty());
    }

    // A timer whose handler runs a nested loop is not fired again inside it; others are.
    void timerDoesNotRecurse()
    {
        QTimer outer;
        QTimer other;
        outer.setTimerType(Qt::PreciseTimer);
        other.setTimerType(Qt::PreciseTimer);
        int outerDepth = 0;
        int deepest = 0;
        int outerFired = 0;
        int otherFired = 0;
        connect(&other, &QTimer::timeout, this, [&] { ++otherFired; });
        connect(&outer, &QTimer::timeout, this, [&] {
            ++outerFired;
            deepest = qMax(deepest, ++outerDepth);
            if (outerFired == 1)
                spinFor(60);
            --outerDepth;
        });
        outer.start(5);
        other.start(5);
        QVERIFY(spinUntil([&] { return outerFired >= 3; }));
        outer.stop();
        other.stop();
        QCOMPARE(deepest, 1);
        QVERIFY(otherFired >= 3); // it ran on inside the nested loop
    }

    // A zero-interval timer runs every pass without starving other timers or posted calls.
    void zeroTimerDoesNotStarve()
    {
        QTimer busy;
        int spins = 0;
        connect(&busy, &QTimer::timeout, this, [&] { ++spins; });
        busy.start(0);
        bool timed = false;
        bool posted = false;
        QTimer::singleShot(20, this, [&] { timed = true; });
        QMetaObject::invokeMethod(
            this, [&] { posted = true; }, Qt::QueuedConnection);
        QVERIFY(spinUntil([&] { return timed && posted; }));
        busy.stop();
        QVERIFY(spins > 1);
    }

    // Reading, writing, both on one descriptor, and disabled notifiers stay quiet.
    void socketNotifiers()
    {
        SocketPair pair;
        QSocketNotifier reader(pair.fds[0], QSocketNotifier::Read);
        int reads = 0;
        connect(&reader, &QSocketNotifier::activated, this, [&] {
            ++reads;
            char buffer[16];
            while (::read(pair.fds[0], buffer, sizeof buffer) > 0) {
            }
        });
        spinFor(20);
        QCOMPARE(reads, 0); // nothing sent yet
        pair.send(1, "a");
        QVERIFY(spinUntil([&] { return reads == 1; }));

        reader.setEnabled(false);
        pair.send(1, "b");
        spinFor(30);
        QCOMPARE(reads, 1);
        reader.setEnabled(true);
        QVERIFY(spinUntil([&] { return reads == 2; }));

        // A writer on the same descriptor: both are served, and taking one away keeps the other.
        auto writer = std::make_unique<QSocketNotifier>(pair.fds[0], QSocketNotifier::Write);
        int writes = 0;
        connect(writer.get(), &QSocketNotifier::activated, this, [&] {
            if (++writes == 3)
                writer->setEnabled(false);
        });
        pair.send(1, "c");
        QVERIFY(spinUntil([&] { return writes == 3 && reads == 3; }));
        writer.reset();
        pair.send(1, "d");
        QVERIFY(spinUntil([&] { return reads == 4; }));
        QCOMPARE(writes, 3);

        // Switched on and off within one pass (as a socket does around a write): it stays quiet;
        // switched on at the end of one, it fires in the next.
        QSocketNotifier toggled(pair.fds[0], QSocketNotifier::Write);
        int toggledWrites = 0;
        connect(&toggled, &QSocketNotifier::activated, this, [&] { ++toggledWrites; });
        toggled.setEnabled(false);
        spinFor(20);
        QCOMPARE(toggledWrites, 0);
        QMetaObject::invokeMethod(
            this,
            [&] {
                toggled.setEnabled(true);
                toggled.setEnabled(false);
                toggled.setEnabled(true);
            },
            Qt::QueuedConnection);
        QVERIFY(spinUntil([&] { return toggledWrites > 0; }));
        toggled.setEnabled(false);
        const int settled = toggledWrites;
        spinFor(20);
        QCOMPARE(toggledWrites, settled);
        pair.send(1, "e"); // and the reader is still served
        QVERIFY(spinUntil([&] { return reads == 5; }));
    }

    // A handler that deletes another notifier ready in the same pass: that one is not called.
    void notifierDeletedByAnotherInTheSamePass()
    {
        SocketPair first;
        SocketPair second;
        QPointer<QSocketNotifier> a = new QSocketNotifier(first.fds[0], QSocketNotifier::Read, this);
        QPointer<QSocketNotifier> b = new QSocketNotifier(second.fds[0], QSocketNotifier::Read, this);
        int activations = 0;
        connect(a, &QSocketNotifier::activated, this, [&] {
            ++activations;
            delete b;
            a->setEnabled(false);
        });
        connect(b, &QSocketNotifier::activated, this, [&] {
            ++activations;
            delete a;
            b->setEnabled(false);
        });
        first.send(1, "x");
        second.send(1, "y");
        QVERIFY(spinUntil([&] { return activations > 0; }));
        spinFor(30);
        QCOMPARE(activations, 1);
        delete a;
        delete b;
    }

    // What poll() calls always ready (a regular file) is ready here too, not refused.
    void regularFileIsAlwaysReady()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write("line\n");
        file.flush();
        const int fd = ::open(qPrintable(file.fileName()), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        int reads = 0;
        {
            QSocketNotifier reader(fd, QSocketNotifier::Read);
            connect(&reader, &QSocketNotifier::activated, this, [&] {
                char buffer[16];
                if (::read(fd, buffer, sizeof buffer) <= 0)
                    reader.setEnabled(false); // the end, as varnel-emu's console does
                ++reads;
            });
            QVERIFY(spinUntil([&] { return !reader.isEnabled(); }));
        }
        ::close(fd);
        QCOMPARE(reads, 2); // the line, then the end
        spinFor(10);        // and the loop waits again instead of spinning on it
    }

    // Another thread's post wakes a loop that waits with nothing else to do.
    void wakeUpFromAnotherThread()
    {
        QEventLoop loop;
        bool woken = false;
        bool watchdog = false;
        QTimer::singleShot(10000, &loop, [&] {
            watchdog = true;
            loop.quit();
        });
        std::thread poster([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            QMetaObject::invokeMethod(
                &loop,
                [&] {
                    woken = true;
                    loop.quit();
                },
                Qt::QueuedConnection);
        });
        loop.exec();
        poster.join();
        QVERIFY(woken);
        QVERIFY(!watchdog);

        // wakeUp() alone ends a blocking pass. The quit above left a wake-up behind: taken first.
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
        std::atomic<bool> called{false};
        std::thread waker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            called = true;
            QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread())->wakeUp();
        });
        QTimer guard;
        guard.setSingleShot(true);
        guard.start(10000);
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
        waker.join();
        QVERIFY(called);
        QVERIFY(guard.isActive());
    }

    // Qt's sockets over it: a server's echo comes back byte for byte; deleteLater is served.
    void tcpEcho()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QPointer<QTcpSocket> accepted;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            accepted = server.nextPendingConnection();
            connect(accepted, &QTcpSocket::readyRead, accepted,
                    [&] { accepted->write(accepted->readAll()); });
            connect(accepted, &QTcpSocket::disconnected, accepted, &QObject::deleteLater);
        });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QByteArray sent;
        for (int i = 0; i < 256; ++i)
            sent.append(char(i));
        sent = sent.repeated(64); // 16 KiB, every byte value
        QByteArray echoed;
        connect(&client, &QTcpSocket::readyRead, this, [&] { echoed += client.readAll(); });
        connect(&client, &QTcpSocket::connected, this, [&] { client.write(sent); });
        QVERIFY(spinUntil([&] { return echoed.size() >= sent.size(); }));
        QCOMPARE(echoed, sent);
        client.disconnectFromHost();
        QVERIFY(spinUntil([&] { return accepted.isNull(); }));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    TestEpollEventDispatcher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_epoll_event_dispatcher.moc"
