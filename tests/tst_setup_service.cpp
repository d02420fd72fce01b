#include "FrameTestSupport.h"

#include "device/Device.h"
#include "emulator/UnitSession.h"
#include "log/LogManager.h"
#include "protocol/FrameExtractor.h"
#include "protocol/FrameView.h"
#include "app/SetupService.h"
#include "transport/MemoryTransport.h"
#include "unit/EmulatedUnit.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <memory>

using frametest::frameBytes;

namespace {

const QString kPort = QStringLiteral("unit-line");
const QString kWindowPort = QStringLiteral("window-line");

// Cuts the reply stream with the protocol's extractor, then checks every frame again with the
// test's own checksum; anything left over or thrown away fails.
QList<QByteArray> splitReplies(QByteArray stream, bool* ok)
{
    const ExtractionResult result =
        FrameExtractor::extract(stream, FrameExtractor::Incomplete::Wait, FrameExtractor::BadChecksum::Keep);
    *ok = stream.isEmpty() && result.discarded.empty();
    QList<QByteArray> frames;
    for (const ReceivedFrame& frame : result.frames) {
        const std::optional<FrameView> view = FrameView::of(frame.raw);
        if (!view || view->address() != 0x1234 || frameBytes(view->command(), view->content()) != frame.raw)
            *ok = false;
        frames << frame.raw;
    }
    return frames;
}

QByteArray content(const QByteArray& frame)
{
    const std::optional<FrameView> view = FrameView::of(frame);
    return view ? view->content() : QByteArray();
}

// The first content byte of each upload frame: 0 start, 1 record, 2 end; -1 for no mark.
QList<int> recordMarks(const QList<QByteArray>& frames)
{
    QList<int> marks;
    for (const QByteArray& f : frames) {
        const std::optional<FrameView> view = FrameView::of(f);
        const std::optional<wire::RecordMark> mark = view ? view->recordMark() : std::nullopt;
        marks << (mark ? int(*mark) : -1);
    }
    return marks;
}

} // namespace

// The unit's handlers on one session over an in-memory line; the PC program's end of the line
// reads what the unit writes. The window's SetupService facade has cases of its own.
class TestSetupService : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<UnitSession> m_session;
    std::unique_ptr<MemoryTransport> m_pc;
    QStringList m_log;

    EmulatedUnit* unit() { return m_session->unit(); }
    SetupService* service() { return SetupService::instance(); }

    // As the fault stage hands a request on.
    void request(unsigned char cmd, const QByteArray& data = {})
    {
        UnitRequest request;
        request.command = cmd;
        request.content = data;
        unit()->handleRequest(kPort, request);
    }

    // What the unit wrote so far: the memory line hands bytes over as they are written.
    QByteArray received()
    {
        QCoreApplication::processEvents();
        return m_pc->readAll();
    }

    // Through the line: the PC end writes a whole frame, the session cuts it and its unit answers.
    QByteArray ask(std::uint8_t cmd, const QByteArray& data, int replySize)
    {
        m_pc->write(frameBytes(cmd, data));
        QByteArray reply;
        QDeadlineTimer guard(5000); // a lost reply fails, not hangs
        while (reply.size() < replySize && !guard.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            reply += m_pc->readAll();
        }
        return reply;
    }

