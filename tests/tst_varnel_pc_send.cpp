#include "PtyPair.h"

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

Run runPc(const QStringList& args, int timeoutMs = 20000)
{
    QProcess pc;
    pc.start(kBin + QStringLiteral("/varnel-pc"), args);
    Run run;
    if (!pc.waitForFinished(timeoutMs))
        pc.kill();
    run.exitCode = pc.exitStatus() == QProcess::NormalExit ? pc.exitCode() : -1;
    run.out = QString::fromUtf8(pc.readAllStandardOutput());
    run.err = QString::fromUtf8(pc.readAllStandardError());
    return run;
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
        QTest::newRow("odd hex") << QStringList{"send", "/dev/null", "1", "ABC"} << 2 << "odd length";
        QTest::newRow("not hex") << QStringList{"send", "/dev/null", "1", "ZZ"} << 2 << "not a hex digit";
        QTest::newRow("bad timeout") << QStringList{"send", "--timeout", "x", "/dev/null", "1"} << 2
                                     << "--timeout";
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
