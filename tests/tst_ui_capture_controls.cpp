#include "PtyPair.h"
#include "tst_ui_helpers.h"

#include "capture/CaptureReader.h"
#include "emulator/UnitSession.h"
#include "ui/CaptureControls.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

namespace {

// get-time and get-factory-serial-number, as a PC program sends them.
const QByteArray kGetTime = QByteArray::fromHex("5AA51234020000EE03");
const QByteArray kGetSerial = QByteArray::fromHex("5AA512340400000E02");

} // namespace

class TestCaptureControls : public QObject
{
    Q_OBJECT

private:
    static QCheckBox* box(CaptureControls& c)
    {
        return c.findChild<QCheckBox*>(QStringLiteral("checkBoxCapture"));
    }
    static QLineEdit* file(CaptureControls& c)
    {
        return c.findChild<QLineEdit*>(QStringLiteral("lineEditCaptureFile"));
    }
    static QLabel* status(CaptureControls& c)
    {
        return c.findChild<QLabel*>(QStringLiteral("labelCaptureStatus"));
    }

    static UnitSession::Settings settingsFor(const PtyPair& pty)
    {
        UnitSession::Settings settings;
        settings.portName = pty.portPath();
        return settings;
    }

private slots:
    void capturesTheOpenPortAndLaterOpens()
    {
        QTemporaryDir dir;
        PtyPair pty;
        QVERIFY(pty.isValid());
        UnitSession session;
        CaptureControls controls;
        controls.setUnitSession(&session);
        controls.show();
        QCOMPARE(box(controls)->text(), QStringLiteral("抓包 Capture"));
        const QString path = dir.filePath(QStringLiteral("window.pcap"));
        file(controls)->setText(path);
        box(controls)->click();
        QVERIFY(controls.isCapturing());
        QVERIFY(!file(controls)->isEnabled());

        // Checked before the port opens: the open is captured too.
        const UnitSession::Settings settings = settingsFor(pty);
        QVERIFY(session.open(settings));
        QVERIFY(pty.write(QByteArray::fromHex("FFFF") + kGetTime));
        QCOMPARE(pty.read(9 + 7).size(), 16);
        session.close();
        QVERIFY(session.open(settings));
        QVERIFY(pty.write(kGetSerial));
        QCOMPARE(pty.read(9 + 12).size(), 21);
        box(controls)->click();
        QVERIFY(!controls.isCapturing());
        QCOMPARE(session.lineObserver(), nullptr);
        // Nothing is captured once unchecked.
        QVERIFY(pty.write(kGetTime));
        QCOMPARE(pty.read(16).size(), 16);
        session.close();

        CaptureReader reader;
        QVERIFY2(reader.read(path), qPrintable(reader.error()));
        using D = CapturePacket::Direction;
        QVector<D> directions;
        for (const CapturePacket& packet : reader.packets())
            directions << packet.direction;
        QCOMPARE(directions, (QVector<D>{D::Discarded, D::PcToUnit, D::UnitToPc, D::PcToUnit, D::UnitToPc}));
        QCOMPARE(reader.packets()[0].bytes, QByteArray::fromHex("FFFF"));
        QCOMPARE(reader.packets()[1].bytes, kGetTime);
        QCOMPARE(reader.packets()[3].bytes, kGetSerial);
        QCOMPARE(reader.packets()[4].bytes.mid(7, 12), QByteArray("SERIALNUMBER"));
    }

    // Ticking again never empties a file this window captured to: the next goes beside it.
    void secondCaptureKeepsTheFirstFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("again.pcap"));
        PtyPair pty;
        QVERIFY(pty.isValid());
        UnitSession session;
        CaptureControls controls;
        controls.setUnitSession(&session);
        file(controls)->setText(path);
        box(controls)->click();
        QVERIFY(session.open(settingsFor(pty)));
        QVERIFY(pty.write(kGetTime));
        QCOMPARE(pty.read(16).size(), 16);
        box(controls)->click();
        const qint64 firstSize = QFileInfo(path).size();
        QVERIFY(firstSize > 24); // more than the header

        const QStringList expected = {dir.filePath(QStringLiteral("again-2.pcap")),
                                      dir.filePath(QStringLiteral("again-3.pcap"))};
        QString previous = path;
        for (const QString& next : expected) {
            box(controls)->click();
            QVERIFY(controls.isCapturing());
            QCOMPARE(file(controls)->text(), next);
            QVERIFY2(status(controls)->text().contains(previous), qPrintable(status(controls)->text()));
            QVERIFY(pty.write(kGetSerial));
            QCOMPARE(pty.read(21).size(), 21);
            box(controls)->click();
            QCOMPARE(QFileInfo(path).size(), firstSize);
            CaptureReader reader;
            QVERIFY2(reader.read(next), qPrintable(reader.error()));
            QCOMPARE(reader.packets().size(), 2);
            QCOMPARE(reader.packets()[0].bytes, kGetSerial);
            previous = next;
        }
        session.close();
    }

    void unwritableFileLeavesTheBoxUnchecked_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no folder") << "/nonexistent-dir/c.pcap"
                                   << "";
        // Takes no byte: the system's reason, not a stale errno.
        QTest::newRow("full device") << "/dev/full" << QString::fromLocal8Bit(std::strerror(ENOSPC));
    }

    void unwritableFileLeavesTheBoxUnchecked()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        UnitSession session;
        CaptureControls controls;
        controls.setUnitSession(&session);
        file(controls)->setText(path);
        box(controls)->click();
        QVERIFY(!box(controls)->isChecked());
        QVERIFY(!controls.isCapturing());
        QVERIFY(file(controls)->isEnabled());
        QVERIFY2(status(controls)->text().contains(path), qPrintable(status(controls)->text()));
        QVERIFY2(status(controls)->text().endsWith(reason), qPrintable(status(controls)->text()));
        QCOMPARE(session.lineObserver(), nullptr);
    }
};

int main(int argc, char** argv)
{
    return uitest::runWidgetTests<TestCaptureControls>(argc, argv);
}
#include "tst_ui_capture_controls.moc"
