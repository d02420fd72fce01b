#include "FrameClock.h"
#include "FrameTestSupport.h"
#include "HttpTestSupport.h"
#include "PtyPair.h"
#include "tst_ui_helpers.h"

#include "app/Widget.h"
#include "control/ControlAddress.h"
#include "device/Device.h"
#include "app/DeviceRegistry.h"
#include "log/Log.h"
#include "log/LogFileWriter.h"
#include "log/LogManager.h"
#include "protocol/FrameExtractor.h"
#include "protocol/FrameView.h"
#include "app/SetupService.h"
#include "ui/BaseSetupWidget.h"
#include "ui/DisplayScale.h"
#include "ui/FaultWidget.h"
#include "ui/HexCmdParseDialog.h"
#include "ui/ToolWidget.h"
#include "unit/EmulatedUnit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>
#include <optional>
#include <thread>
#include <vector>

// The AddressSanitizer build runs a few times slower: its bounds of time widen by this.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kSanitizerSlowdown = 4;
#else
constexpr int kSanitizerSlowdown = 1;
#endif

using frametest::frameBytes;
using uitest::ModalDriver;
using uitest::paneMessages;

namespace {

const QString kOpen = QStringLiteral("打开串口\nOpen");
const QString kClose = QStringLiteral("关闭串口\nClose");
const char* const kComboNames[] = {"comboBoxPortName", "comboBoxBaudRate", "comboBoxDataBits",
                                   "comboBoxParity", "comboBoxStopBits"};

// Checked against the plain CRC rather than the protocol library's.
bool checksumHolds(const QByteArray& frame)
{
    const std::optional<FrameView> view = FrameView::of(frame);
    return view && frame == frameBytes(view->command(), view->content(), view->address());
}

// The frames of a drained stream, cut by the protocol library; nothing when the stream is
// not whole frames or a checksum differs.
std::optional<std::vector<QByteArray>> replyFrames(QByteArray stream)
{
    const qsizetype size = stream.size();
    std::vector<QByteArray> frames = FrameExtractor::cutByLength(stream);
    qsizetype cut = 0;
    for (const QByteArray& frame : frames) {
        cut += frame.size();
        if (!checksumHolds(frame)) {
            qWarning("bad reply %s", frame.toHex().constData());
            return std::nullopt;
        }
    }
    if (cut != size) {
        qWarning("%lld of %lld bytes are no frame", static_cast<long long>(size - cut),
                 static_cast<long long>(size));
        return std::nullopt;
    }
    return frames;
}

} // namespace

