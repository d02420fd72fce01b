// The network lines: endpoint names, the RFC 2217 access server's Telnet state machine
// (byte-exact answers, hostile input), and the TCP listener's one-client rule.
#include "DataColumns.h"

#include "transport/Endpoint.h"
#include "transport/Rfc2217Codec.h"
#include "transport/TcpServerTransport.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += char(v);
    return out;
}

} // namespace

class TstNetworkLine : public QObject
{
    Q_OBJECT

private slots:
    void endpoint_data();
    void endpoint();
    void telnet_data();
    void telnet();
    void telnetSplitAnywhere();
    void telnetHostile();
    void tcpOneClientAtATime();
};

void TstNetworkLine::endpoint_data()
{
    testdata::addColumns<QString, bool, int, QString, int, QString>("text", "valid", "kind", "name", "port",
                                                                    "canonical");

    const int serial = int(Endpoint::Kind::Serial);
    const int tcp = int(Endpoint::Kind::Tcp);
    const int rfc = int(Endpoint::Kind::Rfc2217);
    const int pty = int(Endpoint::Kind::Pty);
    QTest::newRow("serial path") << "/dev/ttyUSB0" << true << serial << "/dev/ttyUSB0" << 0 << "/dev/ttyUSB0";
    QTest::newRow("serial name") << "COM3" << true << serial << "COM3" << 0 << "COM3";
    QTest::newRow("tcp") << "tcp:127.0.0.1:40311" << true << tcp << "127.0.0.1" << 40311
                         << "tcp:127.0.0.1:40311";
    QTest::newRow("tcp any port") << "tcp:localhost:0" << true << tcp << "localhost" << 0
                                  << "tcp:localhost:0";
    QTest::newRow("rfc2217") << "rfc2217:0.0.0.0:7000" << true << rfc << "0.0.0.0" << 7000
                             << "rfc2217:0.0.0.0:7000";
    QTest::newRow("ipv6") << "tcp:[::1]:5" << true << tcp << "::1" << 5 << "tcp:[::1]:5";
    QTest::newRow("port too big") << "tcp:127.0.0.1:65536" << false << 0 << "" << 0 << "";
    QTest::newRow("no port") << "tcp:127.0.0.1" << false << 0 << "" << 0 << "";
    QTest::newRow("empty port") << "rfc2217:127.0.0.1:" << false << 0 << "" << 0 << "";
    QTest::newRow("no host") << "tcp::40" << false << 0 << "" << 0 << "";
    QTest::newRow("sign") << "tcp:h:+40" << false << 0 << "" << 0 << "";
    QTest::newRow("letters") << "tcp:h:4x" << false << 0 << "" << 0 << "";
    QTest::newRow("six digits") << "tcp:h:000040" << false << 0 << "" << 0 << "";
    QTest::newRow("empty") << "" << false << 0 << "" << 0 << "";
    QTest::newRow("pty") << "pty:/tmp/a b" << true << pty << "/tmp/a b" << 0 << "pty:/tmp/a b";
    QTest::newRow("pty without path") << "pty:" << false << 0 << "" << 0 << "";
}

void TstNetworkLine::endpoint()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    Endpoint endpoint;
    QString error;
    QCOMPARE(Endpoint::parse(text, &endpoint, &error), valid);
    if (!valid) {
        QVERIFY(!text.isEmpty() ? error.contains(text) : !error.isEmpty());
        return;
    }
    QFETCH(int, kind);
    QFETCH(QString, name);
    QFETCH(int, port);
    QFETCH(QString, canonical);
    QCOMPARE(int(endpoint.kind()), kind);
    QCOMPARE(endpoint.name(), name);
    QCOMPARE(int(endpoint.port()), port);
    QCOMPARE(endpoint.text(), canonical);
}

