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
