#include "DataColumns.h"
#include "FrameTestSupport.h"
#include "PtyPair.h"

#include "capture/CaptureWriter.h"

#include <QProcess>
#include <QtTest>

namespace {

const QString kBin = QStringLiteral(VARNEL_BIN_DIR);

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Waits for varnel-pc (killed when it overstays) and adds what it said to `run`.
Run finished(QProcess& pc, Run run, int timeoutMs = 20000)
{
    if (!pc.waitForFinished(timeoutMs))
        pc.kill();
    run.exitCode = pc.exitStatus() == QProcess::NormalExit ? pc.exitCode() : -1;
    run.out = QString::fromUtf8(pc.readAllStandardOutput());
    run.err += QString::fromUtf8(pc.readAllStandardError());
    return run;
}

Run runPc(const QStringList& args, int timeoutMs = 20000)
{
    QProcess pc;
    pc.start(kBin + QStringLiteral("/varnel-pc"), args);
    return finished(pc, Run(), timeoutMs);
}

// varnel-emu on one end of the pair; varnel-pc is pointed at the other.
class EmulatorOnPty
{
public:
    explicit EmulatorOnPty(int records)
    {
        m_pty.closePeer();
        m_emu.setWorkingDirectory(m_dir.path());
        m_emu.setStandardOutputFile(m_dir.filePath(QStringLiteral("emu.out")));
        m_emu.start(kBin + QStringLiteral("/varnel-emu"),
                    {QStringLiteral("--records"), QString::number(records), m_pty.portPath()});
        QElapsedTimer waited;
        waited.start();
        while (!log().contains(QStringLiteral("打开串口成功")) && waited.elapsed() < 10000)
            QTest::qWait(20);
    }
    ~EmulatorOnPty()
    {
        m_emu.terminate();
        m_emu.waitForFinished(5000);
    }
    bool isReady() { return log().contains(QStringLiteral("打开串口成功")); }
    QString peer() const { return m_pty.peerPath(); }
    QString log() const
    {
        QFile f(m_dir.filePath(QStringLiteral("emu.out")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private:
    PtyPair m_pty;
    QTemporaryDir m_dir;
    QProcess m_emu;
};

constexpr std::uint8_t kGetFileRecords = 0x0C;

QByteArray u32(quint32 value)
{
    return QByteArray::fromHex(QByteArray::number(value, 16).rightJustified(8, '0'));
}

QByteArray recordFrame(const QByteArray& content)
{
    return frametest::frameBytes(kGetFileRecords, content);
}

// The emulator's record with a fixed time, 2024-01-02 03:04:05, and the row it makes.
QByteArray record(quint32 sequence)
{
    return "\x01" + u32(sequence) +
           QByteArray::fromHex("35514A57000000000000"
                               "3132333435363738"
                               "07E80102030405"
                               "E8AEBEE5A487E5908DE7A7B000000000"
                               "3837363534333231"
                               "E6938DE4BD9CE4BABAE5919800000000"
                               "0201012C0000008000000081"
                               "31313232333334343535"
                               "35353434333332323131"
                               "001E001F01010101");
}
const QString kOrdinaryRow =
    QStringLiteral("1,5QJW,12345678,2024-01-02 03:04:05,设备名称,87654321,操作人员,2,1,300,128,"
                   "129,1122334455,5544332211,30,31,1,1,1,1");

// varnel-pc send get-file-records against a scripted peer that answers with `frames`;
// `shell` runs varnel-pc ("$0" "$@") under other limits.
Run uploadFromPeer(const QByteArrayList& frames, const QString& csv, const QString& shell = {})
{
    Run run;
    PtyPair pty;
    const QStringList args{"send",         "--timeout",       "1000", "--records-csv", csv,
                           pty.portPath(), "get-file-records"};
    QProcess pc;
    if (shell.isEmpty())
        pc.start(kBin + QStringLiteral("/varnel-pc"), args);
    else
        pc.start(QStringLiteral("sh"), QStringList{"-c", shell, kBin + QStringLiteral("/varnel-pc")} + args);
    if (pty.read(9, 10000) != frametest::frameBytes(kGetFileRecords))
        run.err = QStringLiteral("no get-file-records request from varnel-pc");
    for (const QByteArray& frame : frames)
        pty.write(frame);
    return finished(pc, run);
}

// varnel-pc send get-time against a scripted peer: `before` waits on the line when it opens,
// `reply` is the peer's answer, written at once; `options` go before the port.
Run getTimeFromPeer(const QByteArray& before, const QByteArray& reply, const QStringList& options = {})
{
    Run run;
    PtyPair pty;
    if (!before.isEmpty()) {
        pty.write(before);
        QTest::qWait(100); // through socat into the port's input queue
    }
    QProcess pc;
    pc.start(kBin + QStringLiteral("/varnel-pc"),
             QStringList{"send", "--timeout", "1500"} + options + QStringList{pty.portPath(), "get-time"});
    if (pty.read(9, 10000) != frametest::frameBytes(0x02))
        run.err = QStringLiteral("no get-time request from varnel-pc");
    pty.write(reply);
    return finished(pc, run);
}

// varnel-pc replay of a capture holding `request` and `captured` as the unit's answer, against a
// scripted peer that answers the replayed request with `replayed`, all in one write.
Run replayAgainstPeer(const QByteArray& request, const QByteArrayList& captured,
                      const QByteArrayList& replayed)
{
    Run run;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("one.pcap"));
    CaptureWriter writer;
    if (!writer.open(path)) {
        run.err = writer.error();
        return run;
    }
    writer.write(CapturePacket::Direction::PcToUnit, request);
    for (const QByteArray& frame : captured)
        writer.write(CapturePacket::Direction::UnitToPc, frame);
    writer.close();
    PtyPair pty;
    QProcess pc;
    pc.start(kBin + QStringLiteral("/varnel-pc"), {QStringLiteral("replay"), QStringLiteral("--timeout"),
                                                   QStringLiteral("2000"), path, pty.portPath()});
    if (pty.read(request.size(), 10000) != request)
        run.err = QStringLiteral("no request from varnel-pc replay");
    pty.write(replayed.join());
    return finished(pc, run);
}

QByteArray withBytes(QByteArray content, int offset, const QByteArray& bytes)
{
    return content.replace(offset, bytes.size(), bytes);
}

QByteArray csvRows(const QString& path)
{
    QFile file(path);
    const QByteArray all = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    return all.mid(all.indexOf('\n') + 1);
}

} // namespace

class TestVarnelPcSend : public QObject
{
    Q_OBJECT

private slots:
    void getTimeByName()
    {
        EmulatorOnPty emu(0);
        QVERIFY(emu.isReady());
        const Run run = runPc({QStringLiteral("send"), emu.peer(), QStringLiteral("get-time")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.startsWith(QStringLiteral("> 5AA51234020000EE03\n")), qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral("\n< 5AA5123402000707")), qPrintable(run.out));
        QVERIFY(run.out.contains(QStringLiteral("-- 命令：[2]获取时间， 长度：7")));
    }