void TstNetworkLine::telnet_data()
{
    testdata::addColumns<QByteArray, QByteArray, QByteArray, QString>("input", "data", "answers", "settings");

    const QByteArray sbStart = bytes({255, 250, 44});
    const QByteArray se = bytes({255, 240});
    QTest::newRow("plain data") << bytes({0x5a, 0xa5, 0}) << bytes({0x5a, 0xa5, 0}) << QByteArray()
                                << "115200 8N1";
    QTest::newRow("escaped 0xFF") << bytes({1, 255, 255, 2}) << bytes({1, 255, 2}) << QByteArray()
                                  << "115200 8N1";
    QTest::newRow("will com-port") << bytes({255, 251, 44}) << QByteArray() << bytes({255, 253, 44})
                                   << "115200 8N1";
    QTest::newRow("do binary") << bytes({255, 253, 0}) << QByteArray() << bytes({255, 251, 0})
                               << "115200 8N1";
    QTest::newRow("refused echo") << bytes({255, 253, 1, 255, 251, 24}) << QByteArray()
                                  << bytes({255, 252, 1, 255, 254, 24}) << "115200 8N1";
    QTest::newRow("set baud 9600") << sbStart + bytes({1, 0, 0, 0x25, 0x80}) + se << QByteArray()
                                   << sbStart + bytes({101, 0, 0, 0x25, 0x80}) + se << "9600 8N1";
    QTest::newRow("fastest baud") << sbStart + bytes({1, 0, 0xb7, 0x1b, 0}) + se << QByteArray()
                                  << sbStart + bytes({101, 0, 0xb7, 0x1b, 0}) + se << "12000000 8N1";
    QTest::newRow("baud query") << sbStart + bytes({1, 0, 0, 0, 0}) + se << QByteArray()
                                << sbStart + bytes({101, 0, 1, 0xc2, 0}) + se << "115200 8N1";
    // 0x0000FFFF baud: the answer's value bytes are escaped, and the request's were.
    QTest::newRow("baud with 0xFF") << sbStart + bytes({1, 0, 0, 255, 255, 255, 255}) + se << QByteArray()
                                    << sbStart + bytes({101, 0, 0, 255, 255, 255, 255}) + se << "65535 8N1";
    QTest::newRow("7E2") << sbStart + bytes({2, 7}) + se + sbStart + bytes({3, 3}) + se + sbStart +
                                bytes({4, 2}) + se
                         << QByteArray()
                         << sbStart + bytes({102, 7}) + se + sbStart + bytes({103, 3}) + se + sbStart +
                                bytes({104, 2}) + se
                         << "115200 7E2";
    QTest::newRow("bad data size kept")
        << sbStart + bytes({2, 9}) + se << QByteArray() << sbStart + bytes({102, 8}) + se << "115200 8N1";
    QTest::newRow("control dtr off, query")
        << sbStart + bytes({5, 9}) + se + sbStart + bytes({5, 7}) + se << QByteArray()
        << sbStart + bytes({105, 9}) + se + sbStart + bytes({105, 9}) + se << "115200 8N1";
    QTest::newRow("flow query") << sbStart + bytes({5, 0}) + se << QByteArray()
                                << sbStart + bytes({105, 1}) + se << "115200 8N1";
    QTest::newRow("suspend resume") << sbStart + bytes({8}) + se + sbStart + bytes({9}) + se << QByteArray()
                                    << sbStart + bytes({108}) + se + sbStart + bytes({109}) + se
                                    << "115200 8N1";
    QTest::newRow("masks") << sbStart + bytes({10, 0x7f}) + se + sbStart + bytes({11, 255, 255}) + se
                           << QByteArray()
                           << sbStart + bytes({110, 0x7f}) + se + sbStart + bytes({111, 255, 255}) + se
                           << "115200 8N1";
    QTest::newRow("purge drops data before") << bytes({1, 2}) + sbStart + bytes({12, 2}) + se + bytes({3})
                                             << bytes({3}) << sbStart + bytes({112, 2}) + se << "115200 8N1";
    QTest::newRow("signature") << sbStart + bytes({0}) + se << QByteArray()
                               << sbStart + bytes({100}) + QByteArray("VARNEL-TEST") + se << "115200 8N1";
    QTest::newRow("nop and go-ahead")
        << bytes({7, 255, 241, 8, 255, 249}) << bytes({7, 8}) << QByteArray() << "115200 8N1";
}

void TstNetworkLine::telnet()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, answers);
    QFETCH(QString, settings);
    Rfc2217Codec server;
    QByteArray out;
    QCOMPARE(server.fromClient(input, &out), data);
    QCOMPARE(out.toHex(' '), answers.toHex(' '));
    QCOMPARE(server.settings().text(), settings);
    QCOMPARE(server.takeProblem(), QString());
    // Asked again, an agreed option is not answered a second time (no negotiation loop).
    if (input.size() == 3 && std::uint8_t(input.at(0)) == 255 && std::uint8_t(input.at(1)) >= 251) {
        out.clear();
        server.fromClient(input, &out);
        QVERIFY(out.isEmpty() || out == answers); // refused options are refused again
    }
}

void TstNetworkLine::telnetSplitAnywhere()
{
    // The same stream cut at every point gives the same data and answers.
    const QByteArray stream = bytes({9,   255, 255, 255, 251, 44,  255, 250, 44, 1,    0,   0,
                                     255, 255, 255, 255, 255, 240, 255, 253, 0,  0x5a, 255, 255});
    Rfc2217Codec whole;
    QByteArray wholeAnswers;
    const QByteArray wholeData = whole.fromClient(stream, &wholeAnswers);
    QCOMPARE(wholeData, bytes({9, 255, 0x5a, 255}));
    for (int cut = 1; cut < stream.size(); ++cut) {
        Rfc2217Codec split;
        QByteArray answers;
        QByteArray data = split.fromClient(stream.left(cut), &answers);
        data += split.fromClient(stream.mid(cut), &answers);
        QCOMPARE(data, wholeData);
        QCOMPARE(answers, wholeAnswers);
    }
}

