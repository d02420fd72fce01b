#include "DataColumns.h"

#include "control/ControlAddress.h"
#include "control/ControlServer.h"
#include "control/JournalQuery.h"
#include "control/OwnerThreadCall.h"
#include "emulator/UnitHost.h"
#include "fault/FaultRules.h"
#include "util/JsonDuplicateKey.h"

#include "HttpTestSupport.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs the event loop until `done` or the bound passed.
void spinUntil(const std::atomic<bool>& done, int boundMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < boundMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

class TestControl : public QObject
{
    Q_OBJECT

private slots:
    void addressParsing_data();
    void addressParsing();
    void requestNames_data();
    void requestNames();
    void duplicateKeys_data();
    void duplicateKeys();
    void journalQuery_data();
    void journalQuery();
    void ownerThreadCall();
    void ownerThreadTimeoutSkipsTheWork();
    void ownerThreadWorkBegunIsAnswered();
    void closeReleasesWaitingCallers();
    void stopReleasesALongPoll();
    void stopRightAfterStart();
    void slowClientsArePushedOutAndClosed();
    void portInUseIsRefused();
};

void TestControl::addressParsing_data()
{
    testdata::addColumns<QString, bool, QString, int, bool, QString>("text", "valid", "host", "port",
                                                                     "loopback", "url");
    QTest::newRow("ipv4") << "127.0.0.1:0" << true << "127.0.0.1" << 0 << true << "http://127.0.0.1:0";
    QTest::newRow("127/8") << "127.1.2.3:8080" << true << "127.1.2.3" << 8080 << true << "http://127.1.2.3:0";
    QTest::newRow("localhost") << "LocalHost:1" << true << "LocalHost" << 1 << true << "http://LocalHost:0";
    QTest::newRow("ipv6") << "[::1]:65535" << true << "::1" << 65535 << true << "http://[::1]:0";
    QTest::newRow("any") << "0.0.0.0:80" << true << "0.0.0.0" << 80 << false << "http://0.0.0.0:0";
    QTest::newRow("name") << "bench-pc:80" << true << "bench-pc" << 80 << false << "http://bench-pc:0";
    QTest::newRow("no port") << "127.0.0.1" << false << "" << 0 << false << "";
    QTest::newRow("empty port") << "127.0.0.1:" << false << "" << 0 << false << "";
    QTest::newRow("port too big") << "127.0.0.1:65536" << false << "" << 0 << false << "";
    QTest::newRow("signed port") << "127.0.0.1:+80" << false << "" << 0 << false << "";
    QTest::newRow("no host") << ":80" << false << "" << 0 << false << "";
    QTest::newRow("bare ipv6") << "::1:80" << false << "" << 0 << false << "";
}

void TestControl::addressParsing()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    ControlAddress address;
    QString error;
    QCOMPARE(ControlAddress::parse(text, &address, &error), valid);
    if (!valid) {
        QVERIFY2(error.startsWith(QStringLiteral("--control: \"%1\" ").arg(text)), qPrintable(error));
        return;
    }
    QTEST(address.host(), "host");
    QTEST(address.port(), "port");
    QTEST(address.isLoopback(), "loopback");
    QTEST(address.url(0), "url");
    // A host anyone can reach is refused without a token, taken with one.
    const QString refusal = ControlAddress::checkOptions(text, QString(), &address);
    QCOMPARE(refusal.isEmpty(), address.isLoopback());
    QVERIFY(ControlAddress::checkOptions(text, QStringLiteral("t"), &address).isEmpty());
    QVERIFY(!ControlAddress::checkOptions(text, QStringLiteral(""), &address).isEmpty());
}