    // The emulator's device number is longer than the renderer takes; a note says so.
    void longDeviceNumberNote()
    {
        EmulatorOnPty emu(0);
        QVERIFY(emu.isReady());
        const Run run = runPc({QStringLiteral("send"), emu.peer(), QStringLiteral("get-device-number")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.endsWith(QStringLiteral("    Frame Content异常！\n"
                                                 "    note: device number is 12 bytes; the renderer shows at "
                                                 "most 8\n")),
                 qPrintable(run.out));
    }

    void deviceNumberNoteOnlyWhenTooLong_data()
    {
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<bool>("note");
        QTest::newRow("8 bytes") << QByteArray("12345678") << false;
        QTest::newRow("9 bytes") << QByteArray("123456789") << true;
    }
    void deviceNumberNoteOnlyWhenTooLong()
    {
        QFETCH(QByteArray, number);
        QFETCH(bool, note);
        constexpr std::uint8_t kGetDeviceNumber = 0x08;
        PtyPair pty;
        QVERIFY(pty.isValid());
        QProcess pc;
        pc.start(kBin + QStringLiteral("/varnel-pc"),
                 {QStringLiteral("send"), pty.portPath(), QStringLiteral("get-device-number")});
        QCOMPARE(pty.read(9, 10000), frametest::frameBytes(kGetDeviceNumber));
        pty.write(frametest::frameBytes(kGetDeviceNumber, number));
        QVERIFY(pc.waitForFinished(20000));
        QCOMPARE(pc.exitCode(), 0);
        const QString out = QString::fromUtf8(pc.readAllStandardOutput());
        QCOMPARE(out.contains(QStringLiteral("note: device number is %1 bytes").arg(number.size())), note);
        QCOMPARE(out.contains(QStringLiteral("note:")), note);
    }

    // What arrived is printed as it came; whatever is not the reply asked for fails the run.
    void replyAsReceived_data()
    {
        // lines: on standard output, in order (rendered lines left out)
        // message: on standard error; empty: nothing there
        testdata::addColumns<QByteArray, QByteArray, int, QStringList, QString>("before", "reply", "exitCode",
                                                                                "lines", "message");
        const QByteArray time = QByteArray::fromHex("07E80102030405");
        const QByteArray good = frametest::frameBytes(0x02, time);
        const QString goodHex = QString::fromLatin1(good.toHex().toUpper());
        const QByteArray otherAddress = frametest::frameBytes(0x02, time, 0xBEEF);
        const QByteArray otherCommand = frametest::frameBytes(0x03, time);
        const QByteArray badCrc = frametest::badCrcFrameBytes(0x02, time);
        const auto hex = [](const QByteArray& b) { return QString::fromLatin1(b.toHex().toUpper()); };
        const QString request = QStringLiteral("> 5AA51234020000EE03");
        QTest::newRow("good reply") << QByteArray() << good << 0 << QStringList{request, "< " + goodHex}
                                    << "";
        QTest::newRow("other address")
            << QByteArray() << otherAddress << 1 << QStringList{request, "< " + hex(otherAddress)}
            << QStringLiteral("frame %1: address BEEF, expected 1234\n").arg(hex(otherAddress));
        QTest::newRow("other command")
            << QByteArray() << otherCommand << 1 << QStringList{request, "< " + hex(otherCommand)}
            << "command 0x03 (set-factory-serial-number), expected 0x02 (get-time)\n";
        QTest::newRow("bad checksum")
            << QByteArray() << badCrc << 1 << QStringList{request, "< " + hex(badCrc)}
            << QStringLiteral("frame %1: checksum error: received %2, computed %3\n")
                   .arg(hex(badCrc), hex(badCrc.right(2)), hex(good.right(2)));
        QTest::newRow("duplicate") << QByteArray() << good + good << 1
                                   << QStringList{request, "< " + goodHex, "< " + goodHex}
                                   << "arrived after the complete reply\n";
        const QByteArray noisy = QByteArray::fromHex("0102") + good + QByteArray::fromHex("A5A5A5");
        const QStringList noisyLines{request, "? 0102 (not a frame)", "< " + goodHex,
                                     "? A5A5A5 (not a frame)"};
        QTest::newRow("noise around the reply")
            << QByteArray() << noisy << 1 << noisyLines
            << "varnel-pc send: 5 bytes that are no frame arrived (--allow-noise lets them pass)\n";
        QTest::newRow("noise allowed") << QByteArray() << noisy << 0 << noisyLines << "";
        // A long frame is named by its start and its checksum, with its length.
        const QByteArray longBad = frametest::badCrcFrameBytes(0x02, QByteArray(110, '\x33'));
        QTest::newRow("long frame, bad checksum")
            << QByteArray() << longBad << 1 << QStringList{request, "< " + hex(longBad)}
            << QStringLiteral("frame %1...%2 (119 bytes): checksum error: received %2, computed ")
                   .arg(hex(longBad.left(16)), hex(longBad.right(2)));
        QTest::newRow("reply cut short") << QByteArray() << good.left(10) << 3
                                         << QStringList{request, "? " + goodHex.left(20) + " (not a frame)"}
                                         << "no complete reply within 1500 ms\n";
        QTest::newRow("old bytes waiting")
            << QByteArray::fromHex("5AA5123402") + good << good << 0 << QStringList{request, "< " + goodHex}
            << "discarded 21 bytes waiting on ";
    }
    void replyAsReceived()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, reply);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        QFETCH(QString, message);
        const QStringList options = QByteArray(QTest::currentDataTag()) == "noise allowed"
                                        ? QStringList{"--allow-noise"}
                                        : QStringList();
        const Run run = getTimeFromPeer(before, reply, options);
        QCOMPARE(run.exitCode, exitCode);
        QStringList shown;
        for (const QString& line : run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (!line.startsWith(QLatin1String("    ")))
                shown << line;
        }
        QCOMPARE(shown, lines);
        QVERIFY2(message.isEmpty() ? run.err.isEmpty() : run.err.contains(message), qPrintable(run.err));
        QCOMPARE(run.err.count(QLatin1Char('\n')), message.isEmpty() ? 0 : 1);
    }

