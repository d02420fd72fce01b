#include "DataColumns.h"

#include <QProcess>
#include <QtTest>

namespace {

const QString kProgram = QStringLiteral(VARNEL_BIN_DIR "/varnel-pc");
const QString kBinDir = QStringLiteral(VARNEL_BIN_DIR);

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

QByteArray utf8(const QString& text)
{
    return text.toUtf8();
}

const QByteArray kGetTime = utf8(QStringLiteral("5AA5 1234 02 0000    -- 命令：[2]获取时间， 长度：0\n"
                                                "EE03    -- CRC\n"));
const QByteArray kDeviceName = utf8(QStringLiteral("5AA5 1234 05 0004    -- 命令：[5]设置设备名称， 长度：4\n"
                                                   "B0E2CAD6    -- 设备名称：扳手\n"
                                                   "13E0    -- CRC\n"));
const QByteArray kClear = utf8(QStringLiteral("5AA5 1234 0D 0000    -- 命令：[13]清除文件记录， 长度：0\n"
                                              "DE00    -- CRC\n"));
const QByteArray kStart = utf8(QStringLiteral("5AA5 1234 0C 0005    -- 命令：[12]获取文件记录， 长度：5\n"
                                              "00    -- 起始帧标记：0\n"
                                              "00000064    -- 记录数：100\n"
                                              "6861    -- CRC\n"));
const QByteArray kGetTimeAsResponse =
    utf8(QStringLiteral("5AA5 1234 02 0000    -- 命令：[2]获取时间， 长度：0\n"
                        "Frame Content异常！\n"));

} // namespace

class TestVarnelPc : public QObject
{
    Q_OBJECT

private:
    Result runTool(const QStringList& args, const QByteArray& input, const QString& locale)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), locale);
        env.insert(QStringLiteral("LANG"), locale);
        process.setProcessEnvironment(env);
        process.start(kProgram, args);
        Result result;
        if (!process.waitForStarted(-1))
            return result;
        process.write(input);
        process.closeWriteChannel();
        process.waitForFinished(-1);
        if (process.exitStatus() == QProcess::NormalExit)
            result.exitCode = process.exitCode();
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