class TestWidget : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_logDir;
    QString m_logPath;
    std::unique_ptr<Widget> m_widget;

    template <typename T> T* child(const char* name) const
    {
        T* w = m_widget->findChild<T*>(QLatin1String(name));
        if (!w)
            qWarning("no child %s", name);
        return w;
    }
    QComboBox* combo(const char* name) const { return child<QComboBox>(name); }
    QComboBox* portCombo() const { return combo("comboBoxPortName"); }
    QPushButton* openButton() const { return child<QPushButton>("pushButtonOpenSerial"); }
    QPushButton* searchButton() const { return child<QPushButton>("pushButtonSearchSerial"); }
    // The pane shows logged lines once the event loop is free; tests look at it as if it were.
    QTextEdit* pane() const
    {
        m_widget->flushLogPane();
        return child<QTextEdit>("textEdit");
    }
    QStringList messages() const { return paneMessages(pane()); }
    BaseSetupWidget* baseSetup() const { return m_widget->findChild<BaseSetupWidget*>(); }
    ToolWidget* toolTab() const { return m_widget->findChild<ToolWidget*>(); }

    QString logFile() const
    {
        QFile f(m_logPath);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll());
    }

    void typePort(const QString& text)
    {
        portCombo()->clearEditText();
        QTest::keyClicks(portCombo()->lineEdit(), text);
    }

    void verifyIdle()
    {
        QCOMPARE(openButton()->text(), kOpen);
        QVERIFY(openButton()->isEnabled());
        QVERIFY(searchButton()->isEnabled());
        for (const char* name : kComboNames)
            QVERIFY2(combo(name)->isEnabled(), name);
    }

    void verifyConnected()
    {
        QCOMPARE(openButton()->text(), kClose);
        QVERIFY(openButton()->isEnabled());
        QVERIFY(!searchButton()->isEnabled());
        for (const char* name : kComboNames)
            QVERIFY2(!combo(name)->isEnabled(), name);
    }

    bool waitForMessage(const QString& message, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!messages().contains(message) && !deadline.hasExpired())
            QTest::qWait(5);
        return messages().contains(message);
    }

    void openOverPty(const PtyPair& pty)
    {
        typePort(pty.portPath());
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyConnected();
    }

    void setRecordCount(int count)
    {
        auto* edit = toolTab()->findChild<QLineEdit*>(QStringLiteral("lineEditMaxSendRecordCount"));
        edit->selectAll();
        QTest::keyClicks(edit, QString::number(count));
        QCOMPARE(SetupService::maxSendRecordCount(), count);
    }

    QProgressBar* uploadBar() const
    {
        return toolTab()->findChild<QProgressBar*>(QStringLiteral("progressBarUpload"));
    }

    // Takes the stop connection away; true when there was one.
    bool removeStopConnection()
    {
        return QObject::disconnect(baseSetup(), &BaseSetupWidget::stop_send, SetupService::instance(),
                                   &SetupService::slot_stopSend);
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<unsigned char>("unsigned char");
        QVERIFY(m_logDir.isValid());
        m_logPath = m_logDir.filePath(QStringLiteral("varnelTest.log"));
        QVERIFY(LogFileWriter::instance()->open(QFile::encodeName(m_logPath).constData(), 1));
    }

    void init()
    {
        // A line of its own, so the next window's welcome is no repeat of the last one.
        VLOG(1, QStringLiteral("test %1").arg(QLatin1String(QTest::currentTestFunction())));
        m_widget = std::make_unique<Widget>();
        m_widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_widget.get()));
    }

    void cleanup()
    {
        m_widget.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void scaleFactorTable_data()
    {
        QTest::addColumn<double>("dpi");
        QTest::addColumn<double>("scale");
        QTest::newRow("96") << 96.0 << 1.0;
        QTest::newRow("72") << 72.0 << 1.0;
        QTest::newRow("below 1.2") << 115.19 << 1.0;
        QTest::newRow("1.2") << 115.2 << 1.2;
        QTest::newRow("120") << 120.0 << 1.2;
        QTest::newRow("below 1.5") << 143.99 << 1.2;
        QTest::newRow("144") << 144.0 << 1.5;
        QTest::newRow("below 2") << 191.99 << 1.5;
        QTest::newRow("192") << 192.0 << 2.0;
        QTest::newRow("below 2.5") << 239.99 << 2.0;
        QTest::newRow("240") << 240.0 << 2.5;
        QTest::newRow("below 3") << 287.99 << 2.5;
        QTest::newRow("288") << 288.0 << 3.0;
        QTest::newRow("below 3.5") << 335.99 << 3.0;
        QTest::newRow("336") << 336.0 << 3.5;
        QTest::newRow("below 4") << 383.99 << 3.5;
        QTest::newRow("384") << 384.0 << 4.0;
        QTest::newRow("500") << 500.0 << 4.0;
        QTest::newRow("1000") << 1000.0 << 4.0;
    }

    void scaleFactorTable()
    {
        QFETCH(double, dpi);
        QFETCH(double, scale);
        QCOMPARE(Widget::scaleFactorForDpi(dpi), scale);
    }

    void sizesAndStyleSheetsAtScaleOne()
    {
        QCOMPARE(DisplayScale::factor(), 1.0);
        QCOMPARE(m_widget->windowTitle(), QStringLiteral("VARNEL-TEST V1.0"));
        QCOMPARE(m_widget->minimumSize(), QSize(800, 600));
        QCOMPARE(m_widget->styleSheet(), QStringLiteral("font-size:12px;"));
        auto* serialTabs = child<QTabWidget>("tabWidgetSerialPortSetup");
        QCOMPARE(serialTabs->styleSheet(), QStringLiteral("QTabBar:tab{height:26;}"));
        QCOMPARE(serialTabs->minimumWidth(), 256);
        QCOMPARE(serialTabs->maximumWidth(), 256);
        QCOMPARE(child<QTabWidget>("tabWidgetServiceSetup")->styleSheet(),
                 QStringLiteral("QTabBar:tab{height:26;}"));
        for (const char* name : kComboNames) {
            QCOMPARE(combo(name)->styleSheet(), QStringLiteral("font:bold; font-size:18px; color:black;"));
            QCOMPARE(combo(name)->height(), 36);
        }
        for (const char* name : {"labelPortName", "labelBaudRate", "labelDataBits", "labelParity",
                                 "labelStopBits", "pushButtonSearchSerial", "pushButtonOpenSerial"})
            QCOMPARE(child<QWidget>(name)->height(), 36);
        QCOMPARE(child<QPushButton>("pushButtonClearTextEdit")->size(), QSize(80, 36));
        QCOMPARE(child<QWidget>("widgetClear")->styleSheet(),
                 QStringLiteral("QWidget#widgetClear{background:#92D050;}"));
    }

    void initialSizeAndNeverSmaller()
    {
        Widget w;
        QCOMPARE(w.size(), QSize(800, 600));
        w.resize(300, 200);
        QCOMPARE(w.size(), QSize(800, 600));
    }

    void objectNamesAndCaptions()
    {
        const QList<QPair<const char*, QString>> labels = {{"labelPortName", "串口号\nPort"},
                                                           {"labelBaudRate", "波特率\nBaud Rate"},
                                                           {"labelDataBits", "数据位\nData Bits"},
                                                           {"labelParity", "校验位\nPairty"},
                                                           {"labelStopBits", "停止位\nStop Bits"}};
        for (const auto& l : labels)
            QCOMPARE(child<QLabel>(l.first)->text(), l.second);
        auto* serialTabs = child<QTabWidget>("tabWidgetSerialPortSetup");
        QCOMPARE(serialTabs->count(), 1);
        QCOMPARE(serialTabs->tabText(0), QStringLiteral("串口设置(Seria lPort Sertup)"));
        QCOMPARE(searchButton()->text(), QStringLiteral("搜索串口\nSearch"));
        QCOMPARE(openButton()->text(), kOpen);
        QCOMPARE(child<QPushButton>("pushButtonClearTextEdit")->text(), QStringLiteral("清空\nClear"));
        for (const char* name : {"widget_2", "widget_3", "widget_6", "widgetClear"})
            QVERIFY2(child<QWidget>(name), name);
        QVERIFY(child<QLayout>("gridLayout_2"));
        QVERIFY(child<QLayout>("gridLayout"));
        QCOMPARE(pane()->parentWidget()->objectName(), QStringLiteral("widget_6"));
        QCOMPARE(child<QPushButton>("pushButtonClearTextEdit")->parentWidget()->objectName(),
                 QStringLiteral("widgetClear"));
    }

    // The captions' Chinese is drawn from an installed font, not as the box of a missing glyph.
    void captionsHaveGlyphs()
    {
        for (const char* name :
             {"labelPortName", "labelParity", "pushButtonOpenSerial", "pushButtonClearTextEdit"}) {
            const auto* widget = child<QWidget>(name);
            const QString text = widget->property("text").toString();
            const QFontMetrics metrics(widget->font());
            for (const QChar c : text)
                QVERIFY2(
                    c.isSpace() || metrics.inFont(c),
                    qPrintable(QStringLiteral("%1: no glyph for '%2' of \"%3\" (is a CJK font installed?)")
                                   .arg(QLatin1String(name), QString(c), text)));
        }
    }

    void serviceTabs()
    {
        auto* tabs = child<QTabWidget>("tabWidgetServiceSetup");
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(0), QStringLiteral("基础设置(base setup)"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("工具(tool)"));
        QCOMPARE(tabs->tabText(2), QStringLiteral("故障(faults)"));
        QCOMPARE(tabs->currentIndex(), 0);
        QVERIFY(qobject_cast<BaseSetupWidget*>(tabs->widget(0)));
        QVERIFY(qobject_cast<ToolWidget*>(tabs->widget(1)));
        QVERIFY(qobject_cast<FaultWidget*>(tabs->widget(2)));
    }

    void welcomeLineInPane()
    {
        QCOMPARE(messages().value(0), QStringLiteral("Welcome to VARNEL 1.0"));
        QVERIFY(pane()->toPlainText().startsWith(QLatin1Char('[')));
        QVERIFY(logFile().contains(QStringLiteral("] Welcome to VARNEL 1.0")));
    }

    void comboItems()
    {
        auto items = [](QComboBox* c) {
            QStringList texts;
            for (int i = 0; i < c->count(); ++i)
                texts << c->itemText(i);
            return texts;
        };
        QCOMPARE(items(combo("comboBoxBaudRate")),
                 QStringList({"115200", "57600", "38400", "19200", "9600", "4800", "2400", "1200"}));
        QCOMPARE(items(combo("comboBoxDataBits")), QStringList({"8", "7", "6", "5"}));
        QCOMPARE(items(combo("comboBoxStopBits")), QStringList({"1", "1.5", "2"}));
        QCOMPARE(items(combo("comboBoxParity")), QStringList({"None", "Odd", "Even"}));
        for (const char* name :
             {"comboBoxBaudRate", "comboBoxDataBits", "comboBoxStopBits", "comboBoxParity"})
            QCOMPARE(combo(name)->currentIndex(), 0);
        QStringList ports;
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            ports << info.portName();
        QCOMPARE(items(portCombo()), ports);
        QVERIFY(portCombo()->isEditable());
    }

    void registryAfterConstruction()
    {
        DeviceRegistry* registry = DeviceRegistry::instance();
        registry->setPortName("stale");
        registry->setBaudRate("x");
        registry->setDataBits("x");
        registry->setStopBits("x");
        registry->setParity("x");
        Widget w;
        QCOMPARE(registry->baudRate(), std::string("115200"));
        QCOMPARE(registry->dataBits(), std::string("8"));
        QCOMPARE(registry->stopBits(), std::string("1"));
        QCOMPARE(registry->parity(), std::string("None"));
        const auto ports = QSerialPortInfo::availablePorts();
        auto* open = w.findChild<QPushButton*>(QStringLiteral("pushButtonOpenSerial"));
        if (ports.isEmpty()) {
            QVERIFY(!open->isEnabled());
        } else {
            QCOMPARE(registry->portName(), ports.first().portName().toStdString());
            QVERIFY(open->isEnabled());
        }
    }

    void comboChangesReachRegistry()
    {
        DeviceRegistry* registry = DeviceRegistry::instance();
        combo("comboBoxBaudRate")->setCurrentIndex(3);
        combo("comboBoxDataBits")->setCurrentIndex(2);
        combo("comboBoxStopBits")->setCurrentIndex(1);
        combo("comboBoxParity")->setCurrentIndex(2);
        QCOMPARE(registry->baudRate(), std::string("19200"));
        QCOMPARE(registry->dataBits(), std::string("6"));
        QCOMPARE(registry->stopBits(), std::string("1.5"));
        QCOMPARE(registry->parity(), std::string("Even"));
        typePort(QStringLiteral("/tmp/ttyV"));
        QCOMPARE(registry->portName(), std::string("/tmp/ttyV"));
        portCombo()->lineEdit()->insert(QStringLiteral("端口"));
        QCOMPARE(registry->portName(), std::string("/tmp/ttyV端口"));
    }

    void openButtonFollowsTypedText()
    {
        portCombo()->clearEditText();
        QVERIFY(!openButton()->isEnabled());
        QTest::keyClicks(portCombo()->lineEdit(), QStringLiteral("x"));
        QVERIFY(openButton()->isEnabled());
        QCOMPARE(DeviceRegistry::instance()->portName(), std::string("x"));
        QTest::keyClick(portCombo()->lineEdit(), Qt::Key_Backspace);
        QVERIFY(!openButton()->isEnabled());
    }

    void typedPortIsNotAddedToList()
    {
        const int count = portCombo()->count();
        typePort(QStringLiteral("/tmp/typed"));
        QTest::keyClick(portCombo()->lineEdit(), Qt::Key_Return);
        QCOMPARE(portCombo()->count(), count);
        QCOMPARE(portCombo()->currentText(), QStringLiteral("/tmp/typed"));
    }

    void searchRefreshesList()
    {
        typePort(QStringLiteral("/tmp/typed"));
        QTest::mouseClick(searchButton(), Qt::LeftButton);
        const auto ports = QSerialPortInfo::availablePorts();
        QCOMPARE(portCombo()->count(), ports.size());
        QVERIFY(searchButton()->isEnabled());
        if (ports.isEmpty()) {
            QCOMPARE(portCombo()->currentText(), QString());
            QVERIFY(!openButton()->isEnabled());
        } else {
            QCOMPARE(portCombo()->currentIndex(), 0);
            QCOMPARE(DeviceRegistry::instance()->portName(), ports.first().portName().toStdString());
            QVERIFY(openButton()->isEnabled());
        }
    }

    void openAndCloseOverPty()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        typePort(pty.portPath());
        QCOMPARE(DeviceRegistry::instance()->portName(), pty.portPath().toStdString());
        QVERIFY(openButton()->isEnabled());

        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyConnected();
        QCOMPARE(messages().mid(messages().indexOf(QStringLiteral("Device Opened!"))),
                 QStringList({"Device Opened!", "打开串口成功"}));
        Device* device = DeviceRegistry::instance()->findDevice(pty.portPath());
        QVERIFY(device);
        QVERIFY(device->isOpen());
        QVERIFY(device->reader()->isParseThreadRunning());

        // The window wired the device to the service: a request gets its reply.
        QVERIFY(pty.write(frameBytes(0x02)));
        const QByteArray reply = pty.read(16);
        QCOMPARE(reply.size(), 16);
        QCOMPARE(reply.left(7), QByteArray("\x5A\xA5\x12\x34\x02\x00\x07", 7));
        QCOMPARE(reply, frameBytes(0x02, reply.mid(7, 7)));

        // The receive connection exists while open.
        emit SetupService::instance()->recv_base_setup_rsp(pty.portPath(), 5, QByteArray());
        QVERIFY(messages().contains(QStringLiteral("PORT:%1 >> Recv Data: CMD=5").arg(pty.portPath())));

        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
        QCOMPARE(messages().last(), QStringLiteral("关闭串口"));
        QVERIFY(messages().contains(QStringLiteral("Device Closed!")));
        QVERIFY(!DeviceRegistry::instance()->findDevice(pty.portPath()));

        // Both tab connections went with the close.
        emit SetupService::instance()->recv_base_setup_rsp(pty.portPath(), 6, QByteArray());
        QVERIFY(!messages().contains(QStringLiteral("PORT:%1 >> Recv Data: CMD=6").arg(pty.portPath())));
        QVERIFY(!removeStopConnection());

        // And it opens again.
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyConnected();
        QVERIFY(DeviceRegistry::instance()->findDevice(pty.portPath()));
        QVERIFY(removeStopConnection());
        QVERIFY(!removeStopConnection()); // exactly one
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
    }

    // Off at first; checked, the replies take their time at the chosen rate, and it is fixed
    // while the port is open.
    void lineTimingBoxPacesTheReplies()
    {
        auto* box = child<QCheckBox>("checkBoxLineTiming");
        QCOMPARE(box->text(), QStringLiteral("线路时序\nLine timing"));
        QVERIFY(!box->isChecked());
        PtyPair pty;
        QVERIFY(pty.isValid());
        combo("comboBoxBaudRate")->setCurrentText(QStringLiteral("9600"));
        box->setChecked(true);
        openOverPty(pty);
        QVERIFY(!box->isEnabled());
        QVERIFY(messages().contains(QStringLiteral("line timing: toward the PC")));
        QElapsedTimer sent;
        sent.start();
        QVERIFY(pty.write(frameBytes(0x02)));
        QCOMPARE(pty.read(16).size(), 16);
        // Sixteen characters of ten bits at 9600 baud.
        QVERIFY2(sent.nsecsElapsed() >= 16 * 1041666, qPrintable(QString::number(sent.nsecsElapsed())));
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
        QVERIFY(box->isEnabled());
    }

    // A network endpoint typed into the port field: the unit listens on the port it logs and
    // answers a real socket byte for byte; closing stops the listener.
    void openTcpEndpointAndAnswerASocket()
    {
        typePort(QStringLiteral("tcp:127.0.0.1:0"));
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyConnected();
        const QString prefix = QStringLiteral("LISTEN tcp:127.0.0.1:");
        QString listen;
        QDeadlineTimer deadline(10000);
        while (listen.isEmpty() && !deadline.hasExpired()) {
            for (const QString& line : messages())
                if (line.startsWith(prefix))
                    listen = line;
            if (listen.isEmpty())
                QTest::qWait(5);
        }
        bool ok = false;
        const quint16 port = listen.mid(prefix.size()).toUShort(&ok);
        QVERIFY2(ok && port != 0, qPrintable(listen));
        // The narrow field scrolls to the typed ":0"; its tip and the status line name the bound port.
        const QString bound = listen.mid(int(qstrlen("LISTEN ")));
        QCOMPARE(portCombo()->toolTip(), bound);
        QCOMPARE(child<QLabel>("labelLineStatus")->text(), QStringLiteral("已打开(open): ") + bound);

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket.waitForConnected(5000));
        socket.write(frameBytes(0x02));
        QByteArray reply;
        deadline = QDeadlineTimer(10000);
        while (reply.size() < 16 && !deadline.hasExpired()) {
            QTest::qWait(5);
            reply += socket.readAll();
        }
        QCOMPARE(reply.size(), 16);
        QCOMPARE(reply.left(7), QByteArray("\x5A\xA5\x12\x34\x02\x00\x07", 7));
        QCOMPARE(reply, frameBytes(0x02, reply.mid(7, 7)));

        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
        QCOMPARE(portCombo()->toolTip(), QStringLiteral("tcp:127.0.0.1:0"));
        QCOMPARE(child<QLabel>("labelLineStatus")->text(), QString());
        QTcpSocket again;
        again.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!again.waitForConnected(2000)); // nobody listens any more
    }

    void openFailureStaysIdle()
    {
        const QString missing = QStringLiteral("/nonexistent/ttyVARNEL");
        typePort(missing);
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
        // The reason follows on a line of its own, naming the port.
        QCOMPARE(messages().value(messages().size() - 2), QStringLiteral("打开串口失败"));
        QVERIFY2(messages().last().startsWith(missing + QStringLiteral(": ")), qPrintable(messages().last()));
        QVERIFY(messages().last().size() > missing.size() + 2);
        QVERIFY(!DeviceRegistry::instance()->findDevice(missing));
        QVERIFY(!DeviceRegistry::instance()->currentDevice());

        // Nothing stays wired for the port that never opened.
        QVERIFY(!removeStopConnection());
        emit SetupService::instance()->recv_base_setup_rsp(missing, 7, QByteArray());
        QVERIFY(!messages().contains(QStringLiteral("PORT:%1 >> Recv Data: CMD=7").arg(missing)));

        // A second failure neither stacks connections nor sticks.
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
        QVERIFY(!removeStopConnection());
    }

    // Another program holds the port: the reason says it is in use and by which process.
    void lockedPortNamesItsHolder()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        QSerialPort holder(pty.portPath());
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
        typePort(pty.portPath());
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
        QCOMPARE(messages().value(messages().size() - 2), QStringLiteral("打开串口失败"));
        QCOMPARE(messages().last(), QStringLiteral("%1: in use by process %2 (tst_widget)")
                                        .arg(pty.portPath())
                                        .arg(QCoreApplication::applicationPid()));
        holder.close();
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyConnected();
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
    }

    // A refused rule's error, another tab or a long port name never take room from the log pane,
    // and what is typed can be read whole.
    void logPaneKeepsItsHeight()
    {
        auto* tabs = child<QTabWidget>("tabWidgetServiceSetup");
        QTextEdit* logPane = pane();
        const int paneHeight = logPane->height();
        // The faults tab asks for no more height than the settings panel: the pane keeps six lines or more.
        QVERIFY2(paneHeight >= 6 * logPane->fontMetrics().lineSpacing(),
                 qPrintable(QString::number(paneHeight)));
        const auto settle = [] {
            for (int i = 0; i < 3; ++i)
                QCoreApplication::sendPostedEvents();
        };
        for (int tab = 0; tab < tabs->count(); ++tab) {
            tabs->setCurrentIndex(tab);
            settle();
            QCOMPARE(logPane->height(), paneHeight);
        }
        auto* faults = m_widget->findChild<FaultWidget*>();
        auto* rule = faults->findChild<QLineEdit*>(QStringLiteral("lineEditFaultRule"));
        auto* error = faults->findChild<QLabel*>(QStringLiteral("labelFaultError"));
        const int room = rule->contentsRect().width() - 8;
        QVERIFY2(rule->fontMetrics().horizontalAdvance(rule->placeholderText()) <= room,
                 qPrintable(rule->placeholderText()));
        QVERIFY(rule->toolTip().contains(QStringLiteral("TARGET:ACTION[@WHEN]")));
        // Refusals of one, two and many lines.
        for (const QString& bad : {QStringLiteral("x"), QStringLiteral("get-time:delay=abc@p=7"),
                                   QStringLiteral("get-time:delay=") + QString(300, QLatin1Char('9'))}) {
            rule->setText(bad);
            QTest::keyClick(rule, Qt::Key_Return);
            settle();
            QVERIFY(!error->text().isEmpty());
            QCOMPARE(error->toolTip(), error->text());
            QCOMPARE(logPane->height(), paneHeight);
            QVERIFY(error->height() <= 3 * error->fontMetrics().lineSpacing());
        }
        tabs->setCurrentIndex(0);
        settle();
        QCOMPARE(logPane->height(), paneHeight);

        const QString path = QStringLiteral("/tmp/varnel-emu/with/a/long/path");
        typePort(path);
        settle();
        QCOMPARE(portCombo()->toolTip(), path);
        QCOMPARE(logPane->height(), paneHeight);
    }

    void controlApiChangesShowInTheFaultTab()
    {
        ControlAddress address;
        QVERIFY(ControlAddress::parse(QStringLiteral("127.0.0.1:0"), &address, nullptr));
        QString error;
        QVERIFY2(m_widget->startControl(address, QString(), &error), qPrintable(error));
        QFile log(m_logPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QRegularExpression control(QStringLiteral("CONTROL http://127\\.0\\.0\\.1:(\\d+)"));
        QRegularExpressionMatch found;
        for (const QString& line : QString::fromUtf8(log.readAll()).split(QLatin1Char('\n')))
            if (control.match(line).hasMatch())
                found = control.match(line);
        QVERIFY(found.hasMatch());
        const int port = found.captured(1).toInt();
        const auto call = [port](const std::string& request) -> std::string {
            std::string answer;
            std::atomic<bool> done{false};
            std::thread client([&] {
                answer = httptest::exchange(port, request);
                done = true;
            });
            // The window's thread goes on with its events while the request is served.
            const QDeadlineTimer bound(10000);
            while (!done && !bound.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            client.join();
            return answer;
        };
        const std::string body = "{\"rule\": \"get-time:drop@2\"}";
        const std::string added =
            call("POST /units/1/faults HTTP/1.1\r\nConnection: close\r\nContent-Type: application/json\r\n"
                 "Content-Length: " +
                 std::to_string(body.size()) + "\r\n\r\n" + body);
        QVERIFY2(added.rfind("HTTP/1.1 201 ", 0) == 0, added.c_str());
        auto* list = m_widget->findChild<FaultWidget*>()->findChild<QListWidget*>(
            QStringLiteral("listWidgetFaultRules"));
        QCOMPARE(list->count(), 1);
        QCOMPARE(list->item(0)->text(), QStringLiteral("get-time:drop@2    fired 0"));
        const std::string cleared = call("DELETE /units/1/faults HTTP/1.1\r\nConnection: close\r\n\r\n");
        QVERIFY2(cleared.rfind("HTTP/1.1 204 ", 0) == 0, cleared.c_str());
        QCOMPARE(list->count(), 0);
        // The record count set through the API is the tool tab's, and the unit's.
        const std::string count = "{\"count\": 42}";
        const std::string records =
            call("PUT /units/1/records HTTP/1.1\r\nConnection: close\r\nContent-Type: application/json\r\n"
                 "Content-Length: " +
                 std::to_string(count.size()) + "\r\n\r\n" + count);
        QVERIFY2(records.rfind("HTTP/1.1 200 ", 0) == 0, records.c_str());
        QCOMPARE(toolTab()->findChild<QLineEdit*>(QStringLiteral("lineEditMaxSendRecordCount"))->text(),
                 QStringLiteral("42"));
        QCOMPARE(SetupService::instance()->unit()->recordCount(), 42);
    }

    void stopWithoutPortReachesNothing()
    {
        ModalDriver driver;
        driver.closeMessageBox();
        QTest::mouseClick(baseSetup()->findChild<QPushButton*>(QStringLiteral("pushButtonStopSend")),
                          Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(driver.texts, QStringList{"BaseSetupWidget::on_pushButtonStopSend_clicked"});
        QVERIFY(!SetupService::instance()->isSending());
        verifyIdle();
    }

    void toolTabCountReachesService()
    {
        auto* edit = toolTab()->findChild<QLineEdit*>(QStringLiteral("lineEditMaxSendRecordCount"));
        QCOMPARE(edit->text(), QStringLiteral("10000"));
        edit->selectAll();
        QTest::keyClicks(edit, QStringLiteral("250"));
        QCOMPARE(SetupService::maxSendRecordCount(), 250);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QCOMPARE(SetupService::maxSendRecordCount(), 0);
        QTest::keyClicks(edit, QStringLiteral("00012"));
        QCOMPARE(SetupService::maxSendRecordCount(), 12);
        edit->selectAll();
        QTest::keyClicks(edit, QStringLiteral("10000"));
        QCOMPARE(SetupService::maxSendRecordCount(), 10000);
    }

    void stopButtonEndsUpload()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        typePort(pty.portPath());
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyConnected();

        const int count = 1000;
        auto* edit = toolTab()->findChild<QLineEdit*>(QStringLiteral("lineEditMaxSendRecordCount"));
        edit->selectAll();
        QTest::keyClicks(edit, QString::number(count));
        QCOMPARE(SetupService::maxSendRecordCount(), count);

        // Press stop as soon as the records start going out.
        ModalDriver driver;
        auto* stop = baseSetup()->findChild<QPushButton*>(QStringLiteral("pushButtonStopSend"));
        auto watch = connect(LogManager::instance(), &LogManager::logAdded, this, [&](const QString& line) {
            if (line.endsWith(QStringLiteral("发送数据帧"))) {
                driver.closeMessageBox();
                QTimer::singleShot(0, stop, [stop] { QTest::mouseClick(stop, Qt::LeftButton); });
            }
        });
        QVERIFY(pty.write(frameBytes(0x0C)));
        const QString end = QStringLiteral("PORT %1 >> 发送结束帧").arg(pty.portPath());
        QVERIFY(waitForMessage(end, 30000));
        disconnect(watch);
        QVERIFY(driver.done());
        QCOMPARE(driver.texts, QStringList{"BaseSetupWidget::on_pushButtonStopSend_clicked"});
        QVERIFY(messages().contains(QStringLiteral("PORT %1 >> m_bSend is false").arg(pty.portPath())));

        const std::optional<std::vector<QByteArray>> frames = replyFrames(pty.drain(300));
        QVERIFY(frames);
        QVERIFY(frames->size() >= 2);
        QCOMPARE(frames->front().size(), 9 + 5);
        QCOMPARE(frames->back().mid(7, 1), QByteArray("\x02", 1));
        const int records = int(frames->size()) - 2;
        QVERIFY2(records < 10, qPrintable(QString::number(records)));
        QCOMPARE(messages().filter(QStringLiteral("send file record: No.")).size(), records);

        edit->selectAll();
        QTest::keyClicks(edit, QStringLiteral("10000"));
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyIdle();
    }

    // The upload runs inside the application's event loop, as in the program: a modal
    // dialog opened before it and again during it holds nothing up.
    void parseDialogDoesNotStallUpload()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        openOverPty(pty);
        const int count = 120;
        setRecordCount(count);
        QVERIFY(uploadBar()->isHidden());

        auto* parse = toolTab()->findChild<QPushButton*>(QStringLiteral("pushButtonHexCmdParse"));
        QDialog* dialog = toolTab()->hexCmdParseDialog();
        FrameClock clock(pty.peerFd());
        QEventLoop loop;
        bool reopened = false;
        bool barShown = false;
        QString barText;
        // Opened before the request arrives, closed during the upload, opened again. Each step
        // waits for the one before (a loaded machine fires due timers together), so the second
        // opening never lands inside the first one's exec.
        QTimer::singleShot(0, parse, [parse] { QTest::mouseClick(parse, Qt::LeftButton); });
        QTimer::singleShot(300, dialog, &QDialog::reject);
        QMetaObject::Connection firstClose;
        firstClose = connect(dialog, &QDialog::finished, this, [&, parse, dialog] {
            disconnect(firstClose);
            QTimer::singleShot(200, parse, [&, parse, dialog] {
                QTimer::singleShot(100, dialog, [&] {
                    reopened = dialog->isVisible() && QApplication::activeModalWidget() == dialog;
                    barShown = !uploadBar()->isHidden(); // the tool tab itself is not the current one
                    barText = uploadBar()->text();
                });
                QTimer::singleShot(500, dialog, &QDialog::reject);
                QTest::mouseClick(parse, Qt::LeftButton);
            });
        });
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [&] {
            if (clock.endSeen())
                loop.quit();
        });
        poll.start(20);
        QTimer::singleShot(15000, &loop, &QEventLoop::quit);
        QVERIFY(pty.write(frameBytes(0x0C)));
        loop.exec();
        clock.stop();

        QVERIFY(reopened);
        QVERIFY(barShown);
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^(\\d+) / %1 +[0-9.]+ records/s$").arg(count)).match(barText);
        QVERIFY2(m.hasMatch(), qPrintable(barText));
        QVERIFY(m.captured(1).toInt() > 0 && m.captured(1).toInt() < count);
        QVERIFY(uploadBar()->isHidden());

        const QList<FrameClock::Arrival> arrivals = clock.arrivals();
        QCOMPARE(arrivals.size(), count + 2);
        QCOMPARE(arrivals.last().frame.mid(7, 1), QByteArray("\x02", 1));
        for (const FrameClock::Arrival& arrival : arrivals)
            QVERIFY2(checksumHolds(arrival.frame), arrival.frame.toHex().constData());
        qint64 worst = 0;
        for (int i = 2; i < arrivals.size() - 1; ++i)
            worst = qMax(worst, arrivals.at(i).ms - arrivals.at(i - 1).ms);
        // A stalled upload would wait out the 500 ms the dialog stays open; a slow machine (or a
        // sanitizer build) may well take a tenth of a second to show a dialog.
        QVERIFY2(worst < 250 * kSanitizerSlowdown, qPrintable(QStringLiteral("gap of %1 ms between records").arg(worst)));
        setRecordCount(10000);
    }

    void closingWindowMidUploadEndsItAndFreesPort()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        openOverPty(pty);
        setRecordCount(300);

        QEventLoop loop;
        QElapsedTimer sinceClose;
        auto watch = connect(LogManager::instance(), &LogManager::logAdded, this, [&](const QString& line) {
            if (line.endsWith(QLatin1String("send file record: No. 20")) && !sinceClose.isValid()) {
                QTimer::singleShot(0, m_widget.get(), [&] {
                    sinceClose.start();
                    m_widget->close();
                    loop.quit(); // as the application's loop does after its last window closed
                });
            }
        });
        QTimer::singleShot(15000, &loop, &QEventLoop::quit);
        QVERIFY(pty.write(frameBytes(0x0C)));
        loop.exec();
        disconnect(watch);
        QVERIFY(sinceClose.isValid());
        QVERIFY2(sinceClose.elapsed() < 1000 * kSanitizerSlowdown, qPrintable(QString::number(sinceClose.elapsed())));

        QVERIFY(!SetupService::instance()->isUploading());
        QVERIFY(!DeviceRegistry::instance()->findDevice(pty.portPath()));
        QSerialPort other(pty.portPath());
        QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
        other.close();

        const std::optional<std::vector<QByteArray>> frames = replyFrames(pty.drain(300));
        QVERIFY(frames);
        QVERIFY(frames->size() >= 3);
        QCOMPARE(frames->front().mid(7, 1), QByteArray("\x00", 1));
        QCOMPARE(frames->back(), frameBytes(0x0C, QByteArray("\x02", 1)));
        QVERIFY(frames->size() - 2 < 300);
        QVERIFY(messages().contains(QStringLiteral("PORT %1 >> m_bSend is false").arg(pty.portPath())));
        setRecordCount(10000);
    }

    void clearEmptiesPaneNotFile()
    {
        QVERIFY(!pane()->toPlainText().isEmpty());
        const QString fileBefore = logFile();
        QTest::mouseClick(child<QPushButton>("pushButtonClearTextEdit"), Qt::LeftButton);
        QCOMPARE(pane()->toPlainText(), QString());
        QCOMPARE(logFile(), fileBefore);
        VLOG(1, QStringLiteral("after clear"));
        QCOMPARE(messages(), QStringList{"after clear"});
    }

    void logLinesGoToFile()
    {
        VLOG(1, QStringLiteral("file line <b>x</b>"));
        const QString file = logFile();
        const QStringList lines = file.split(QLatin1Char('\n'));
        const QStringList hits = lines.filter(QStringLiteral("] file line <b>x</b>"));
        QCOMPARE(hits.size(), 1);
        QVERIFY(hits.first().contains(QStringLiteral(" <INFO> [Widget.cpp:Widget::slot_logAdded:")));
        QVERIFY(hits.first().contains(QStringLiteral("] [0] [")));
        // The pane shows the markup as text.
        QCOMPARE(messages().last(), QStringLiteral("file line <b>x</b>"));
    }

    void paneIsBoundedFileKeepsAll()
    {
        const int bound = Widget::kLogPaneMaxLines;
        const int total = bound + Widget::kLogPaneTrimLines + 250;
        int most = 0;
        for (int i = 0; i < total; ++i) {
            VLOG(1, QStringLiteral("bound %1").arg(i));
            most = qMax(most, pane()->document()->blockCount());
        }
        QCOMPARE(most, bound);
        const QStringList shown = messages();
        QVERIFY(shown.size() >= bound - Widget::kLogPaneTrimLines);
        QCOMPARE(pane()->document()->blockCount(), shown.size());
        // The newest lines, in order, none lost in between.
        for (int k = 0; k < shown.size(); ++k)
            QCOMPARE(shown.at(k), QStringLiteral("bound %1").arg(total - shown.size() + k));
        QCOMPARE(pane()->textCursor().position(), pane()->document()->characterCount() - 1);
        QVERIFY(!pane()->document()->isUndoAvailable());
        QCOMPARE(logFile().count(QStringLiteral("] bound ")), total);
    }

    void linesFromAnotherThreadArrive()
    {
        std::thread worker([] { VLOG(1, QStringLiteral("from a parse thread")); });
        worker.join();
        QVERIFY(waitForMessage(QStringLiteral("from a parse thread"), 5000));
    }

    void destructionReleasesTabs()
    {
        QPointer<BaseSetupWidget> base = baseSetup();
        QPointer<ToolWidget> tool = toolTab();
        QVERIFY(base && tool);
        m_widget.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(base.isNull());
        QVERIFY(tool.isNull());
    }

    void destructionClosesOpenPort()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        typePort(pty.portPath());
        QTest::mouseClick(openButton(), Qt::LeftButton);
        verifyConnected();
        QVERIFY(DeviceRegistry::instance()->findDevice(pty.portPath()));
        m_widget.reset();
        QVERIFY(!DeviceRegistry::instance()->findDevice(pty.portPath()));
    }
};

int main(int argc, char** argv)
{
    qputenv("QT_FONT_DPI", "96"); // scale factor 1 whatever the host says
    return uitest::runWidgetTests<TestWidget>(argc, argv);
}

#include "tst_widget.moc"