    void contentIsSentAsGiven()
    {
        EmulatorOnPty emu(0);
        QVERIFY(emu.isReady());
        const Run run =
            runPc({QStringLiteral("send"), emu.peer(), QStringLiteral("5"), QStringLiteral("b0e2 cad6")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.startsWith(QStringLiteral("> 5AA51234050004B0E2CAD613E0\n")), qPrintable(run.out));
        QVERIFY(run.out.contains(QStringLiteral("< 5AA512340500005FC2")));
        QTRY_VERIFY(emu.log().contains(QStringLiteral("接收数据 - cmd: 5, data: b0e2cad6")));
    }

    void uploadToCsv()
    {
        EmulatorOnPty emu(3);
        QVERIFY(emu.isReady());
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("records.csv"));
        const Run run = runPc({QStringLiteral("send"), QStringLiteral("--records-csv"), csv, emu.peer(),
                               QStringLiteral("get-file-records")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.err, QString()); // no progress line when standard error is no terminal
        QCOMPARE(run.out.count(QStringLiteral("\n< 5AA512340C")), 5);
        QVERIFY(run.out.contains(QStringLiteral("< 5AA512340C00010201F5")));
        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 4);
        QVERIFY(rows.at(0).startsWith(QStringLiteral("sequence,tool_model,serial_number,date_time,")));
        for (int i = 1; i <= 3; ++i) {
            const QStringList f = rows.at(i).split(',');
            QCOMPARE(f.size(), 20);
            QCOMPARE(f.at(0).toInt(), i);
            QCOMPARE(f.mid(4, 3), (QStringList{"设备名称", "87654321", "操作人员"}));
            QCOMPARE(f.mid(9, 3), (QStringList{"300", "128", "129"}));
        }
    }