private slots:
    void initTestCase()
    {
        connect(LogManager::instance(), &LogManager::logAdded, this,
                [this](const QString& line) { m_log << line.mid(22); });
    }

    void init()
    {
        auto line = MemoryTransport::createPair(kPort);
        m_pc = std::move(line.second);
        QVERIFY(m_pc->open());
        m_session = std::make_unique<UnitSession>();
        QVERIFY2(m_session->open(kPort, std::move(line.first)), qPrintable(m_session->lastError()));
        m_log.clear();
    }

    void cleanup()
    {
        m_session.reset();
        m_pc.reset();
        service()->slot_maxSendRecordCountChanged(EmulatedUnit::kDefaultRecordCount);
    }

    void replies_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        const QByteArray empty;
        QTest::newRow("set time") << 0x01 << QByteArray::fromHex("07ea0c08090a0b") << empty;
        QTest::newRow("set serial") << 0x03 << QByteArray("SN1") << empty;
        QTest::newRow("get serial") << 0x04 << empty << QByteArray("SERIALNUMBER");
        QTest::newRow("set name") << 0x05 << QByteArray::fromHex("b0e2cad6") << empty;
        QTest::newRow("get name") << 0x06 << empty << QByteArray("DEVICENAME");
        QTest::newRow("set number") << 0x07 << QByteArray("42") << empty;
        QTest::newRow("get number") << 0x08 << empty << QByteArray("DEVICENUMBER");
        QTest::newRow("lock") << 0x09
                              << QByteArray("\x01"
                                            "1234")
                              << empty;
        QTest::newRow("password") << 0x0A << QByteArray("pw") << empty;
        QTest::newRow("usage count") << 0x0B << QByteArray::fromHex("00000064") << empty;
        QTest::newRow("clear records") << 0x0D << empty << empty;
        QTest::newRow("fallback") << 0x0E << QByteArray::fromHex("005a0a") << empty;
        QTest::newRow("set operator") << 0x0F << QByteArray::fromHex("b0e2") << empty;
        QTest::newRow("get operator") << 0x10 << empty << QByteArray("OPERATOR");
        QTest::newRow("torque, any length") << 0x11 << QByteArray(3, '\x7F') << empty;
        QTest::newRow("bolt, empty") << 0x12 << empty << empty;
        QTest::newRow("angle") << 0x13 << QByteArray::fromHex("005a") << empty;
        QTest::newRow("gear") << 0x14 << QByteArray::fromHex("0101000000ff") << empty;
        QTest::newRow("sensor") << 0x15 << QByteArray::fromHex("0000") << empty;
    }
    void replies()
    {
        QFETCH(int, cmd);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        QCOMPARE(ask(static_cast<std::uint8_t>(cmd), request, reply.size() + 9),
                 frameBytes(static_cast<quint8>(cmd), reply));
        QCOMPARE(received(), QByteArray());
        QCOMPARE(m_session->requestCount(), std::uint64_t(1));
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> 接收数据 - cmd: %2, data: %3")
                                   .arg(kPort)
                                   .arg(cmd)
                                   .arg(QString::fromLatin1(request.toHex()))));
        QVERIFY(m_log.contains(
            QStringLiteral("PORT %1 >> data: %2").arg(kPort, QString::fromLatin1(request.toHex()))));
    }

    void getTimeIsTheLocalClock()
    {
        const QDateTime before = QDateTime::currentDateTime();
        request(0x02);
        const QByteArray frame = received();
        QCOMPARE(frame.size(), 16);
        QCOMPARE(frame.left(7), QByteArray::fromHex("5aa51234020007"));
        const QByteArray c = content(frame);
        const QDateTime sent(QDate((quint8(c[0]) << 8) | quint8(c[1]), quint8(c[2]), quint8(c[3])),
                             QTime(quint8(c[4]), quint8(c[5]), quint8(c[6])));
        QVERIFY(sent.isValid());
        QVERIFY(qAbs(before.secsTo(sent)) <= 1);
        QCOMPARE(frame, frameBytes(0x02, c));
    }

    void unknownCommandsAreNotAnswered_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::newRow("0") << 0;
        QTest::newRow("22") << 22;
        QTest::newRow("255") << 255;
    }
    void unknownCommandsAreNotAnswered()
    {
        QFETCH(int, cmd);
        request(static_cast<unsigned char>(cmd), QByteArray("\x01", 1));
        QVERIFY(m_log.contains(QStringLiteral("Unknown CMD[%1]!").arg(cmd)));
        QCOMPARE(received(), QByteArray());
    }

    void lockStatusLogs_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("line"); // empty: no extra line
        QTest::newRow("empty unlocks") << QByteArray() << "设置解锁";
        QTest::newRow("unlock") << QByteArray("\x00", 1) << "设置解锁";
        QTest::newRow("lock, no text") << QByteArray("\x01", 1) << "设置加锁[]";
        QTest::newRow("lock with text") << QByteArray("\x01"
                                                      "abc")
                                        << "设置加锁[abc]";
        QTest::newRow("text cut at zero") << QByteArray("\x01"
                                                        "ab\0cd",
                                                        6)
                                          << "设置加锁[ab]";
        QTest::newRow("utf-8 text") << QByteArray("\x01") + QString::fromUtf8("锁").toUtf8()
                                    << "设置加锁[锁]";
        QTest::newRow("other state") << QByteArray("\x02"
                                                   "x")
                                     << "";
    }
    void lockStatusLogs()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, line);
        request(0x09, data);
        QCOMPARE(received(), frameBytes(0x09));
        const QStringList lockLines = m_log.filter(QRegularExpression(QStringLiteral(">> 设置(解锁|加锁)")));
        if (line.isEmpty())
            QCOMPARE(lockLines, QStringList());
        else
            QCOMPARE(lockLines, QStringList{QStringLiteral("PORT %1 >> ").arg(kPort) + line});
    }

    // The window's facade answers through the session the window puts around its unit.
    void facadeAnswersThroughTheWindowsSession()
    {
        const QString name = kWindowPort;
        auto line = MemoryTransport::createPair(name);
        std::unique_ptr<MemoryTransport> pc = std::move(line.second);
        QVERIFY(pc->open());
        UnitSession window(service()->unit());
        QVERIFY2(window.open(name, std::move(line.first)), qPrintable(window.lastError()));
        QSignalSpy ended(service(), &SetupService::upload_ended);
        QSignalSpy progress(service(), &SetupService::upload_progress);

        service()->slot_recvData(name, 0x04, QByteArray());
        QCOMPARE(pc->readAll(), frameBytes(0x04, "SERIALNUMBER"));

        service()->slot_maxSendRecordCountChanged(2);
        QCOMPARE(SetupService::maxSendRecordCount(), 2);
        service()->slot_recvData(name, 0x0C, QByteArray());
        QVERIFY(!service()->isSending());
        QVERIFY(!service()->isUploading());
        bool ok = false;
        QCOMPARE(recordMarks(splitReplies(pc->readAll(), &ok)), (QList<int>{0, 1, 1, 2}));
        QVERIFY(ok);
        QCOMPARE(ended.count(), 1);
        QCOMPARE(progress.last().at(0).toInt(), 2);

        // The stop button, inside the first pause.
        service()->slot_maxSendRecordCountChanged(50);
        QTimer::singleShot(0, service(), &SetupService::slot_stopSend);
        service()->slot_recvData(name, 0x0C, QByteArray());
        QCOMPARE(recordMarks(splitReplies(pc->readAll(), &ok)), (QList<int>{0, 2}));
        QVERIFY(ok);
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> m_bSend is false").arg(name)));
        // The other session's unit saw none of it.
        QCOMPARE(received(), QByteArray());
        QCOMPARE(unit()->recordCount(), EmulatedUnit::kDefaultRecordCount);

        // Closed, the window's line takes nothing more.
        window.close();
        service()->slot_recvData(name, 0x04, QByteArray());
        QCOMPARE(pc->readAll(), QByteArray());
    }

    void upload_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("three") << 3;
        QTest::newRow("zero") << 0;
        QTest::newRow("negative") << -5;
    }
    void upload()
    {
        QFETCH(int, count);
        unit()->setRecordCount(count);
        const QDateTime before = QDateTime::currentDateTime();
        request(0x0C);
        QVERIFY(!unit()->isSending());
        const int records = qMax(count, 0);
        bool ok = false;
        const QList<QByteArray> frames = splitReplies(received(), &ok);
        QVERIFY(ok);
        QCOMPARE(frames.size(), records + 2);
        QCOMPARE(content(frames.first()),
                 QByteArray("\x00", 1) +
                     QByteArray::fromHex(QByteArray::number(quint32(count), 16).rightJustified(8, '0')));
        for (int i = 0; i < records; ++i) {
            const QByteArray c = content(frames.at(i + 1));
            QCOMPARE(c.size(), 110);
            QCOMPARE(c.left(5).toHex(),
                     QByteArray::number(0x0100000000LL + i + 1, 16).rightJustified(10, '0'));
            QCOMPARE(c.mid(5, 18), QByteArray("5QJW\0\0\0\0\0\0"
                                              "12345678",
                                              18));
            const QDateTime stamp(QDate((quint8(c[23]) << 8) | quint8(c[24]), quint8(c[25]), quint8(c[26])),
                                  QTime(quint8(c[27]), quint8(c[28]), quint8(c[29])));
            QVERIFY(qAbs(before.secsTo(stamp)) <= 2);
            QCOMPARE(c.mid(30, 16), QString::fromUtf8("设备名称").toUtf8() + QByteArray(4, '\0'));
            QCOMPARE(c.mid(46, 8), QByteArray("87654321"));
            QCOMPARE(c.mid(54, 16), QString::fromUtf8("操作人员").toUtf8() + QByteArray(4, '\0'));
            QCOMPARE(c.mid(70).toHex(),
                     QByteArray("0201012c000000800000008131313232333334343535353534343333323231"
                                "31001e001f01010101"));
            QVERIFY(m_log.contains(QStringLiteral("send file record: No. %1").arg(i)));
        }
        QCOMPARE(content(frames.last()), QByteArray("\x02", 1));
        QCOMPARE(m_log.count(QStringLiteral("PORT %1 >> 发送数据帧").arg(kPort)), 1);
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> 发送结束帧").arg(kPort)));
    }

    void stopAfterStartFrame()
    {
        unit()->setRecordCount(50);
        QTimer::singleShot(0, unit(), [this] { unit()->stopUpload(); }); // runs inside the first pause
        request(0x0C);
        bool ok = false;
        const QList<QByteArray> frames = splitReplies(received(), &ok);
        QVERIFY(ok);
        QCOMPARE(frames.size(), 2);
        QCOMPARE(content(frames.at(1)), QByteArray("\x02", 1));
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> m_bSend is false").arg(kPort)));
    }

    void countChangeDuringUploadAffectsOnlyLaterUploads()
    {
        unit()->setRecordCount(4);
        QTimer::singleShot(0, unit(), [this] { unit()->setRecordCount(1); });
        request(0x0C);
        bool ok = false;
        QCOMPARE(splitReplies(received(), &ok).size(), 6);
        QVERIFY(ok);
        QCOMPARE(unit()->recordCount(), 1);
    }

    void portClosedMidUpload()
    {
        unit()->setRecordCount(100);
        bool closed = false;
        auto hook = connect(LogManager::instance(), &LogManager::logAdded, this, [&](const QString& line) {
            if (!closed && line.endsWith(QLatin1String("send file record: No. 2"))) {
                closed = true; // in the pause after the third record
                QTimer::singleShot(0, m_session->device(), [this] { m_session->device()->Close(); });
            }
        });
        request(0x0C);
        disconnect(hook);
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> device is not open").arg(kPort)));
        QVERIFY(m_log.contains(QStringLiteral("串口未打开!"))); // the end frame is dropped
        bool ok = false;
        const QList<QByteArray> frames = splitReplies(received(), &ok);
        QVERIFY(ok);
        QCOMPARE(recordMarks(frames), (QList<int>{0, 1, 1, 1}));
    }

    // A record request that arrives during an upload runs a whole upload of its own;
    // the outer one then stops with its own end frame.
    void nestedUpload()
    {
        unit()->setRecordCount(3);
        bool nested = false;
        QMetaObject::Connection hook = connect(
            LogManager::instance(), &LogManager::logAdded, this, [this, &nested](const QString& line) {
                if (!nested && line.endsWith(QLatin1String("send file record: No. 0"))) {
                    nested = true; // arrives in the pause after the first record
                    QTimer::singleShot(0, unit(), [this] { request(0x0C); });
                }
            });
        request(0x0C);
        disconnect(hook);
        bool ok = false;
        const QList<QByteArray> frames = splitReplies(received(), &ok);
        QVERIFY(ok);
        // outer start, outer record 1, nested start, 3 records, nested end, outer end
        QCOMPARE(recordMarks(frames), (QList<int>{0, 1, 0, 1, 1, 1, 2, 2}));
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> m_bSend is false").arg(kPort)));
    }

    // Inside a running event loop (the program's case) the request only starts the
    // upload: frames follow from timers, with no event loop nested in the call.
    void uploadInsideEventLoopIsAJob()
    {
        unit()->setRecordCount(20);
        QSignalSpy ended(unit(), &EmulatedUnit::upload_ended);
        QSignalSpy progress(unit(), &EmulatedUnit::upload_progress);
        QEventLoop loop;
        int framesAfterCall = -1;
        bool uploadingAfterCall = false;
        int deepestLoop = 0;
        auto watch = connect(LogManager::instance(), &LogManager::logAdded, this, [&](const QString& line) {
            if (line.contains(QLatin1String("send file record")))
                deepestLoop = qMax(deepestLoop, int(QThread::currentThread()->loopLevel()));
        });
        QByteArray stream;
        QTimer::singleShot(0, this, [&] {
            request(0x0C);
            // The call returned with only the start frame out: the records are still to come.
            stream = m_pc->readAll();
            bool ok = false;
            framesAfterCall = splitReplies(stream, &ok).size();
            uploadingAfterCall = unit()->isUploading();
        });
        connect(unit(), &EmulatedUnit::upload_ended, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        disconnect(watch);
        QVERIFY(uploadingAfterCall);
        QCOMPARE(framesAfterCall, 1);
        QCOMPARE(deepestLoop, 1);
        QCOMPARE(ended.count(), 1);
        QVERIFY(!unit()->isUploading());
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.first().at(0).toInt(), 0);
        QCOMPARE(progress.last().at(0).toInt(), 20);
        QCOMPARE(progress.last().at(1).toInt(), 20);
        bool ok = false;
        const QList<QByteArray> frames = splitReplies(stream + received(), &ok);
        QVERIFY(ok);
        QCOMPARE(frames.size(), 22);
    }

    // Thirty records cannot leave in less than thirty pauses after the start frame.
    void pacingNeverShortensThePause()
    {
        unit()->setRecordCount(30);
        QElapsedTimer t;
        t.start();
        request(0x0C);
        const qint64 ms = t.elapsed();
        QVERIFY2(ms >= 30 * 10, qPrintable(QString::number(ms)));
        bool ok = false;
        QCOMPARE(splitReplies(received(), &ok).size(), 32);
        QVERIFY(ok);
    }

    // Closing or quitting ends every upload on the stack as the stop button would.
    void endUploadsEndsNestedAndOuter()
    {
        unit()->setRecordCount(50);
        QEventLoop loop;
        bool nested = false;
        auto hook = connect(LogManager::instance(), &LogManager::logAdded, this, [&](const QString& line) {
            if (!nested && line.endsWith(QLatin1String("send file record: No. 1"))) {
                nested = true;
                QTimer::singleShot(0, unit(), [this] { request(0x0C); });
            } else if (nested && line.endsWith(QLatin1String("send file record: No. 2"))) {
                QTimer::singleShot(0, unit(), [this] { unit()->endUploads(); });
            }
        });
        connect(unit(), &EmulatedUnit::upload_ended, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        QTimer::singleShot(0, this, [this] { request(0x0C); });
        loop.exec();
        disconnect(hook);
        QVERIFY(!unit()->isUploading());
        QVERIFY(m_session->device()->isOpen());
        bool ok = false;
        const QList<QByteArray> frames = splitReplies(received(), &ok);
        QVERIFY(ok);
        // outer start, 2 records, nested start, 3 records, nested end, outer end
        QCOMPARE(recordMarks(frames), (QList<int>{0, 1, 1, 0, 1, 1, 1, 2, 2}));
        QCOMPARE(m_log.count(QStringLiteral("PORT %1 >> m_bSend is false").arg(kPort)), 2);
        QCOMPARE(m_log.count(QStringLiteral("PORT %1 >> 发送结束帧").arg(kPort)), 2);
    }

    void pauseLastsAtLeastItsTime()
    {
        QElapsedTimer t;
        t.start();
        service()->waitProcessingEvents(20);
        QVERIFY(t.elapsed() >= 19);
    }
};

QTEST_GUILESS_MAIN(TestSetupService)
#include "tst_setup_service.moc"