void TestControl::requestNames_data()
{
    // What a request's Host or Origin names, for an API on 0.0.0.0:8080 reached at 192.0.2.7,
    // called bench-pc too.
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("bound host") << "Host"
                                << "0.0.0.0:8080" << true;
    QTest::newRow("address reached") << "Host"
                                     << "192.0.2.7:8080" << true;
    QTest::newRow("reached, no port") << "Host"
                                      << "192.0.2.7" << true;
    QTest::newRow("localhost") << "Host"
                               << "LocalHost:8080" << true;
    QTest::newRow("given name") << "Host"
                                << "Bench-PC:8080" << true;
    QTest::newRow("given name, dot") << "Host"
                                     << "bench-pc." << true;
    QTest::newRow("rebound name") << "Host"
                                  << "rebind.evil.example:8080" << false;
    QTest::newRow("name as prefix") << "Host"
                                    << "bench-pc.evil.example" << false;
    QTest::newRow("other address") << "Host"
                                   << "192.0.2.8:8080" << false;
    QTest::newRow("bare ipv6") << "Host"
                               << "::1" << false;
    QTest::newRow("bad port") << "Host"
                              << "bench-pc:80a" << false;
    QTest::newRow("empty") << "Host"
                           << "" << false;
    QTest::newRow("own origin") << "Origin"
                                << "http://bench-pc:8080" << true;
    QTest::newRow("own origin by address") << "Origin"
                                           << "http://192.0.2.7:8080" << true;
    QTest::newRow("other port") << "Origin"
                                << "http://bench-pc:8081" << false;
    QTest::newRow("default port") << "Origin"
                                  << "http://bench-pc" << false;
    QTest::newRow("https") << "Origin"
                           << "https://bench-pc:8080" << false;
    QTest::newRow("null") << "Origin"
                          << "null" << false;
    QTest::newRow("other page") << "Origin"
                                << "http://evil.example:8080" << false;
    QTest::newRow("with a path") << "Origin"
                                 << "http://bench-pc:8080/x" << false;
}

void TestControl::requestNames()
{
    QFETCH(QString, header);
    QFETCH(QString, value);
    QFETCH(bool, accepted);
    ControlAddress address;
    QVERIFY(ControlAddress::parse(QStringLiteral("0.0.0.0:8080"), &address, nullptr));
    QVERIFY(ControlAddress::checkNames({QStringLiteral("bench-pc")}, true, &address).isEmpty());
    const QString local = QStringLiteral("192.0.2.7");
    QCOMPARE(header == QLatin1String("Host") ? address.acceptsHost(value, local)
                                             : address.acceptsOrigin(value, 8080, local),
             accepted);
    // Names are words, and only for an API.
    QVERIFY(
        ControlAddress::checkNames({QStringLiteral("a b")}, true, &address).startsWith("--control-host: "));
    QVERIFY(!ControlAddress::checkNames({QString()}, true, &address).isEmpty());
    QVERIFY(!ControlAddress::checkNames({QStringLiteral("bench-pc")}, false, &address).isEmpty());
}

void TestControl::duplicateKeys_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("twice");
    QTest::newRow("none") << QByteArray(R"({"a": 1, "b": {"a": 2}, "c": [{"a": 3}, {"a": 4}]})") << "";
    QTest::newRow("top") << QByteArray(R"({"count": 3, "count": 4})") << "count";
    QTest::newRow("nested") << QByteArray(R"({"texts": {"device-name": "A", "device-name": "B"}})")
                            << "texts.device-name";
    QTest::newRow("in an array") << QByteArray(R"({"u": [{"k": 1}, {"k": 1, "k": 2}]})") << "u[1].k";
    QTest::newRow("escaped the same") << QByteArray(R"({"a": 1, "\u0061": 2})") << "a";
    QTest::newRow("surrogate pair") << QByteArray(R"({"\ud83d\ude00": 1, "😀": 2})") << "😀";
    QTest::newRow("in a string") << QByteArray(R"({"s": "{\"a\": 1, \"a\": 2}", "t": "a"})") << "";
    QTest::newRow("value equals a key") << QByteArray(R"({"a": "a", "b": "a"})") << "";
}

void TestControl::duplicateKeys()
{
    QFETCH(QByteArray, json);
    QTEST(JsonDuplicateKey::find(json), "twice");
}