    void csvTextFields_data()
    {
        testdata::addColumns<int, int, QByteArray, int, QString>("offset", "width", "bytes", "column",
                                                                 "cell");
        QTest::newRow("ordinary record") << 5 << 10 << QByteArray("5QJW") << 1 << "5QJW";
        QTest::newRow("zero byte inside") << 30 << 16 << QByteArray("AB\0CD", 5) << 4 << "hex:4142004344";
        QTest::newRow("carriage return") << 54 << 16 << QByteArray("a\rb") << 6 << "hex:610D62";
        QTest::newRow("line feed") << 82 << 10 << QByteArray("12\n34") << 12 << "hex:31320A3334";
        QTest::newRow("comma and quote") << 5 << 10 << QByteArray("a,\"b") << 1 << "\"a,\"\"b\"";
        QTest::newRow("invalid UTF-8") << 30 << 16 << QByteArray("\xFF\xFEok") << 4 << "hex:FFFE6F6B";
        QTest::newRow("C1 control as UTF-8") << 54 << 16 << QByteArray("x\xC2\x85") << 6 << "hex:78C285";
        QTest::newRow("text beginning with hex:")
            << 82 << 10 << QByteArray("hex:12") << 12 << "hex:6865783A3132";
    }
    void csvTextFields()
    {
        QFETCH(int, offset);
        QFETCH(int, width);
        QFETCH(QByteArray, bytes);
        QFETCH(int, column);
        QFETCH(QString, cell);
        QByteArray r = record(1);
        r.replace(offset, width, bytes.leftJustified(width, '\0'));
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("records.csv"));
        const Run run = uploadFromPeer(
            {recordFrame(QByteArray(1, '\0') + u32(1)), recordFrame(r), recordFrame("\x02")}, csv);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.err, QString());
        QStringList cells = kOrdinaryRow.split(QLatin1Char(','));
        cells[column] = cell;
        QCOMPARE(csvRows(csv), cells.join(QLatin1Char(',')).toUtf8() + '\n');
    }

    void csvUploadEnds_data()
    {
        // rows -1: not checked
        testdata::addColumns<QByteArrayList, QString, int, int, QString>("frames", "shell", "exitCode",
                                                                         "rows", "message");
        const QByteArray start = recordFrame(QByteArray(1, '\0') + u32(3));
        const QByteArray one = recordFrame(record(1)), three = recordFrame(record(3));
        QTest::newRow("all arrive") << QByteArrayList{start, one, recordFrame(record(2)), three} << "" << 0
                                    << 3 << "";
        QTest::newRow("bad checksum")
            << QByteArrayList{start, one, frametest::badCrcFrameBytes(kGetFileRecords, record(2)), three}
            << "" << 1 << 2 << "%1: 1 of 3 announced records missing\n";
        QTest::newRow("record too short") << QByteArrayList{start, one, recordFrame(record(2).left(109))}
                                          << "" << 1 << 1 << "%1: 2 of 3 announced records missing\n";
        QTest::newRow("sequence number twice")
            << QByteArrayList{start, one, recordFrame(record(2)), recordFrame(record(2)), three} << "" << 1
            << 3 << "varnel-pc send: record 2 received again; the first copy is kept\n";
        QTest::newRow("gap by sequence number")
            << QByteArrayList{recordFrame(QByteArray(1, '\0') + u32(5)), one, recordFrame(record(4)),
                              recordFrame(record(5))}
            << "" << 1 << 3 << "%1: no record 2-3\n";
        QTest::newRow("more than announced")
            << QByteArrayList{start, one, recordFrame(record(2)), three, recordFrame(record(4))} << "" << 1
            << 4 << "%1: 4 records, 3 announced\n";
        QTest::newRow("no start frame")
            << QByteArrayList{one} << "" << 1 << 1 << "%1: no start frame arrived";
        // A file size limit fails a later row; with its signal ignored the write returns an error.
        QByteArrayList many{recordFrame(QByteArray(1, '\0') + u32(40))};
        for (quint32 i = 1; i <= 40; ++i)
            many << recordFrame(record(i));
        QTest::newRow("write fails mid-upload") << many << "trap '' XFSZ; ulimit -f 2; exec \"$0\" \"$@\""
                                                << 1 << -1 << "varnel-pc send: cannot write %1: ";
    }
    void csvUploadEnds()
    {
        QFETCH(QByteArrayList, frames);
        QFETCH(QString, shell);
        QFETCH(int, exitCode);
        QFETCH(int, rows);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("records.csv"));
        const Run run = uploadFromPeer(frames << recordFrame("\x02"), csv, shell);
        QCOMPARE(run.exitCode, exitCode);
        // One line naming the file and what is wrong (a system reason in the locale's words).
        QVERIFY2(message.isEmpty()
                     ? run.err.isEmpty()
                     : run.err.contains(message.contains(QLatin1String("%1")) ? message.arg(csv) : message),
                 qPrintable(run.err));
        QVERIFY2(!run.err.contains(QStringLiteral("Unknown error")), qPrintable(run.err));
        // A failed write stops at once; otherwise the upload is read through its end frame.
        QCOMPARE(run.out.contains(QStringLiteral("< 5AA512340C00010201F5")), rows >= 0);
        if (rows >= 0)
            QCOMPARE(csvRows(csv).count('\n'), rows);
    }

    // Where a replayed reply departs from the captured one: a header part, a content field by
    // its label (the layout the codec reads, even where the content's size is wrong), the
    // checksum, or a byte no field covers.
    void replayNamesTheDifference_data()
    {
        testdata::addColumns<int, QByteArrayList, QByteArrayList, int, QString>(
            "command", "captured", "replayed", "exitCode", "line");
        const QByteArray serial = frametest::frameBytes(0x04, "SERIALNUMBER");
        const QByteArray start = recordFrame(QByteArray(1, '\0') + u32(1));
        const QByteArray end = recordFrame("\x02");
        const QByteArray one = recordFrame(record(1));
        const QString upload = QStringLiteral("#1 get-file-records: ");
        const QString serialTitle = QStringLiteral("#1 get-factory-serial-number: ");

        QTest::newRow("text field") << 0x04 << QByteArrayList{serial}
                                    << QByteArrayList{frametest::frameBytes(0x04, "SERIALNUMBEX")} << 4
                                    << serialTitle + "differs in frame 1 at 出厂编号: captured SERIALNUMBER "
                                                     "(53455249414C4E554D424552), replayed SERIALNUMBEX "
                                                     "(53455249414C4E554D424558)";
        QTest::newRow("address") << 0x04 << QByteArrayList{serial}
                                 << QByteArrayList{frametest::frameBytes(0x04, "SERIALNUMBER", 0x4321)} << 4
                                 << serialTitle + "differs in frame 1 at Addr: captured 1234, replayed 4321";
        QTest::newRow("length") << 0x04 << QByteArrayList{serial}
                                << QByteArrayList{frametest::frameBytes(0x04, "SN")} << 4
                                << serialTitle + "differs in frame 1 at 长度: captured 000C, replayed 0002";
        const QByteArray badSerial = frametest::badCrcFrameBytes(0x04, "SERIALNUMBER");
        QTest::newRow("checksum") << 0x04 << QByteArrayList{badSerial} << QByteArrayList{serial} << 4
                                  << serialTitle + "differs in frame 1 at CRC: captured " +
                                         QString::fromLatin1(badSerial.right(2).toHex().toUpper()) +
                                         ", replayed " +
                                         QString::fromLatin1(serial.right(2).toHex().toUpper());
        QTest::newRow("record field by its label")
            << 0x0C << QByteArrayList{start, one, end}
            << QByteArrayList{start, recordFrame(withBytes(record(1), 46, "87654322")), end} << 4
            << upload + "differs in frame 2 at 设备编号: captured 87654321 (3837363534333231), "
                        "replayed 87654322 (3837363534333232)";
        QTest::newRow("record sequence")
            << 0x0C << QByteArrayList{start, one, end} << QByteArrayList{start, recordFrame(record(2)), end}
            << 4 << upload + "differs in frame 2 at 序号: captured 1 (00000001), replayed 2 (00000002)";
        QTest::newRow("record time masked, checksum following")
            << 0x0C << QByteArrayList{start, one, end}
            << QByteArrayList{start,
                              recordFrame(withBytes(record(1), 23, QByteArray::fromHex("07E9050607080A"))),
                              end}
            << 0 << upload + "match (3 frames)";
        // A mark no layout has: the replayed side shows the bytes where the captured field was.
        QTest::newRow("mark of no frame kind")
            << 0x0C << QByteArrayList{start, one, end}
            << QByteArrayList{recordFrame(QByteArray(1, '\3') + u32(1)), one, end} << 4
            << upload + "differs in frame 1 at 起始帧标记: captured 0 (00), replayed 03";
        // A data frame of the wrong size is still read as far as its mark.
        const QByteArray shortRecord = record(1).left(109);
        QTest::newRow("mark of a frame of the wrong size")
            << 0x0C << QByteArrayList{start, recordFrame(shortRecord), end}
            << QByteArrayList{start, recordFrame(withBytes(shortRecord, 0, QByteArray(1, '\0'))), end} << 4
            << upload + "differs in frame 2 at 数据帧标记: captured 1 (01), replayed 0 (00)";
        QTest::newRow("byte no field covers")
            << 0x0C << QByteArrayList{start, recordFrame(shortRecord), end}
            << QByteArrayList{start, recordFrame(withBytes(shortRecord, 100, "9")), end} << 4
            << upload + "differs in frame 2 at byte 107: captured 31, replayed 39";
    }
    void replayNamesTheDifference()
    {
        QFETCH(int, command);
        QFETCH(QByteArrayList, captured);
        QFETCH(QByteArrayList, replayed);
        QFETCH(int, exitCode);
        QFETCH(QString, line);
        const Run run = replayAgainstPeer(frametest::frameBytes(std::uint8_t(command)), captured, replayed);
        QVERIFY2(run.out.contains(line + QLatin1Char('\n')), qPrintable(run.out + run.err));
        QCOMPARE(run.exitCode, exitCode);
    }

    void progressOnTerminal()
    {
        EmulatorOnPty emu(3);
        QVERIFY(emu.isReady());
        const char onPty[] = "import os, pty, subprocess, sys\n"
                             "m, s = pty.openpty()\n"
                             "code = subprocess.call(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=s)\n"
                             "sys.stdout.buffer.write(os.read(m, 65536))\n"
                             "sys.exit(code)\n";
        QProcess python;
        python.start(QStringLiteral("python3"), {"-c", onPty, kBin + QStringLiteral("/varnel-pc"), "send",
                                                 emu.peer(), "get-file-records"});
        QVERIFY(python.waitForFinished(20000));
        QCOMPARE(python.exitCode(), 0);
        const QString seen = QString::fromUtf8(python.readAllStandardOutput());
        QVERIFY2(seen.startsWith(QStringLiteral("\rrecords 0/3")), qPrintable(seen));
        QVERIFY2(
            seen.contains(QRegularExpression(QStringLiteral("\rrecords 3/3, [0-9.]+/s, 0:00 left *\r\n$"))),
            qPrintable(seen));
    }

    void noReplyTimesOut()
    {
        PtyPair pty; // nobody answers on the other end
        QVERIFY(pty.isValid());
        pty.closePeer();
        const Run run = runPc({QStringLiteral("send"), QStringLiteral("--timeout"), QStringLiteral("200"),
                               pty.portPath(), QStringLiteral("2")});
        QCOMPARE(run.exitCode, 3);
        QVERIFY(run.err.contains(QStringLiteral("no complete reply within 200 ms")));
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing code") << QStringList{"send", "/dev/null"} << 2 << "expected PORT CODE [HEX]";
        QTest::newRow("unknown code")
            << QStringList{"send", "/dev/null", "22"} << 2 << "unknown command '22'";
        QTest::newRow("unknown name")
            << QStringList{"send", "/dev/null", "get-tea"} << 2 << "unknown command";
        QTest::newRow("a letter short")
            << QStringList{"send", "/dev/null", "get-tim"} << 2
            << "varnel-pc send: unknown command 'get-tim' (did you mean get-time?) (see varnel-pc --help)\n";
        QTest::newRow("start of two names") << QStringList{"send", "/dev/null", "GET-DEV"} << 2
                                            << "(did you mean get-device-name or get-device-number?)";
        QTest::newRow("text for hex") << QStringList{"send", "/dev/null", "set-device-name", "XYZ"} << 2
                                      << "HEX 'XYZ' is not hex: 'X' is not a hex digit";
        QTest::newRow("odd hex") << QStringList{"send", "/dev/null", "1", "ABC"} << 2 << "odd length";
        QTest::newRow("not hex") << QStringList{"send", "/dev/null", "1", "ZZ"} << 2 << "not a hex digit";
        QTest::newRow("value missing after a flag")
            << QStringList{"send", "--allow-noise", "/dev/null", "1", "--timeout"} << 2
            << "unknown or incomplete option '--timeout'";
        QTest::newRow("bad timeout") << QStringList{"send", "--timeout", "x", "/dev/null", "1"} << 2
                                     << "--timeout";
        QTest::newRow("bad baud") << QStringList{"send", "--baud", "fast", "/dev/null", "1"} << 2
                                  << "--baud needs a positive number, got 'fast'";
        QTest::newRow("zero baud") << QStringList{"send", "--baud", "0", "/dev/null", "1"} << 2
                                   << "--baud needs a positive number, got '0'";
        QTest::newRow("CSV on a full device")
            << QStringList{"send", "--records-csv", "/dev/full", "/dev/null", "get-file-records"} << 1
            << "cannot write /dev/full: ";
        QTest::newRow("CSV in a missing folder")
            << QStringList{"send", "--records-csv", "/nodir/r.csv", "/dev/null", "get-file-records"} << 1
            << "varnel-pc send: cannot write /nodir/r.csv: No such file or directory\n";
        QTest::newRow("bad parity")
            << QStringList{"send", "--parity", "Foo", "/dev/null", "1"} << 2
            << "--parity: \"Foo\" is not one of None Odd Even (see varnel-pc --help)\n";
        QTest::newRow("bad data bits") << QStringList{"send", "--data-bits", "9", "/dev/null", "1"} << 2
                                       << "--data-bits: \"9\" is not one of 8 7 6 5";
        QTest::newRow("bad stop bits (replay)")
            << QStringList{"replay", "--stop-bits", "3", "a.pcap", "/dev/null"} << 2
            << "varnel-pc replay: --stop-bits: \"3\" is not one of 1 1.5 2";
        QTest::newRow("name in capitals, settings taken")
            << QStringList{"send", "--data-bits",      "7",       "--parity", "Even", "--stop-bits",
                           "2",    "/nonexistent/tty", "GET-Time"}
            << 1 << "cannot open /nonexistent/tty";
        QTest::newRow("missing port")
            << QStringList{"send", "/nonexistent/tty", "get-time"} << 1 << "cannot open /nonexistent/tty";
    }
    void badArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const Run run = runPc(args);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
    }
};

QTEST_GUILESS_MAIN(TestVarnelPcSend)
#include "tst_varnel_pc_send.moc"
