#include "FrameTestSupport.h"
#include "PtyPair.h"

#include "device/Device.h"
#include "device/DeviceRegistry.h"
#include "log/LogManager.h"
#include "service/SetupService.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

using frametest::frameBytes;

namespace {

// Cuts the reply stream into frames with the test's own checksum check.
QList<QByteArray> splitFrames(QByteArray stream, bool* ok)
{
    QList<QByteArray> frames;
    *ok = true;
    while (!stream.isEmpty()) {
        if (stream.size() < 9 || stream.left(4) != QByteArray("\x5A\xA5\x12\x34", 4)) {
            *ok = false;
            return frames;
        }
        const int n = (quint8(stream.at(5)) << 8) | quint8(stream.at(6));
        const QByteArray frame = stream.left(n + 9);
        if (frame.size() != n + 9 || frameBytes(quint8(frame.at(4)), frame.mid(7, n)) != frame) {
            *ok = false;
            return frames;
        }
        frames << frame;
        stream.remove(0, n + 9);
    }
    return frames;
}

QByteArray content(const QByteArray& frame)
{
    return frame.mid(7, frame.size() - 9);
}

// The first content byte of each upload frame: 0 start, 1 record, 2 end.
QList<int> recordMarks(const QList<QByteArray>& frames)
{
    QList<int> marks;
    for (const QByteArray& f : frames)
        marks << quint8(content(f).at(0));
    return marks;
}

} // namespace

class TestSetupService : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PtyPair> m_pty;
    Device* m_device = nullptr;
    QStringList m_log;
    SetupService* service() { return SetupService::instance(); }

    void request(unsigned char cmd, const QByteArray& data = {})
    {
        service()->slot_recvData(m_pty->portPath(), cmd, data);
    }