void TestControl::journalQuery_data()
{
    QTest::addColumn<QString>("query"); // name=value pairs split on '&'
    QTest::addColumn<QString>("refusal");
    QTest::newRow("none") << ""
                          << "";
    QTest::newRow("all") << "after=9007199254740991&limit=100000&wait=60000&type=upload-end&cmd=0x0C"
                         << "";
    QTest::newRow("cmd by name") << "cmd=get-time"
                                 << "";
    QTest::newRow("after too big") << "after=18446744073709551616"
                                   << "after:";
    // Answered as a JSON number in "next", which holds no more exactly.
    QTest::newRow("after over 2^53") << "after=9007199254740992"
                                     << "after:";
    QTest::newRow("after 2^64-1") << "after=18446744073709551615"
                                  << "after:";
    QTest::newRow("after signed") << "after=-1"
                                  << "after:";
    QTest::newRow("limit 0") << "limit=0"
                             << "limit:";
    QTest::newRow("limit over") << "limit=100001"
                                << "limit:";
    QTest::newRow("limit exponent") << "limit=1e3"
                                    << "limit:";
    QTest::newRow("wait over") << "wait=60001"
                               << "wait:";
    QTest::newRow("cmd 0") << "cmd=0"
                           << "cmd:";
    QTest::newRow("cmd 22") << "cmd=22"
                            << "cmd:";
    QTest::newRow("cmd hex too long") << "cmd=0x002"
                                      << "cmd:";
    QTest::newRow("type") << "type=requests"
                          << "type:";
    QTest::newRow("twice") << "limit=1&limit=2"
                           << "limit: given more than once";
    QTest::newRow("unknown") << "seq=1"
                             << "unknown parameter \"seq\"";
}

void TestControl::journalQuery()
{
    QFETCH(QString, query);
    QFETCH(QString, refusal);
    std::multimap<std::string, std::string> params;
    for (const QString& pair : query.split(QLatin1Char('&'), Qt::SkipEmptyParts))
        params.emplace(pair.section(QLatin1Char('='), 0, 0).toStdString(),
                       pair.section(QLatin1Char('='), 1).toStdString());
    JournalQuery parsed;
    QString error;
    QCOMPARE(JournalQuery::parse(params, &parsed, &error), refusal.isEmpty());
    QVERIFY2(refusal.isEmpty() ? error.isEmpty() : error.startsWith(refusal), qPrintable(error));
    if (QByteArray(QTest::currentDataTag()) == "all") {
        QCOMPARE(parsed.after, JournalQuery::kMaxSeq);
        QCOMPARE(parsed.limit, JournalQuery::kMaxLimit);
        QCOMPARE(parsed.pageLimit(), JournalQuery::kMaxAnswer);
        QCOMPARE(parsed.waitMs, JournalQuery::kMaxWaitMs);
        QCOMPARE(int(*parsed.command), 0x0C);
    }
}

void TestControl::ownerThreadCall()
{
    OwnerThreadCall owner;
    std::atomic<bool> done{false};
    ControlReply reply;
    Qt::HANDLE ranOn = nullptr;
    std::thread caller([&] {
        reply = owner.run([&] {
            ranOn = QThread::currentThreadId();
            return ControlReply::json(201, QJsonObject{{QStringLiteral("x"), 1}});
        });
        done = true;
    });
    spinUntil(done);
    caller.join();
    QCOMPARE(reply.status, 201);
    QCOMPARE(reply.bytes(), QByteArray("{\"x\":1}"));
    QCOMPARE(ranOn, QThread::currentThreadId());
}

void TestControl::ownerThreadTimeoutSkipsTheWork()
{
    OwnerThreadCall owner(100);
    std::atomic<bool> ran{false};
    ControlReply reply;
    // The owner thread is busy (not running its loop) for longer than the bound.
    std::thread caller([&] {
        reply = owner.run([&] {
            ran = true;
            return ControlReply::empty();
        });
    });
    caller.join();
    QCOMPARE(reply.status, 503);
    QVERIFY(reply.bytes().contains("did not answer within 100 ms"));
    // Once free, it does not do what the caller was told failed.
    QCoreApplication::processEvents();
    QVERIFY(!ran);
}

void TestControl::ownerThreadWorkBegunIsAnswered()
{
    OwnerThreadCall owner(100);
    std::atomic<bool> done{false};
    std::atomic<bool> ran{false};
    ControlReply reply;
    // The work begins within the bound and ends after it.
    std::thread caller([&] {
        reply = owner.run([&] {
            QTest::qSleep(300);
            ran = true;
            return ControlReply::json(201, QJsonObject{{QStringLiteral("x"), 1}});
        });
        done = true;
    });
    spinUntil(done);
    caller.join();
    // Either the work was done and its reply came, or neither: never a 503 for work done.
    QCOMPARE(reply.status, ran ? 201 : 503);
    QVERIFY(ran);
}

void TestControl::closeReleasesWaitingCallers()
{
    OwnerThreadCall owner(60000);
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([&] {
            if (owner.run([] { return ControlReply::empty(); }).status == 503)
                ++answered;
        });
    QTest::qSleep(100);
    owner.close();
    for (std::thread& caller : callers)
        caller.join();
    QCOMPARE(answered.load(), 4);
    QCOMPARE(owner.run([] { return ControlReply::empty(); }).status, 503);
}