void TstNetworkLine::telnetHostile()
{
    // Malformed Telnet is reported and skipped; it never ends the parser or leaks into the data.
    const QByteArray sbStart = bytes({255, 250, 44});
    const QByteArray se = bytes({255, 240});
    const QList<QByteArray> hostile = {
        sbStart + QByteArray(Rfc2217Codec::kMaxSubnegotiation + 10, 'x') + se, // too long
        sbStart + bytes({1, 0, 0}) + se,                                        // short baud
        sbStart + bytes({2}) + se,                                              // data size without value
        sbStart + bytes({5, 99}) + se,                                          // undefined control
        sbStart + bytes({12, 7}) + se,                                          // undefined purge
        sbStart + bytes({60}) + se,                                             // unknown command
        bytes({255, 250, 24, 1}) + se,                                          // unagreed option
        sbStart + bytes({1, 0, 0}) + bytes({255, 251, 0}),                      // SB cut by a command
    };
    for (const QByteArray& input : hostile) {
        Rfc2217Codec server;
        QByteArray answers;
        const QByteArray data = server.fromClient(input + bytes({0x41}), &answers);
        QCOMPARE(data, QByteArray("A"));
        QVERIFY2(!server.takeProblem().isEmpty(), input.toHex(' ').constData());
        QCOMPARE(server.settings().text(), QStringLiteral("115200 8N1"));
    }
    // A baud rate no UART runs at is reported and answered with the rate in force.
    for (const std::uint32_t baud : {0xFFFFFFFFu, Rfc2217Codec::kMinBaud - 1, Rfc2217Codec::kMaxBaud + 1}) {
        Rfc2217Codec server;
        QByteArray answers;
        const QByteArray value = bytes({1, std::uint8_t(baud >> 24), std::uint8_t(baud >> 16),
                                        std::uint8_t(baud >> 8), std::uint8_t(baud)});
        QCOMPARE(server.fromClient(sbStart + Rfc2217Codec::escape(value) + se, &answers), QByteArray());
        QCOMPARE(answers.toHex(' '), (sbStart + bytes({101, 0, 1, 0xc2, 0}) + se).toHex(' '));
        QVERIFY(server.takeProblem().contains(QString::number(baud)));
        QCOMPARE(server.settings().text(), QStringLiteral("115200 8N1"));
    }
    // Random bytes: no crash, and the parser still reads a clean frame afterwards.
    QRandomGenerator random(7);
    for (int round = 0; round < 200; ++round) {
        QByteArray noise(int(random.bounded(1, 80)), 0);
        for (char& c : noise)
            c = char(random.bounded(256) < 64 ? 255 : random.bounded(256));
        Rfc2217Codec server;
        QByteArray answers;
        server.fromClient(noise, &answers);
        // Ends any command or subnegotiation the noise left open.
        server.fromClient(bytes({255, 240, 255, 240, 0x41}), &answers);
        QVERIFY(server.fromClient(bytes({0x5a, 255, 255}), &answers).endsWith(bytes({0x5a, 255})));
    }
}

void TstNetworkLine::tcpOneClientAtATime()
{
    Endpoint endpoint;
    QVERIFY(Endpoint::parse(QStringLiteral("tcp:127.0.0.1:0"), &endpoint, nullptr));
    TcpServerTransport line(endpoint);
    QSignalSpy messages(&line, &LineTransport::message);
    QSignalSpy gone(&line, &LineTransport::peerGone);
    QVERIFY(line.open());
    QVERIFY(line.boundPort() != 0);
    QCOMPARE(messages.takeFirst().at(0).toString(),
             QStringLiteral("LISTEN tcp:127.0.0.1:%1").arg(line.boundPort()));
    QCOMPARE(messages.count(), 0); // loopback: no warning

    QTcpSocket first;
    first.connectToHost(QStringLiteral("127.0.0.1"), line.boundPort());
    QVERIFY(first.waitForConnected(2000));
    QTRY_VERIFY(line.hasClient());
    QTcpSocket second;
    second.connectToHost(QStringLiteral("127.0.0.1"), line.boundPort());
    QVERIFY(second.waitForConnected(2000));
    QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(std::any_of(messages.cbegin(), messages.cend(), [](const QList<QVariant>& m) {
        return m.at(0).toString().startsWith(QLatin1String("refused a second client"));
    }));

    QSignalSpy ready(&line, &LineTransport::readyRead);
    first.write(bytes({1, 255, 2}));
    QTRY_VERIFY(!ready.isEmpty());
    QCOMPARE(line.readAll(), bytes({1, 255, 2}));
    line.write(bytes({3, 255}));
    QTRY_COMPARE(first.bytesAvailable(), qint64(2));
    QCOMPARE(first.readAll(), bytes({3, 255}));

    first.disconnectFromHost();
    QTRY_COMPARE(gone.count(), 1);
    QVERIFY(!line.hasClient());
    QVERIFY(line.isOpen());
    QTcpSocket third;
    third.connectToHost(QStringLiteral("127.0.0.1"), line.boundPort());
    QVERIFY(third.waitForConnected(2000));
    QTRY_VERIFY(line.hasClient());
    line.close();
    QVERIFY(!line.isOpen());
}

QTEST_GUILESS_MAIN(TstNetworkLine)
#include "tst_network_line.moc"