private slots:
    void initTestCase()
    {
        connect(LogManager::instance(), &LogManager::logAdded, this,
                [this](const QString& line) { m_log << line.mid(22); });
    }

    void init()
    {
        m_pty = std::make_unique<PtyPair>();
        QVERIFY(m_pty->isValid());
        m_device = new Device(m_pty->portPath(), "115200", "8", "1", "None");
        QVERIFY(m_device->Open());
        DeviceRegistry::instance()->addDevice(m_pty->portPath(), m_device);
        DeviceRegistry::instance()->setPortName(m_pty->portPath().toStdString());
        m_log.clear();
    }

    void cleanup()
    {
        DeviceRegistry::instance()->removeDevice(m_pty->portPath());
        m_device = nullptr;
        m_pty.reset();
        service()->slot_maxSendRecordCountChanged(10000);
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
        this->request(static_cast<unsigned char>(cmd), request);
        QCOMPARE(m_pty->read(reply.size() + 9), frameBytes(static_cast<quint8>(cmd), reply));
        QCOMPARE(m_pty->drain(30), QByteArray());
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> 接收数据 - cmd: %2, data: %3")
                                   .arg(m_pty->portPath())
                                   .arg(cmd)
                                   .arg(QString::fromLatin1(request.toHex()))));
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> data: %2")
                                   .arg(m_pty->portPath(), QString::fromLatin1(request.toHex()))));
    }

    void getTimeIsTheLocalClock()
    {
        const QDateTime before = QDateTime::currentDateTime();
        request(0x02);
        const QByteArray frame = m_pty->read(16);
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
        QCOMPARE(m_pty->drain(50), QByteArray());
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
        QCOMPARE(m_pty->read(9), frameBytes(0x09));
        const QStringList lockLines = m_log.filter(QRegularExpression(QStringLiteral(">> 设置(解锁|加锁)")));
        if (line.isEmpty())
            QCOMPARE(lockLines, QStringList());
        else
            QCOMPARE(lockLines, QStringList{QStringLiteral("PORT %1 >> ").arg(m_pty->portPath()) + line});
    }

    void noCurrentDeviceDropsReply()
    {
        DeviceRegistry::instance()->setPortName("/dev/none");
        request(0x04);
        QVERIFY(m_log.contains(QStringLiteral("串口尚未打开!")));
        QCOMPARE(m_pty->drain(50), QByteArray());
        DeviceRegistry::instance()->setPortName(m_pty->portPath().toStdString());
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
        service()->slot_maxSendRecordCountChanged(count);
        const QDateTime before = QDateTime::currentDateTime();
        request(0x0C);
        QVERIFY(!service()->isSending());
        const int records = qMax(count, 0);
        bool ok = false;
        const QList<QByteArray> frames = splitFrames(m_pty->read(14 + 119 * records + 10), &ok);
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
        QCOMPARE(m_log.count(QStringLiteral("PORT %1 >> 发送数据帧").arg(m_pty->portPath())), 1);
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> 发送结束帧").arg(m_pty->portPath())));
    }

    void stopAfterStartFrame()
    {
        service()->slot_maxSendRecordCountChanged(50);
        QTimer::singleShot(0, service(), &SetupService::slot_stopSend); // runs inside the first pause
        request(0x0C);
        bool ok = false;
        const QList<QByteArray> frames = splitFrames(m_pty->read(14 + 10), &ok);
        QVERIFY(ok);
        QCOMPARE(frames.size(), 2);
        QCOMPARE(content(frames.at(1)), QByteArray("\x02", 1));
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> m_bSend is false").arg(m_pty->portPath())));
        QCOMPARE(m_pty->drain(50), QByteArray());
    }

    void countChangeDuringUploadAffectsOnlyLaterUploads()
    {
        service()->slot_maxSendRecordCountChanged(4);
        QTimer::singleShot(0, service(), [this] { service()->slot_maxSendRecordCountChanged(1); });
        request(0x0C);
        bool ok = false;
        QCOMPARE(splitFrames(m_pty->read(14 + 4 * 119 + 10), &ok).size(), 6);
        QVERIFY(ok);
        QCOMPARE(SetupService::maxSendRecordCount(), 1);
    }

    void portClosedMidUpload()
    {
        service()->slot_maxSendRecordCountChanged(100);
        QTimer::singleShot(35, m_device, [this] { m_device->Close(); });
        request(0x0C);
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> device is not open").arg(m_pty->portPath())));
        QVERIFY(m_log.contains(QStringLiteral("串口未打开!"))); // the end frame is dropped
        bool ok = false;
        const QList<QByteArray> frames = splitFrames(m_pty->drain(100), &ok);
        QVERIFY(ok);
        QVERIFY(frames.size() >= 1 && frames.size() < 100);
        QCOMPARE(content(frames.first()).left(1), QByteArray("\x00", 1));
        QVERIFY(content(frames.last()).left(1) != QByteArray("\x02", 1));
    }

    // A record request that arrives during an upload runs a whole upload of its own;
    // the outer one then stops with its own end frame.
    void nestedUpload()
    {
        service()->slot_maxSendRecordCountChanged(3);
        bool nested = false;
        QMetaObject::Connection hook = connect(
            LogManager::instance(), &LogManager::logAdded, this, [this, &nested](const QString& line) {
                if (!nested && line.endsWith(QLatin1String("send file record: No. 0"))) {
                    nested = true; // arrives in the pause after the first record
                    QTimer::singleShot(0, service(), [this] { request(0x0C); });
                }
            });
        request(0x0C);
        disconnect(hook);
        bool ok = false;
        const QList<QByteArray> frames = splitFrames(m_pty->drain(200), &ok);
        QVERIFY(ok);
        const QList<int> marks = recordMarks(frames);
        // outer start, outer record 1, nested start, 3 records, nested end, outer end
        QCOMPARE(marks, (QList<int>{0, 1, 0, 1, 1, 1, 2, 2}));
        QVERIFY(m_log.contains(QStringLiteral("PORT %1 >> m_bSend is false").arg(m_pty->portPath())));
    }

    // Inside a running event loop (the program's case) the request only starts the
    // upload: frames follow from timers, with no event loop nested in the call.
    void uploadInsideEventLoopIsAJob()
    {
        service()->slot_maxSendRecordCountChanged(20);
        QSignalSpy ended(service(), &SetupService::upload_ended);
        QSignalSpy progress(service(), &SetupService::upload_progress);
        QEventLoop loop;
        qint64 callMs = -1;
        bool uploadingAfterCall = false;
        int deepestLoop = 0;
        auto watch = connect(LogManager::instance(), &LogManager::logAdded, this, [&](const QString& line) {
            if (line.contains(QLatin1String("send file record")))
                deepestLoop = qMax(deepestLoop, int(QThread::currentThread()->loopLevel()));
        });
        QTimer::singleShot(0, this, [&] {
            QElapsedTimer t;
            t.start();
            request(0x0C);
            callMs = t.elapsed();
            uploadingAfterCall = service()->isUploading();
        });
        connect(service(), &SetupService::upload_ended, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        disconnect(watch);
        QVERIFY(uploadingAfterCall);
        QVERIFY2(callMs < 50, qPrintable(QString::number(callMs)));
        QCOMPARE(deepestLoop, 1);
        QCOMPARE(ended.count(), 1);
        QVERIFY(!service()->isUploading());
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.first().at(0).toInt(), 0);
        QCOMPARE(progress.last().at(0).toInt(), 20);
        QCOMPARE(progress.last().at(1).toInt(), 20);

        // Arrival times at the PC end: a pause is never shorter than 10 ms, so twenty
        // records cannot arrive in less than twenty pauses after the start frame.
        bool ok = false;
        const QList<QByteArray> frames = splitFrames(m_pty->drain(100), &ok);
        QVERIFY(ok);
        QCOMPARE(frames.size(), 22);
    }

    void pacingNeverShortensThePause()
    {
        service()->slot_maxSendRecordCountChanged(30);
        QElapsedTimer t;
        t.start();
        request(0x0C);
        const qint64 ms = t.elapsed();
        QVERIFY2(ms >= 30 * 10, qPrintable(QString::number(ms)));
        bool ok = false;
        QCOMPARE(splitFrames(m_pty->read(14 + 30 * 119 + 10), &ok).size(), 32);
        QVERIFY(ok);
    }

    // Closing or quitting ends every upload on the stack as the stop button would.
    void endUploadsEndsNestedAndOuter()
    {
        service()->slot_maxSendRecordCountChanged(50);
        QEventLoop loop;
        bool nested = false;
        auto hook = connect(LogManager::instance(), &LogManager::logAdded, this, [&](const QString& line) {
            if (!nested && line.endsWith(QLatin1String("send file record: No. 1"))) {
                nested = true;
                QTimer::singleShot(0, service(), [this] { request(0x0C); });
            } else if (nested && line.endsWith(QLatin1String("send file record: No. 2"))) {
                QTimer::singleShot(0, service(), [this] { service()->endUploads(); });
            }
        });
        connect(service(), &SetupService::upload_ended, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        QTimer::singleShot(0, this, [this] { request(0x0C); });
        loop.exec();
        disconnect(hook);
        QVERIFY(!service()->isUploading());
        QVERIFY(m_device->isOpen());
        bool ok = false;
        const QList<QByteArray> frames = splitFrames(m_pty->drain(200), &ok);
        QVERIFY(ok);
        const QList<int> marks = recordMarks(frames);
        // outer start, 2 records, nested start, 3 records, nested end, outer end
        QCOMPARE(marks, (QList<int>{0, 1, 1, 0, 1, 1, 1, 2, 2}));
        QCOMPARE(m_log.count(QStringLiteral("PORT %1 >> m_bSend is false").arg(m_pty->portPath())), 2);
        QCOMPARE(m_log.count(QStringLiteral("PORT %1 >> 发送结束帧").arg(m_pty->portPath())), 2);
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
