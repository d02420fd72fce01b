#include "DataColumns.h"

#include <QDate>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString kApp = QStringLiteral(VARNEL_BIN_DIR "/varnel-test");

QString logName(int number = -1)
{
    const QString day = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    return number < 0 ? QStringLiteral("varnelTest%1.log").arg(day)
                      : QStringLiteral("varnelTest%1(%2).log").arg(day).arg(number);
}

// Starts the window in `dir` and ends it once the file shows `welcomes` welcome lines.
QStringList runUntilWelcome(const QString& dir, const QString& expectedLog, int welcomes = 1)
{
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    app.setProcessEnvironment(env);
    app.setWorkingDirectory(dir);
    app.start(kApp, QStringList());
    QElapsedTimer waited;
    waited.start();
    QByteArray content;
    while (waited.elapsed() < 20000) {
        QFile f(QDir(dir).filePath(expectedLog));
        if (f.open(QIODevice::ReadOnly)) {
            content = f.readAll();
            if (content.count("Welcome to VARNEL 1.0") >= welcomes)
                break;
        }
        QTest::qWait(20);
    }
    app.kill();
    app.waitForFinished(5000);
    return QString::fromUtf8(content).split(QLatin1Char('\n'));
}

} // namespace

class TestAppStartup : public QObject
{
    Q_OBJECT

private slots:
    // Usage, version and a missing display are settled before the window exists. env: NAME=VALUE
    // to set, NAME= to remove. exitCode -1: the window runs (it is ended once it has welcomed).
    void commandLine_data()
    {
        // output: the one line of stderr (or the start of stdout for 0)
        testdata::addColumns<QStringList, QStringList, int, QString>("arguments", "env", "exitCode",
                                                                     "output");
        const QStringList offscreen{QStringLiteral("QT_QPA_PLATFORM=offscreen")};
        const QStringList noDisplay{QStringLiteral("QT_QPA_PLATFORM="), QStringLiteral("DISPLAY="),
                                    QStringLiteral("WAYLAND_DISPLAY=")};
        QTest::newRow("unknown option")
            << QStringList{"--bogus"} << offscreen << 2 << "varnel-test: Unknown option 'bogus'.";
        QTest::newRow("unknown short option")
            << QStringList{"-v"} << offscreen << 2 << "varnel-test: Unknown option 'v'.";
        QTest::newRow("argument") << QStringList{"ttyS0"} << offscreen << 2
                                  << "varnel-test: unexpected argument \"ttyS0\"";
        QTest::newRow("open without port")
            << QStringList{"--open"} << offscreen << 2 << "varnel-test: Missing value after '--open'.";
        QTest::newRow("open empty port")
            << QStringList{"--open", ""} << offscreen << 2 << "varnel-test: --open: expected a port name";
        QTest::newRow("help") << QStringList{"--help"} << noDisplay << 0 << "usage: varnel-test";
        QTest::newRow("short help") << QStringList{"-h"} << noDisplay << 0 << "usage: varnel-test";
        QTest::newRow("version") << QStringList{"--version"} << noDisplay << 0 << "VARNEL-TEST 1.0";
        QTest::newRow("no display") << QStringList() << noDisplay << 1
                                    << "varnel-test: no display: neither DISPLAY nor WAYLAND_DISPLAY is set "
                                       "(-platform offscreen runs without one)";
        QTest::newRow("xcb without DISPLAY")
            << QStringList{"-platform", "xcb"} << noDisplay << 1
            << "varnel-test: no display: DISPLAY is not set for the xcb platform (-platform offscreen runs "
               "without one)";
        QTest::newRow("wayland without WAYLAND_DISPLAY")
            << QStringList() << (noDisplay + QStringList{"QT_QPA_PLATFORM=wayland"}) << 1
            << "varnel-test: no display: WAYLAND_DISPLAY is not set for the wayland platform (-platform "
               "offscreen runs without one)";
        QTest::newRow("display that cannot be reached")
            << QStringList() << (noDisplay + QStringList{"DISPLAY=:89"}) << 1
            << "varnel-test: cannot start the window: ";
        QTest::newRow("Qt options pass")
            << QStringList{"-platform", "offscreen", "-style", "fusion", "-reverse"} << noDisplay << -1
            << QString();
        QTest::newRow("offscreen from the environment") << QStringList() << offscreen << -1 << QString();
        // What a harness reads to find the window's ports, as it reads varnel-emu's (a pattern).
        QTest::newRow("listening lines on standard output")
            << QStringList{"--control", "127.0.0.1:0", "--open", "tcp:127.0.0.1:0"} << offscreen << -1
            << "^\\[[-0-9 :]+\\] CONTROL http://127\\.0\\.0\\.1:[1-9][0-9]*\n"
               "\\[[-0-9 :]+\\] LISTEN tcp:127\\.0\\.0\\.1:[1-9][0-9]*\n$";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, env);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/.X11-unix/X89")));
        QTemporaryDir dir;
        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // No Wayland socket to fall back on.
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        for (const QString& setting : env) {
            const QString name = setting.section(QLatin1Char('='), 0, 0);
            const QString value = setting.section(QLatin1Char('='), 1);
            if (value.isEmpty())
                environment.remove(name);
            else
                environment.insert(name, value);
        }
        app.setProcessEnvironment(environment);
        app.setWorkingDirectory(dir.path());
        app.start(kApp, arguments);
        if (exitCode < 0) {
            QTRY_VERIFY_WITH_TIMEOUT(
                QFile(QDir(dir.path()).filePath(logName())).size() > 0 &&
                    [&] {
                        QFile f(QDir(dir.path()).filePath(logName()));
                        return f.open(QIODevice::ReadOnly) && f.readAll().contains("Welcome to VARNEL 1.0");
                    }(),
                20000);
            QCOMPARE(app.state(), QProcess::Running);
            const QRegularExpression expected(output);
            QString out;
            if (!output.isEmpty())
                QTRY_VERIFY2_WITH_TIMEOUT(
                    expected.match(out += QString::fromUtf8(app.readAllStandardOutput())).hasMatch(),
                    qPrintable(out), 20000);
            app.kill();
            app.waitForFinished(5000);
            return;
        }
        QVERIFY(app.waitForFinished(20000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), exitCode);
        const QString out = QString::fromLocal8Bit(app.readAllStandardOutput());
        const QString errors = QString::fromLocal8Bit(app.readAllStandardError());
        if (exitCode == 0) {
            QVERIFY2(out.startsWith(output), qPrintable(out));
            QCOMPARE(errors, QString());
        } else if (exitCode == 1) {
            QCOMPARE(errors.count(QLatin1Char('\n')), 1);
            QVERIFY2(errors.startsWith(output), qPrintable(errors));
        } else {
            QVERIFY2(errors.startsWith(output + QLatin1Char('\n')), qPrintable(errors));
            QVERIFY(errors.contains(QStringLiteral("usage: varnel-test")));
            QCOMPARE(out, QString());
        }
        // Settled before the log file of the day is chosen (a display that cannot be reached is
        // found only by the application object, after it).
        if (!QByteArray(QTest::currentDataTag()).startsWith("display that"))
            QVERIFY(!QFile::exists(QDir(dir.path()).filePath(logName())));
    }

    // The start-up line is written to the file first and never reaches the pane.
    void startupLineBeforeWelcome()
    {
        QTemporaryDir dir;
        const QStringList lines = runUntilWelcome(dir.path(), logName());
        QVERIFY2(lines.size() >= 3, qPrintable(lines.join('\n')));
        QCOMPARE(lines.at(0), QString());
        QVERIFY2(lines.at(1).contains(QStringLiteral("<INFO> [main:main:")), qPrintable(lines.at(1)));
        QVERIFY2(lines.at(1).endsWith(QStringLiteral("] [0] VARNEL-TEST程序启动...")),
                 qPrintable(lines.at(1)));
        QVERIFY2(lines.at(2).contains(QStringLiteral("Widget::slot_logAdded")), qPrintable(lines.at(2)));
        QVERIFY2(lines.at(2).endsWith(QStringLiteral("Welcome to VARNEL 1.0")), qPrintable(lines.at(2)));
    }

    void secondRunAppends()
    {
        QTemporaryDir dir;
        runUntilWelcome(dir.path(), logName());
        const QStringList lines = runUntilWelcome(dir.path(), logName(), 2);
        QCOMPARE(lines.filter(QStringLiteral("VARNEL-TEST程序启动...")).size(), 2);
    }

    // A name that cannot be opened for appending moves on to the numbered names.
    void blockedNameFallsBackToNumbered()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(logName())); // a directory cannot be opened as a file
        const QStringList lines = runUntilWelcome(dir.path(), logName(0));
        QVERIFY(!lines.filter(QStringLiteral("VARNEL-TEST程序启动...")).isEmpty());
    }

    // With no name usable at all the window still starts, and says so once.
    void noLogFileAtAll()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(logName()));
        for (int n = 0; n < 100; ++n)
            QVERIFY(QDir(dir.path()).mkdir(logName(n)));
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(env);
        app.setWorkingDirectory(dir.path());
        app.start(kApp, QStringList());
        QVERIFY(app.waitForStarted(5000));
        QTest::qWait(1500);
        QCOMPARE(app.state(), QProcess::Running);
        app.kill();
        app.waitForFinished(5000);
        const QString errors = QString::fromUtf8(app.readAllStandardError());
        QCOMPARE(errors.count(QStringLiteral("no log file could be opened")), 1);
        QVERIFY(!QFile::exists(QDir(dir.path()).filePath(logName(100))));
    }
};

QTEST_GUILESS_MAIN(TestAppStartup)
#include "tst_app_startup.moc"