private slots:
    void initTestCase() { QVERIFY2(QFileInfo::exists(kProgram), qPrintable(kProgram + " is not built")); }

    void render_data()
    {
        testdata::addColumns<QStringList, QByteArray, QString, QByteArray, int, QByteArray>(
            "args", "input", "locale", "out", "exitCode", "err");
        const QStringList twoFrames{"render", "5AA51234020000EE03", "5AA51234050004B0E2CAD613E0"};
        QTest::newRow("arguments, C locale")
            << twoFrames << QByteArray() << "C" << kGetTime + "\n" + kDeviceName << 0 << QByteArray();
        QTest::newRow("arguments, UTF-8 locale")
            << twoFrames << QByteArray() << "C.UTF-8" << kGetTime + "\n" + kDeviceName << 0 << QByteArray();
        QTest::newRow("one argument") << QStringList{"render", "5AA512340D0000DE00"} << QByteArray() << "C"
                                      << kClear << 0 << QByteArray();
        QTest::newRow("response") << QStringList{"render", "--response", "5AA512340C000500000000646861"}
                                  << QByteArray() << "C" << kStart << 0 << QByteArray();
        QTest::newRow("response after the frame")
            << QStringList{"render", "5AA512340C000500000000646861", "--response"} << QByteArray() << "C"
            << kStart << 0 << QByteArray();
        QTest::newRow("double dash ends options") << QStringList{"render", "--", "5AA51234020000EE03"}
                                                  << QByteArray() << "C" << kGetTime << 0 << QByteArray();
        QTest::newRow("arguments, one rejected")
            << QStringList{"render", "--response", "5AA51234020000EE03", "5AA512340C000500000000646861"}
            << QByteArray() << "C" << kGetTimeAsResponse + "\n" + kStart << 1
            << QByteArray("varnel-pc render: frame 1: it renders as a request (without --response)\n");
        QTest::newRow("head error") << QStringList{"render", "5A A6"} << QByteArray() << "C"
                                    << utf8(QStringLiteral("Head异常！\n")) << 1 << QByteArray();
        QTest::newRow("bytes apart, cut after the head")
            << QStringList{"render", "5A A5"} << QByteArray() << "C" << utf8(QStringLiteral("Addr异常！\n"))
            << 1 << QByteArray();
        QTest::newRow("bytes apart: blanks, colons, dashes")
            << QStringList{"render", "5A A5 12 34 02 00 00 EE 03", "5A:A5:12:34:0D:00:00:DE:00",
                           "5a-a5-12-34-05-00-04-b0-e2-ca-d6-13-e0"}
            << QByteArray() << "C" << kGetTime + "\n" + kClear + "\n" + kDeviceName << 0 << QByteArray();
        // The lines stay as they are; what they leave unsaid goes to standard error and fails it.
        QTest::newRow("bad checksum")
            << QStringList{"render", "5AA512340E0003005A0ADAEB"} << QByteArray() << "C"
            << utf8(QStringLiteral("5AA5 1234 0E 0003    -- 命令：[14]设置回退参数， 长度：3\n"
                                   "005A 0A    -- 回退信息，角度：90，电流：10\n"
                                   "DAEB    -- CRC\n"))
            << 1 << QByteArray("varnel-pc render: frame 1: checksum DAEB, computed DAEA\n");
        QTest::newRow("one byte short, second frame")
            << QStringList{"render", "5AA51234020000EE03", "5AA51234020000EE"} << QByteArray() << "C"
            << kGetTime + "\n" + QByteArray(kGetTime).replace("EE03    -- CRC", "00EE    -- CRC") << 1
            << QByteArray("varnel-pc render: frame 2: the frame is 8 bytes, its length field needs 9\n");
        QTest::newRow("two bytes long")
            << QStringList{"render", "5AA51234020000EE0399"} << QByteArray() << "C"
            << QByteArray(kGetTime).replace("EE03    -- CRC", "0399    -- CRC") << 1
            << QByteArray("varnel-pc render: frame 1: the frame is 10 bytes, its length field needs 9\n");
        QTest::newRow("a response as a request")
            << QStringList{"render", "5AA512340C000500000000646861"} << QByteArray() << "C"
            << utf8(QStringLiteral("5AA5 1234 0C 0005    -- 命令：[12]获取文件记录， 长度：5\n"
                                   "Frame Content异常！\n"))
            << 1 << QByteArray("varnel-pc render: frame 1: it renders as a response (--response)\n");
        QTest::newRow("hex error, non-ASCII")
            << QStringList{"render", "5AA51234０２0000"} << QByteArray() << "C"
            << utf8(QStringLiteral("Hex异常！\n")) << 1 << QByteArray();
        QTest::newRow("standard input, two frames")
            << QStringList{"render"} << QByteArray("5AA51234020000EE03\r\n5AA512340D0000DE00\n") << "C"
            << kGetTime + "\n" + kClear << 0 << QByteArray();
        QTest::newRow("standard input, no final break")
            << QStringList{"render"} << QByteArray("5AA51234020000EE03\n5AA51234050004B0E2CAD613E0") << "C"
            << kGetTime + "\n" + kDeviceName << 0 << QByteArray();
        QTest::newRow("standard input, response")
            << QStringList{"render", "--response"} << QByteArray("5AA51234020000EE03\n") << "C"
            << kGetTimeAsResponse << 1
            << QByteArray("varnel-pc render: frame 1: it renders as a request (without --response)\n");
        QTest::newRow("standard input, empty line")
            << QStringList{"render"} << QByteArray("5AA51234020000EE03\n\n") << "C" << kGetTime << 0
            << QByteArray();
        QTest::newRow("standard input, blank lines between and around")
            << QStringList{"render"}
            << QByteArray("\n \t\r\n5AA51234020000EE03\n\r\n  \n5AA512340D0000DE00\n\n") << "C"
            << kGetTime + "\n" + kClear << 0 << QByteArray();
        QTest::newRow("standard input, blank lines and a bad frame")
            << QStringList{"render"} << QByteArray("\n5A A6\n\n") << "C"
            << utf8(QStringLiteral("Head异常！\n")) << 1 << QByteArray();
        QTest::newRow("standard input, only blank lines")
            << QStringList{"render"} << QByteArray("\n\r\n   \n") << "C" << QByteArray() << 0 << QByteArray();
        QTest::newRow("standard input, nothing")
            << QStringList{"render"} << QByteArray() << "C" << QByteArray() << 0 << QByteArray();
    }
    void render()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(QString, locale);
        QFETCH(QByteArray, out);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, err);
        const Result result = runTool(args, input, locale);
        QCOMPARE(result.out, out);
        QCOMPARE(result.err, err);
        QCOMPARE(result.exitCode, exitCode);
    }

    // Bad usage: one line naming the problem and where help is; --help: the usage, on standard output.
    void usage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("text"); // on standard error for 2, else on standard output
        QTest::newRow("no sub-command")
            << QStringList() << 2 << QByteArray("varnel-pc: no command given (see varnel-pc --help)\n");
        QTest::newRow("unknown sub-command")
            << QStringList{"parse", "5AA51234020000EE03"} << 2
            << QByteArray("varnel-pc: unknown command 'parse' (see varnel-pc --help)\n");
        QTest::newRow("unknown option")
            << QStringList{"render", "--request", "5AA51234020000EE03"} << 2
            << QByteArray("varnel-pc render: unknown option '--request' (see varnel-pc --help)\n");
        QTest::newRow("single dash") << QStringList{"render", "-"} << 2
                                     << QByteArray(
                                            "varnel-pc render: unknown option '-' (see varnel-pc --help)\n");
        QTest::newRow("tap without ports")
            << QStringList{"tap", "--capture", "c.pcap"} << 2
            << QByteArray("varnel-pc tap: expected PC_PORT UNIT_PORT (see varnel-pc --help)\n");
        QTest::newRow("learn without captures")
            << QStringList{"learn", "--out", "x"} << 2
            << QByteArray("varnel-pc learn: expected one or more CAPTURE files (see varnel-pc --help)\n");
        QTest::newRow("learn name with a folder")
            << QStringList{"learn", "--name", "a/b", "c.pcap"} << 2
            << QByteArray("varnel-pc learn: --name \"a/b\" is no file name (no folder, no slash) (see "
                          "varnel-pc --help)\n");
        QTest::newRow("learn check with an output")
            << QStringList{"learn", "--check", "--out", "x", "c.pcap", "l.json"} << 2
            << QByteArray(
                   "varnel-pc learn: --check takes CAPTURE LEARNED.json only (see varnel-pc --help)\n");
        QTest::newRow("learn --help")
            << QStringList{"learn", "--help"} << 0 << QByteArray("Usage: varnel-pc learn [--out DIR]");
        QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("  render [--response] [HEX...]\n");
        QTest::newRow("help lists commands") << QStringList{"--help"} << 0 << QByteArray("  commands\n");
        QTest::newRow("help marks the internal one")
            << QStringList{"--help"} << 0 << QByteArray("  dissector-tables\n      (internal)");
        QTest::newRow("render --help") << QStringList{"render", "--help"} << 0
                                       << QByteArray("Usage: varnel-pc render [--response] [HEX...]\n");
        QTest::newRow("send --help") << QStringList{"send", "/dev/null", "--help"} << 0
                                     << QByteArray("Usage: varnel-pc send [--timeout MS]");
        QTest::newRow("send -h lists --parity")
            << QStringList{"send", "-h"} << 0 << QByteArray("  --parity TEXT ");
        QTest::newRow("tap --help") << QStringList{"tap", "--help"} << 0
                                    << QByteArray("Usage: varnel-pc tap ");
        QTest::newRow("replay --help")
            << QStringList{"replay", "--help"} << 0 << QByteArray("Usage: varnel-pc replay ");
        QTest::newRow("commands --help")
            << QStringList{"commands", "--help"} << 0 << QByteArray("Usage: varnel-pc commands\n");
        QTest::newRow("sub-command in capitals")
            << QStringList{"Commands"} << 0
            << QByteArray("0x0C 12  get-file-records           获取文件记录\n");
        QTest::newRow("commands takes no arguments")
            << QStringList{"commands", "x"} << 2
            << QByteArray("varnel-pc commands: takes no arguments (see varnel-pc --help)\n");
    }
    void usage()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, text);
        const Result result = runTool(args, QByteArray(), QStringLiteral("C"));
        QCOMPARE(result.exitCode, exitCode);
        const bool onError = exitCode == 2;
        const QByteArray& shown = onError ? result.err : result.out;
        if (onError)
            QCOMPARE(shown, text); // one line, not the whole usage
        else
            QVERIFY2(shown.contains(text), shown.constData());
        QCOMPARE(onError ? result.out : result.err, QByteArray());
    }

    // Every code of the catalogue, one line each, in order.
    void commandsList()
    {
        const Result result = runTool({QStringLiteral("commands")}, QByteArray(), QStringLiteral("C"));
        QCOMPARE(result.exitCode, 0);
        const QList<QByteArray> lines = result.out.split('\n');
        QCOMPARE(lines.size(), 22); // and the empty piece after the last line break
        for (int code = 1; code <= 21; ++code)
            QVERIFY2(lines.at(code - 1).startsWith(QStringLiteral("0x%1 %2  ")
                                                       .arg(code, 2, 16, QLatin1Char('0'))
                                                       .toUpper()
                                                       .replace(QLatin1String("0X"), QLatin1String("0x"))
                                                       .arg(code, 2)
                                                       .toLatin1()),
                     lines.at(code - 1).constData());
        QVERIFY(lines.at(1).contains("get-time"));
        QVERIFY(lines.at(20).contains("import-sensor-mode-data"));
    }

    // --help and --version of every program answer on standard output with 0, without a display
    // and without starting anything; bad usage keeps 2 and the usage on standard error. Neither
    // writes a log file.
    void conventions_data()
    {
        testdata::addColumns<QString, QStringList, int, bool, QByteArray>("program", "args", "exitCode",
                                                                          "onError", "text");
        const QByteArray version("VARNEL-TEST 1.0\n");
        QTest::newRow("pc --help") << "varnel-pc" << QStringList{"--help"} << 0 << false
                                   << QByteArray("Usage: varnel-pc");
        QTest::newRow("pc -h") << "varnel-pc" << QStringList{"-h"} << 0 << false
                               << QByteArray("Usage: varnel-pc");
        QTest::newRow("pc --version") << "varnel-pc" << QStringList{"--version"} << 0 << false << version;
        QTest::newRow("pc unknown option")
            << "varnel-pc" << QStringList{"--verbose"} << 2 << true
            << QByteArray("varnel-pc: Unknown option 'verbose'. (see varnel-pc --help)\n");
        QTest::newRow("pc send, option without value")
            << "varnel-pc" << QStringList{"send", "/dev/null", "1", "--timeout"} << 2 << true
            << QByteArray("unknown or incomplete option '--timeout'");
        QTest::newRow("pc render --help") << "varnel-pc" << QStringList{"render", "--help"} << 0 << false
                                          << QByteArray("Usage: varnel-pc render");
        QTest::newRow("emu --help") << "varnel-emu" << QStringList{"--help"} << 0 << false
                                    << QByteArray("usage: varnel-emu");
        QTest::newRow("emu --version") << "varnel-emu" << QStringList{"--version"} << 0 << false << version;
        QTest::newRow("emu unknown option")
            << "varnel-emu" << QStringList{"--verbose", "/dev/null"} << 2 << true
            << QByteArray("varnel-emu: Unknown option 'verbose'. (see varnel-emu --help)\n");
        QTest::newRow("emu no port")
            << "varnel-emu" << QStringList() << 2 << true
            << QByteArray("varnel-emu: expected a PORT (or --units FILE) (see varnel-emu --help)\n");
        QTest::newRow("test --help") << "varnel-test" << QStringList{"--help"} << 0 << false
                                     << QByteArray("usage: varnel-test");
        QTest::newRow("test --version") << "varnel-test" << QStringList{"--version"} << 0 << false << version;
        QTest::newRow("bench --help")
            << "varnel-bench" << QStringList{"--help"} << 0 << false << QByteArray("usage: varnel-bench");
        QTest::newRow("bench --version")
            << "varnel-bench" << QStringList{"--version"} << 0 << false << version;
        QTest::newRow("bench unknown option") << "varnel-bench" << QStringList{"--fast"} << 2 << true
                                              << QByteArray("varnel-bench: Unknown option 'fast'.\nusage:");
        QTest::newRow("window-bench --help") << "varnel-window-bench" << QStringList{"--help"} << 0 << false
                                             << QByteArray("usage: varnel-window-bench [N]");
        QTest::newRow("window-bench --version")
            << "varnel-window-bench" << QStringList{"--version"} << 0 << false << version;
        QTest::newRow("window-bench, no count") << "varnel-window-bench" << QStringList{"0"} << 2 << true
                                                << QByteArray("N: \"0\" is not a number from 1 to 99999999");
        QTest::newRow("window-bench, no display")
            << "varnel-window-bench" << QStringList{"5"} << 1 << true
            << QByteArray("varnel-window-bench: no display: neither DISPLAY nor WAYLAND_DISPLAY is set");
        QTest::newRow("peer-bench --help") << "varnel-peer-bench" << QStringList{"--help"} << 0 << false
                                           << QByteArray("usage: varnel-peer-bench");
        QTest::newRow("peer-bench --version")
            << "varnel-peer-bench" << QStringList{"--version"} << 0 << false << version;
    }
    void conventions()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(bool, onError);
        QFETCH(QByteArray, text);
        const QString path = kBinDir + QLatin1Char('/') + program;
        if (program == QLatin1String("varnel-peer-bench") && !QFileInfo::exists(path))
            QSKIP("varnel-peer-bench is built only with libmodbus (make bench-peers)");
        QTemporaryDir dir;
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path()); // no Wayland socket to find
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        process.start(path, args);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        const QByteArray out = process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        const QByteArray& shown = onError ? err : out;
        if (text.startsWith("VARNEL-TEST"))
            QCOMPARE(shown, text);
        else
            QVERIFY2(shown.contains(text), shown.constData());
        QCOMPARE(onError ? out : err, QByteArray());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestVarnelPc)
#include "tst_varnel_pc.moc"
