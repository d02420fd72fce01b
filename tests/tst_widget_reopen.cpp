#include "PtyPair.h"
#include "tst_ui_helpers.h"

#include "app/DeviceRegistry.h"
#include "app/Widget.h"
#include "device/Device.h"
#include "util/ResidentMemory.h"

#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QtTest>

namespace {

int entries(const char* directory)
{
    return QDir(QString::fromLatin1(directory)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
}

} // namespace

// Opening and closing a port many times must leave no thread, descriptor or memory behind.
class TestWidgetReopen : public QObject
{
    Q_OBJECT

private slots:
    void reopenTwoHundredTimes()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        pty.closePeer();
        Widget window;
        window.show();
        auto* port = window.findChild<QComboBox*>(QStringLiteral("comboBoxPortName"));
        auto* open = window.findChild<QPushButton*>(QStringLiteral("pushButtonOpenSerial"));
        QVERIFY(port && open);
        port->setEditText(pty.portPath());

        const auto cycle = [&] {
            QTest::mouseClick(open, Qt::LeftButton);
            const Device* device = DeviceRegistry::instance()->currentDevice();
            QVERIFY(device && device->portName() == pty.portPath());
            QTest::mouseClick(open, Qt::LeftButton);
            QVERIFY(!DeviceRegistry::instance()->currentDevice());
        };
        for (int i = 0; i < 5; ++i) // warm up lazily created Qt state
            cycle();
        QCoreApplication::processEvents();
        const int threads = entries("/proc/self/task");
        const int fds = entries("/proc/self/fd");
        const long rss = util::residentKb();

        for (int i = 0; i < 200; ++i)
            cycle();
        QCoreApplication::processEvents();

        QCOMPARE(entries("/proc/self/task"), threads);
        const int fdsAfter = entries("/proc/self/fd");
        QVERIFY2(fdsAfter <= fds,
                 qPrintable(QStringLiteral("%1 descriptors, %2 before").arg(fdsAfter).arg(fds)));
        const long grown = util::residentKb() - rss;
        qInfo("RSS growth over 200 cycles: %ld kB", grown);
#if !defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer keeps freed memory in quarantine; there LeakSanitizer does this job.
        QVERIFY2(grown < 8 * 1024, qPrintable(QStringLiteral("RSS grew by %1 kB").arg(grown)));
#endif
        QCOMPARE(open->text(), QStringLiteral("打开串口\nOpen"));
    }
};

int main(int argc, char** argv)
{
    return uitest::runWidgetTests<TestWidgetReopen>(argc, argv);
}

#include "tst_widget_reopen.moc"
