#include "DataColumns.h"

#include "crash/CrashReport.h"

#include <QProcess>
#include <QtTest>

#include <csignal>
#include <cstdlib>

namespace {

constexpr char kChildVariable[] = "VARNEL_CRASH_CHILD";

// The report must name this function, this file and the faulting line.
__attribute__((noinline)) void crashNow()
{
    // An address no process maps; not null, so the sanitizers let the store fault.
    static volatile std::uintptr_t unmapped = 0x10;
    volatile int* target = reinterpret_cast<volatile int*>(unmapped);
    *target = 42;
}

__attribute__((noinline)) void abortNow()
{
    std::abort();
}

__attribute__((noinline)) int runChild(const QByteArray& kind)
{
    installCrashHandler();
    if (kind == "segv")
        crashNow();
    else if (kind == "abort")
        abortNow();
    return 0;
}

} // namespace

class TestCrashReport : public QObject
{
    Q_OBJECT

private:
    QString runCrashingChild(const char* kind, int* exitSignal)
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildVariable), QString::fromLatin1(kind));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        child.waitForFinished(30000);
        *exitSignal = child.exitStatus() == QProcess::CrashExit ? child.exitCode() : -1;
        return QString::fromUtf8(child.readAllStandardError());
    }

private slots:
    void format_data()
    {
        testdata::addColumns<quint64, quint64, quint64, QString>("code", "address", "flags", "head");
        QTest::newRow("segv") << quint64(11) << quint64(0x10) << quint64(1)
                              << "ErrorCode: 0000000B\nAddress: 00000010\nFlags: 00000001\nCallStack: \n";
        QTest::newRow("above 4 GiB keeps the low digits")
            << quint64(0xC0000005) << quint64(0x7FF612345678ULL) << quint64(0)
            << "ErrorCode: C0000005\nAddress: 12345678\nFlags: 00000000\nCallStack: \n";
    }
    void format()
    {
        QFETCH(quint64, code);
        QFETCH(quint64, address);
        QFETCH(quint64, flags);
        QFETCH(QString, head);
        QCOMPARE(QString::fromStdString(CrashReport::format(code, address, flags, {})), head);
    }

    void formatFrames()
    {
        CallStackEntry known{"app.exe", "Widget::slot_OpenSerial", "Widget.cpp", "120"};
        CallStackEntry unknown;
        unknown.moduleName = "libfoo.so";
        const std::string report = CrashReport::format(11, 0, 0, {known, unknown});
        QVERIFY(QString::fromStdString(report).endsWith(
            "CallStack: \n"
            "Widget::slot_OpenSerial() : [app.exe] (File: Widget.cpp @Line 120)\n"
            "N/A() : [libfoo.so] (File: N/A @Line N/A)\n"));
    }

    void stripParameters_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("plain") << "main"
                               << "main";
        QTest::newRow("params") << "(anonymous namespace)::crashNow()"
                                << "(anonymous namespace)::crashNow";
        QTest::newRow("const method") << "Device::SendData(bool, unsigned char) const"
                                      << "Device::SendData";
        QTest::newRow("template") << "QList<std::pair<int, int> >::append(int)"
                                  << "QList<std::pair<int, int> >::append";
    }
    void stripParameters()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(QString::fromStdString(CrashReport::stripParameters(in.toStdString())), out);
    }

    // A child that faults prints the report and still dies of its signal.
    void segmentationFault()
    {
        int signal = 0;
        const QString report = runCrashingChild("segv", &signal);
        QCOMPARE(signal, SIGSEGV);
        QVERIFY2(report.startsWith("ErrorCode: 0000000B\nAddress: 00000010\nFlags: 00000001\nCallStack: \n"),
                 qPrintable(report));
        const QStringList lines = report.split('\n');
        QVERIFY2(lines.size() > 5, qPrintable(report));
        // Innermost first: the faulting function itself, with its file and line.
        const QString first = lines.at(4);
        QVERIFY2(first.contains("crashNow() : [tst_crash_report]"), qPrintable(report));
        QVERIFY2(first.contains("tst_crash_report.cpp @Line "), qPrintable(report));
        QVERIFY2(report.contains("runChild() : [tst_crash_report]"), qPrintable(report));
    }

    void faultLineIsTheStore()
    {
        int signal = 0;
        const QString report = runCrashingChild("segv", &signal);
        const QRegularExpression at(
            QStringLiteral("crashNow\\(\\) : \\[[^]]+\\] \\(File: [^ ]+ @Line (\\d+)\\)"));
        const auto m = at.match(report);
        QVERIFY2(m.hasMatch(), qPrintable(report));
        QCOMPARE(m.captured(1).toInt(), expectedFaultLine());
    }

    void abort()
    {
        int signal = 0;
        const QString report = runCrashingChild("abort", &signal);
        QCOMPARE(signal, SIGABRT);
        QVERIFY2(report.startsWith("ErrorCode: 00000006\n"), qPrintable(report));
        QVERIFY2(report.contains("abortNow() : [tst_crash_report]"), qPrintable(report));
    }

private:
    // The line of the faulting store, read from the source the way a reader would.
    static int expectedFaultLine()
    {
        QFile source(QStringLiteral(VARNEL_SOURCE_DIR "/tests/tst_crash_report.cpp"));
        if (!source.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> lines = source.readAll().split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            if (lines.at(i).trimmed() == "*target = 42;")
                return i + 1;
        }
        return -1;
    }
};

int main(int argc, char* argv[])
{
    const QByteArray kind = qgetenv(kChildVariable);
    if (!kind.isEmpty())
        return runChild(kind);
    QCoreApplication app(argc, argv);
    TestCrashReport test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crash_report.moc"