void TestControl::stopReleasesALongPoll()
{
    UnitHost host;
    host.addUnit();
    ControlServer server(&host);
    ControlAddress address;
    QVERIFY(ControlAddress::parse(QStringLiteral("127.0.0.1:0"), &address, nullptr));
    QString error;
    QVERIFY2(server.bind(address, &error), qPrintable(error));
    server.start();
    const int port = server.port();
    std::string units;
    std::string poll;
    std::atomic<bool> listed{false};
    std::thread lister([&] {
        units = httptest::exchange(port, "GET /units HTTP/1.1\r\nConnection: close\r\n\r\n");
        listed = true;
    });
    spinUntil(listed);
    lister.join();
    QVERIFY2(units.find("\"line\":\"closed\"") != std::string::npos, units.c_str());
    std::thread poller([&] {
        poll = httptest::exchange(
            port, "GET /units/1/journal?after=99&wait=60000 HTTP/1.1\r\nConnection: close\r\n\r\n");
    });
    QTest::qWait(200);
    server.stop();
    poller.join();
    QVERIFY2(poll.rfind("HTTP/1.1 200 ", 0) == 0, poll.c_str());
    QVERIFY2(poll.find("{\"events\":[],\"next\":99}") != std::string::npos, poll.c_str());
}

void TestControl::stopRightAfterStart()
{
    // A stop that comes before the server's loop began still ends it.
    UnitHost host;
    host.addUnit();
    for (int i = 0; i < 20; ++i) {
        ControlServer server(&host);
        ControlAddress address;
        QVERIFY(ControlAddress::parse(QStringLiteral("127.0.0.1:0"), &address, nullptr));
        QVERIFY(server.bind(address, nullptr));
        server.start();
        server.stop();
    }
}

void TestControl::slowClientsArePushedOutAndClosed()
{
    UnitHost host;
    host.addUnit();
    ControlServer server(&host);
    ControlAddress address;
    QVERIFY(ControlAddress::parse(QStringLiteral("127.0.0.1:0"), &address, nullptr));
    QVERIFY(server.bind(address, nullptr));
    server.start();
    // More clients than workers, each half-way through its request line.
    std::vector<int> slow;
    for (int i = 0; i < ControlServer::kWorkerThreads + 8; ++i) {
        slow.push_back(httptest::connectTo(server.port()));
        QVERIFY(slow.back() >= 0);
        QCOMPARE(::send(slow.back(), "GET /uni", 8, 0), ssize_t(8));
    }
    // A new client makes room for itself, while the unit's thread runs as usual.
    std::string units;
    std::atomic<bool> listed{false};
    std::thread lister([&] {
        units = httptest::exchange(server.port(), "GET /units HTTP/1.1\r\nConnection: close\r\n\r\n");
        listed = true;
    });
    spinUntil(listed);
    lister.join();
    QVERIFY2(units.rfind("HTTP/1.1 200 ", 0) == 0, units.c_str());
    server.stop();
    // Every slow client was let go: it reads the end of its connection, not a timeout.
    for (const int fd : slow) {
        const timeval bound{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        char byte;
        ssize_t n;
        while ((n = ::recv(fd, &byte, 1, 0)) > 0) {
        }
        QVERIFY2(n == 0 || errno == ECONNRESET, std::strerror(errno));
        ::close(fd);
    }
}

void TestControl::portInUseIsRefused()
{
    // A second API on a port taken would share its connections with the first one.
    UnitHost host;
    host.addUnit();
    ControlServer first(&host);
    ControlAddress address;
    QVERIFY(ControlAddress::parse(QStringLiteral("127.0.0.1:0"), &address, nullptr));
    QVERIFY(first.bind(address, nullptr));
    ControlServer second(&host);
    QVERIFY(ControlAddress::parse(QStringLiteral("127.0.0.1:%1").arg(first.port()), &address, nullptr));
    QString error;
    QVERIFY(!second.bind(address, &error));
    QVERIFY2(error.startsWith(QStringLiteral("cannot listen on 127.0.0.1:%1: ").arg(first.port())),
             qPrintable(error));
}

QTEST_GUILESS_MAIN(TestControl)
#include "tst_control.moc"
