#include "FrameTestSupport.h"
#include "PtyPair.h"

#include "capture/CaptureReader.h"
#include "capture/CaptureWriter.h"
#include "device/Device.h"
#include "log/LogManager.h"
#include "protocol/FrameView.h"
#include "protocol/WireFormat.h"
#include "transport/LinePacer.h"
#include "transport/LineProbe.h"
#include "transport/MemoryTransport.h"
#include "transport/PortLockHolder.h"
#include "transport/SerialSettings.h"
#include "transport/SerialTransport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

using frametest::frameBytes;

namespace {

// Collects pane messages (prefix removed) from the process-wide log manager.
class LogCapture : public QObject
{
public:
    LogCapture()
    {
        connect(LogManager::instance(), &LogManager::logAdded, this,
                [this](const QString& line) { messages << line.mid(22); });
    }
    bool waitFor(const QString& message, int timeoutMs = 3000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!messages.contains(message) && !deadline.hasExpired())
            QTest::qWait(5);
        return messages.contains(message);
    }
    QStringList messages;
};

// The requests a device hands over, in order.
struct RequestLog
{
    explicit RequestLog(Device& device)
    {
        device.reader()->setRequestSink([this](const UnitRequest& request) { requests.push_back(request); });
    }
    int count() const { return int(requests.size()); }
    std::vector<UnitRequest> requests;
};

std::unique_ptr<Device> makeDevice(const QString& port)
{
    return std::make_unique<Device>(port, std::make_unique<SerialTransport>(port, SerialSettings()));
}

// A device open on the pair's port with its parse thread running; null when the pair or the
// port did not open.
std::unique_ptr<Device> openParsing(const PtyPair& pty)
{
    if (!pty.isValid())
        return nullptr;
    auto device = makeDevice(pty.portPath());
    if (!device->Open())
        return nullptr;
    device->reader()->startParseThread();
    return device;
}

// The unit's way to answer: packed once, the half-duplex turn, then the writer.
bool reply(Device& device, std::uint8_t cmd, const QByteArray& content = QByteArray())
{
    const QByteArray frame = FrameView::build(wire::kAddress, cmd, content);
    if (!device.readyForReply(cmd, frame, false))
        return false;
    device.writer()->write(frame);
    return true;
}

} // namespace

class TestDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<unsigned char>("unsigned char"); }

    void settingMaps()
    {
        QCOMPARE(SerialSettings::baudRateFor("1200"), 1200);
        QCOMPARE(SerialSettings::baudRateFor("57600"), 57600);
        QCOMPARE(SerialSettings::baudRateFor("115200"), 115200);
        QCOMPARE(SerialSettings::baudRateFor("300"), 115200);
        QCOMPARE(SerialSettings::baudRateFor(""), 115200);
        QCOMPARE(SerialSettings::dataBitsFor("5"), QSerialPort::Data5);
        QCOMPARE(SerialSettings::dataBitsFor("7"), QSerialPort::Data7);
        QCOMPARE(SerialSettings::dataBitsFor("9"), QSerialPort::Data8);
        QCOMPARE(SerialSettings::stopBitsFor("1.5"), QSerialPort::OneAndHalfStop);
        QCOMPARE(SerialSettings::stopBitsFor("2"), QSerialPort::TwoStop);
        QCOMPARE(SerialSettings::stopBitsFor("x"), QSerialPort::OneStop);
        QCOMPARE(SerialSettings::parityFor("Odd"), QSerialPort::OddParity);
        QCOMPARE(SerialSettings::parityFor("Even"), QSerialPort::EvenParity);
        QCOMPARE(SerialSettings::parityFor("Mark"), QSerialPort::NoParity);
    }

    void openMissingPortFails()
    {
        auto device = makeDevice(QStringLiteral("/nonexistent/ttyVARNEL"));
        QVERIFY(!device->Open());
        QVERIFY(!device->isOpen());
        QVERIFY(!device->errorString().isEmpty());
    }

    void lockFileNames_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("lockFile");
        QTest::newRow("device") << "/dev/ttyUSB0"
                                << "LCK..ttyUSB0";
        QTest::newRow("bare name") << "ttyS0"
                                   << "LCK..ttyS0";
        QTest::newRow("device subfolder") << "/dev/serial/by-id/usb-x"
                                          << "LCK..serial_by-id_usb-x";
        QTest::newRow("virtual port") << "/tmp/varnel-emu"
                                      << "LCK.._tmp_varnel-emu";
    }
    void lockFileNames()
    {
        QFETCH(QString, port);
        QFETCH(QString, lockFile);
        QCOMPARE(PortLockHolder::lockFileName(port), lockFile);
    }

    // What a port that did not open reports, for the lock files another program may leave.
    // %PID is this process, %DEAD one that has ended, %DIR the lock directory.
    void openErrorNamesTheHolder_data()
    {
        QTest::addColumn<bool>("lockFailed");
        QTest::addColumn<QByteArray>("content"); // empty: no lock file
        QTest::addColumn<QString>("expected");
        const QString locked = QStringLiteral("Permission error while locking the device");
        QTest::newRow("lock file of the library")
            << true << QByteArray("%PID\nvarnel-emu\nhost\n") << "in use by process %PID (tst_device)";
        QTest::newRow("uucp lock file")
            << true << QByteArray("      %PID\n") << "in use by process %PID (tst_device)";
        QTest::newRow("holder has ended")
            << true << QByteArray("%DEAD\n") << "in use by another program (lock file %DIR/LCK..ttyVARNEL)";
        QTest::newRow("no pid") << true << QByteArray("varnel\n")
                                << "in use by another program (lock file %DIR/LCK..ttyVARNEL)";
        QTest::newRow("binary pid") << true << QByteArray("\x01\x02\x00\x00", 4)
                                    << "in use by another program (lock file %DIR/LCK..ttyVARNEL)";
        QTest::newRow("negative pid")
            << true << QByteArray("-1\n") << "in use by another program (lock file %DIR/LCK..ttyVARNEL)";
        QTest::newRow("oversized") << true << QByteArray(100000, '1')
                                   << "in use by another program (lock file %DIR/LCK..ttyVARNEL)";
        QTest::newRow("fifo") << true << QByteArray("FIFO")
                              << "in use by another program (lock file %DIR/LCK..ttyVARNEL)";
        QTest::newRow("no lock file") << true << QByteArray() << locked;
        QTest::newRow("not a lock failure") << false << QByteArray("%PID\n") << locked;
    }
    void openErrorNamesTheHolder()
    {
        QFETCH(bool, lockFailed);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcess ended;
        ended.start(QStringLiteral("true"), QStringList());
        QVERIFY(ended.waitForStarted(5000));
        const QByteArray dead = QByteArray::number(ended.processId());
        QVERIFY(ended.waitForFinished(5000));
        const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
        const QString port = QStringLiteral("/dev/ttyVARNEL");
        if (content == "FIFO") {
            // Read, it would block for good.
            QVERIFY(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("LCK..ttyVARNEL"))).constData(),
                             0600) == 0);
        } else if (!content.isEmpty()) {
            QFile file(dir.filePath(QStringLiteral("LCK..ttyVARNEL")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content.replace("%PID", pid).replace("%DEAD", dead));
        }
        const QString reason = PortLockHolder::openErrorReason(
            port, QStringLiteral("Permission error while locking the device"), lockFailed,
            {dir.filePath(QStringLiteral("missing")), dir.path()});
        expected.replace(QStringLiteral("%PID"), QString::fromLatin1(pid))
            .replace(QStringLiteral("%DIR"), dir.path());
        QCOMPARE(reason, expected);
    }

    // A process chooses its own name: what reaches the terminal has no control characters.
    void holderNameIsPrintable()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("LCK..ttyVARNEL")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(QCoreApplication::applicationPid()) + "\n");
        file.close();
        QVERIFY(::prctl(PR_SET_NAME, "tst\x1b[2J\x07x") == 0);
        const QString reason =
            PortLockHolder::openErrorReason(QStringLiteral("ttyVARNEL"), QString(), true, {dir.path()});
        QVERIFY(::prctl(PR_SET_NAME, "tst_device") == 0);
        QCOMPARE(reason,
                 QStringLiteral("in use by process %1 (tst?[2J?x)").arg(QCoreApplication::applicationPid()));
    }

    void closeWithoutOpenStillLogs()
    {
        LogCapture log;
        auto device = makeDevice(QStringLiteral("/nonexistent/ttyVARNEL"));
        QVERIFY(device->Close());
        QVERIFY(log.messages.contains(QStringLiteral("Device Closed!")));
    }

    void sendOnClosedPortFails()
    {
        LogCapture log;
        auto device = makeDevice(QStringLiteral("/nonexistent/ttyVARNEL"));
        QVERIFY(!reply(*device, 0x01));
        QVERIFY(!reply(*device, 0x04, "X"));
        // The second is a repeat of the first: the log folds it.
        QVERIFY(log.messages.contains(QStringLiteral("串口未打开!")));
    }

    // Requests split, glued and wrapped in noise all come out whole and in order.
    void receivesFrames_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<QList<int>>("commands");
        const QByteArray a = frameBytes(0x02);
        const QByteArray b = frameBytes(0x05, QByteArray("\xB0\xE2\xCA\xD6", 4));
        QTest::newRow("one") << a << 0 << QList<int>{2};
        QTest::newRow("glued") << a + b + a << 0 << QList<int>{2, 5, 2};
        QTest::newRow("single bytes") << b << 1 << QList<int>{5};
        QTest::newRow("noise") << QByteArray("\x00\x5A\x5A\xA5\x11", 5) + a + QByteArray("\xFF\x5A", 2) + b
                               << 3 << QList<int>{2, 5};
    }
    void receivesFrames()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, chunk);
        QFETCH(QList<int>, commands);
        PtyPair pty;
        auto device = openParsing(pty);
        QVERIFY(device);
        RequestLog spy(*device);
        if (chunk == 0) {
            QVERIFY(pty.write(stream));
        } else {
            for (int i = 0; i < stream.size(); i += chunk) {
                QVERIFY(pty.write(stream.mid(i, chunk)));
                QTest::qWait(3);
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), commands.size(), 3000);
        QTest::qWait(50);
        QCOMPARE(spy.count(), commands.size());
        for (int i = 0; i < commands.size(); ++i) {
            const UnitRequest& request = spy.requests[std::size_t(i)];
            QCOMPARE(int(request.command), commands.at(i));
            // The frame as it came, its content inside it, stamped in order as it was cut.
            QVERIFY(stream.contains(request.frame));
            QCOMPARE(request.frame, frameBytes(request.command, request.content));
            QVERIFY(request.arrivedUs > 0);
            QVERIFY(i == 0 || request.arrivedUs >= spy.requests[std::size_t(i - 1)].arrivedUs);
        }
        QCOMPARE(spy.requests.back().content,
                 commands.last() == 5 ? QByteArray("\xB0\xE2\xCA\xD6", 4) : QByteArray());
        device->reader()->stopParseThread();
        QVERIFY(device->Close());
    }

    // Requests come from the parse thread, replies from this thread, into one capture file: every
    // request, discard and reply in order and intact, however the two threads interleave.
    void capturesWhatPassesTheLineFromBothThreads()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        QTemporaryDir dir;
        CaptureWriter writer;
        QVERIFY(writer.open(dir.filePath(QStringLiteral("line.pcap"))));
        auto device = makeDevice(pty.portPath());
        device->setLineObserver(&writer);
        QVERIFY(device->Open());
        device->reader()->startParseThread();
        device->reader()->setRequestSink([&](const UnitRequest& request) { reply(*device, request.command, "OPERATOR"); });
        const QByteArray request = frameBytes(0x10);
        const QByteArray noise("\x00\x5A\xFF", 3);
        constexpr int kRounds = 40;
        for (int i = 0; i < kRounds; ++i) {
            QVERIFY(pty.write(noise + request));
            QCOMPARE(pty.read(17), frameBytes(0x10, "OPERATOR"));
        }
        device->reader()->stopParseThread();
        device->setLineObserver(nullptr);
        writer.close();

        CaptureReader reader;
        QVERIFY2(reader.read(dir.filePath(QStringLiteral("line.pcap"))), qPrintable(reader.error()));
        QCOMPARE(int(reader.packets().size()), 3 * kRounds);
        for (int i = 0; i < kRounds; ++i) {
            const CapturePacket* round = &reader.packets()[std::size_t(3 * i)];
            QCOMPARE(round[0].direction, CapturePacket::Direction::Discarded);
            QCOMPARE(round[0].bytes, noise);
            QCOMPARE(round[1].direction, CapturePacket::Direction::PcToUnit);
            QCOMPARE(round[1].bytes, request);
            QCOMPARE(round[2].direction, CapturePacket::Direction::UnitToPc);
            QCOMPARE(round[2].bytes, frameBytes(0x10, "OPERATOR"));
            QVERIFY(round[0].microseconds <= round[1].microseconds);
            QVERIFY(round[1].microseconds <= round[2].microseconds);
        }
    }

    void badChecksumIsLoggedAndDropped()
    {
        PtyPair pty;
        LogCapture log;
        auto device = openParsing(pty);
        QVERIFY(device);
        QByteArray bad = frameBytes(0x02);
        bad[bad.size() - 1] = 0x04;
        RequestLog spy(*device);
        QVERIFY(pty.write(bad));
        QVERIFY(log.waitFor(QStringLiteral("crc error![EE03]")));
        QCOMPARE(spy.count(), 0);
        device->reader()->stopParseThread();
    }

    void sendsResponseBytes()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        LogCapture log;
        auto device = makeDevice(pty.portPath());
        QVERIFY(device->Open());
        QVERIFY(reply(*device, 0x0D));
        QCOMPARE(pty.read(9).toHex(), QByteArray("5aa512340d0000de00"));
        QVERIFY(log.messages.contains(QStringLiteral("发送消息：清除文件记录")));
        QVERIFY(reply(*device, 0x10, "OPERATOR"));
        QCOMPARE(pty.read(17), frameBytes(0x10, "OPERATOR"));
        // A frame that could not be packed is refused, said, and nothing goes out.
        QVERIFY(!device->readyForReply(0x10, QByteArray(), false));
        QVERIFY(log.messages.contains(QStringLiteral("创建协议帧失败!")));
        QCOMPARE(pty.drain(50), QByteArray());
    }

    void readAfterReplyIsNotLost()
    {
        // A reply still on its way must not be cut by the next read.
        PtyPair pty;
        auto device = openParsing(pty);
        QVERIFY(device);
        RequestLog spy(*device);
        const QByteArray big(4000, 'x');
        QVERIFY(reply(*device, 0x04, big));
        QVERIFY(pty.write(frameBytes(0x02)));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 3000);
        const QByteArray reply = pty.read(4009, 5000);
        QCOMPARE(reply, frameBytes(0x04, big));
        device->reader()->stopParseThread();
    }

    void destroyedWithRunningParseThread()
    {
        PtyPair pty;
        auto device = openParsing(pty);
        QVERIFY(device);
        QVERIFY(device->reader()->isParseThreadRunning());
        device.reset(); // must join, not terminate the process
        QVERIFY(true);
    }

    void vanishedPeerIsReportedOnceAndCloses()
    {
        PtyPair pty;
        LogCapture log;
        auto device = openParsing(pty);
        QVERIFY(device);
        pty.closePeer();
        pty.kill();
        QTRY_VERIFY_WITH_TIMEOUT(!device->isOpen(), 3000);
        const QStringList errors = log.messages.filter(QRegularExpression(QStringLiteral("^串口错误：")));
        QCOMPARE(errors.size(), 1);
        // The reason is the line's own, not a stale one left by the refused DTR call.
        QVERIFY2(!errors.first().contains(QStringLiteral("Inappropriate ioctl")), qPrintable(errors.first()));
        QVERIFY(!reply(*device, 0x01));
        device->reader()->stopParseThread();
        QVERIFY(device->Close());
    }

    // Line timing holds bytes for their time on the line, says when they will have left, lets
    // an orderly end flush them and bounds what a very slow line may hold.
    void lineTimingHoldsBoundsAndFlushes()
    {
        auto [unitEnd, pcEnd] = MemoryTransport::createPair();
        QVERIFY(pcEnd->open());
        QByteArray received;
        connect(pcEnd.get(), &LineTransport::readyRead, this,
                [&, pc = pcEnd.get()] { received += pc->readAll(); });
        Device device(QStringLiteral("memory"), std::move(unitEnd));
        LineTiming timing;
        timing.toPc = true;
        const qint64 secondPerByte = 1000000000;
        device.setLineTiming(timing, secondPerByte);
        QVERIFY(device.Open());
        LogCapture log;
        const qint64 before = LinePacer::nowNs();
        device.writer()->write(QByteArray(100, 'x'));
        QVERIFY(device.writer()->lineFreeAtNs() >= before + 100 * secondPerByte);
        QTest::qWait(50);
        QCOMPARE(received.size(), 0);
        device.writer()->write(QByteArray(int(LineWriter::kMaxLineTimingBytes), 'y'));
        device.writer()->write(QByteArray(10, 'z'));
        QCOMPARE(log.messages.filter(QStringLiteral("line timing: 100 bytes still on their way")).size(), 1);
        device.writer()->flushLineTiming();
        // What did not fit is gone; what did leaves in order.
        QTRY_COMPARE(received, QByteArray(100, 'x') + QByteArray(10, 'z'));
        QVERIFY(device.writer()->lineFreeAtNs() <= LinePacer::nowNs());
        // Closing drops what is held; no timer is left behind.
        device.writer()->write(QByteArray(3, 'w'));
        QVERIFY(device.Close());
        const QList<QTimer*> timers = device.findChildren<QTimer*>();
        QVERIFY(std::none_of(timers.cbegin(), timers.cend(), [](QTimer* t) { return t->isActive(); }));
    }

    // Held writes leave in order, never before their time nor ahead of one held before them;
    // an orderly end writes them now, the line's end lets them go; each held reply's end is told once.
    void heldWritesKeepTheirOrderAndEndWithTheSession()
    {
        enum class End
        {
            Wait,
            Flush,
            Close
        };
        const struct
        {
            const char* name;
            End end;
            QByteArray received;
            QList<QPair<quint64, bool>> told;
        } cases[] = {
            {"waited", End::Wait, "abc", {{1, true}, {2, true}}},
            {"flushed", End::Flush, "abc", {{1, true}, {2, true}}},
            {"closed", End::Close, "", {{1, false}, {2, false}}},
        };
        for (const auto& c : cases) {
            auto [unitEnd, pcEnd] = MemoryTransport::createPair();
            QVERIFY(pcEnd->open());
            Device device(QStringLiteral("memory"), std::move(unitEnd));
            QVERIFY(device.Open());
            LineWriter* writer = device.writer();
            QList<QPair<quint64, bool>> told;
            writer->setHeldEnded(
                [&told](std::uint64_t hold, bool written) { told << qMakePair(quint64(hold), written); });
            const qint64 now = LineWriter::nowNs();
            writer->schedule({"a", now + 80 * 1000000LL, 1, false});
            // Due earlier, yet held behind the first: writes never overtake.
            writer->schedule({"b", now + 1000000LL, 0, false});
            writer->schedule({"c", 0, 2, true});
            QCOMPARE(writer->heldReplies(), std::size_t(2));
            QCOMPARE(writer->heldBytes(), qint64(3));
            QTest::qWait(20);
            QVERIFY2(pcEnd->readAll().isEmpty(), c.name);
            if (c.end == End::Flush)
                writer->flushHeld();
            else if (c.end == End::Close)
                QVERIFY(device.Close());
            QByteArray received;
            QDeadlineTimer deadline(2000);
            while (received.size() < c.received.size() && !deadline.hasExpired()) {
                QTest::qWait(5);
                received += pcEnd->readAll();
            }
            QTest::qWait(100);
            received += pcEnd->readAll();
            QCOMPARE(received, c.received);
            QCOMPARE(told, c.told);
            QVERIFY2(!writer->holdsWrites(), c.name);
        }
    }

    // A terminal whose other side is open is there, however idle; once that side has
    // closed, the probe says so with the system's current reason.
    void lineProbeTellsAHungUpTerminal()
    {
        int master = -1;
        int slave = -1;
        QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        QVERIFY(!LineProbe::check(slave).gone);
        QVERIFY(LineProbe::isPseudoTerminal(slave));
        QVERIFY(!LineProbe::isPseudoTerminal(STDERR_FILENO) || ::isatty(STDERR_FILENO));
        QVERIFY(::write(master, "x", 1) == 1); // unread input is no reason either
        QVERIFY(!LineProbe::check(slave).gone);
        ::close(master);
        const LineProbe::Verdict verdict = LineProbe::check(slave);
        QVERIFY(verdict.gone);
        QVERIFY(!verdict.reason.empty());
        ::close(slave);
        QVERIFY(LineProbe::check(slave).gone); // a closed descriptor
    }
};

QTEST_GUILESS_MAIN(TestDevice)
#include "tst_device.moc"
