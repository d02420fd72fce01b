#include "app/Widget.h"

#include "device/Device.h"
#include "app/DeviceRegistry.h"
#include "emulator/ControlEndpoint.h"
#include "log/Log.h"
#include "log/LogFileWriter.h"
#include "log/LogManager.h"
#include "app/SetupService.h"
#include "transport/LineTransport.h"
#include "transport/SerialSettings.h"
#include "ui/BaseSetupWidget.h"
#include "ui/CaptureControls.h"
#include "ui/DisplayScale.h"
#include "ui/FaultWidget.h"
#include "ui/PaneText.h"
#include "ui/ScenarioControls.h"
#include "ui/ToolWidget.h"
#include "ui_Widget.h"
#include "unit/EmulatedUnit.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QSerialPortInfo>
#include <QTextCursor>

namespace {

const QString kOpenCaption = QStringLiteral("打开串口\nOpen");
const QString kCloseCaption = QStringLiteral("关闭串口\nClose");

double primaryScreenDpi()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInch() : 96.0;
}

std::string utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

} // namespace

Widget::Widget(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::Widget>()),
      m_portSession(m_host.addUnit(SetupService::instance()->unit()))
{
    ui->setupUi(this);
    DeviceRegistry::instance()->setSession(m_portSession);

    const double s = scaleFactorForDpi(primaryScreenDpi());
    DisplayScale::setFactor(s);

    setWindowTitle(QStringLiteral("VARNEL-TEST V1.0"));
    setStyleSheet(QStringLiteral("font-size:%1px;").arg(s * 12));

    setUpSettingsPanel(s);
    setUpServiceTabs(s);

    ui->pushButtonClearTextEdit->setFixedWidth(int(s * 80));
    ui->pushButtonClearTextEdit->setFixedHeight(int(s * 36));
    ui->widgetClear->setStyleSheet(QStringLiteral("QWidget#widgetClear{background:#92D050;}"));
    connect(ui->pushButtonClearTextEdit, &QPushButton::clicked, this, &Widget::slot_clearTextEdit);

    // A record upload logs four lines per record: the pane keeps a bounded tail and
    // no undo history of its own appends.
    ui->textEdit->setUndoRedoEnabled(false);
    // Pane lines are laid out in batches when the event loop is free (an upload's
    // pauses), so the text layout never delays the next frame; the file gets each
    // line at once.
    m_paneFlushTimer.setSingleShot(true);
    m_paneFlushTimer.setInterval(0);
    connect(&m_paneFlushTimer, &QTimer::timeout, this, &Widget::flushLogPane);
    connect(LogManager::instance(), &LogManager::logAdded, this, &Widget::slot_logAdded);
    // A quit leaves the event loop at once; the port is closed in order before the process ends.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &Widget::endSession);

    // The upper area keeps the height it has now: an error under a refused rule, a progress
    // bar or another tab takes room inside it, never from the log pane.
    ui->widget_2->setFixedHeight(ui->widget_2->sizeHint().height());

    VLOG(1, QStringLiteral("Welcome to VARNEL %1.%2").arg(1).arg(0));
}

Widget::~Widget()
{
    DeviceRegistry::instance()->setSession(nullptr);
    QTabWidget* tabs = ui->tabWidgetServiceSetup;
    while (tabs->count() > 0)
        tabs->removeTab(0);
    // Still children of the tab stack, so the window's own teardown deletes them
    // even when no event loop runs any more.
    if (m_baseSetupWidget)
        m_baseSetupWidget->deleteLater();
    if (m_toolWidget)
        m_toolWidget->deleteLater();
    // Deleted now: it refers to the injector, which goes with the window.
    delete m_faultWidget;

    // A port still open is closed while the pane can still take its log lines.
    endSession();
    disconnect(LogManager::instance(), nullptr, this, nullptr);
}

void Widget::closeEvent(QCloseEvent* event)
{
    endSession();
    QWidget::closeEvent(event);
}

bool Widget::startControl(const ControlAddress& address, const QString& token, QString* error)
{
    auto control = std::make_unique<ControlEndpoint>(&m_host);
    ControlEndpoint::Settings settings;
    settings.enabled = true;
    settings.address = address;
    settings.token = token;
    if (!control->bind(settings, error))
        return false;
    m_control = std::move(control);
    m_control->start();
    return true;
}

void Widget::endSession()
{
    // Nothing from outside acts on the unit while it closes.
    if (m_control)
        m_control->stop();
    if (!m_portSession->isOpen())
        return;
    disconnectServiceTabs();
    m_portSession->endUploadsAndClose();
    showPortClosed();
}

void Widget::showPortClosed()
{
    ui->labelLineStatus->clear();
    ui->comboBoxPortName->setToolTip(ui->comboBoxPortName->currentText());
    setSettingsEnabled(true);
    ui->pushButtonOpenSerial->setText(kOpenCaption);
    ui->pushButtonOpenSerial->setEnabled(canOpenTypedPort());
    ui->pushButtonSearchSerial->setEnabled(true);
}

double Widget::scaleFactorForDpi(double dpi)
{
    return DisplayScale::forDpi(dpi);
}

void Widget::setUpSettingsPanel(double s)
{
    ui->tabWidgetSerialPortSetup->setFixedWidth(int(s * 256));
    ui->tabWidgetSerialPortSetup->setStyleSheet(QStringLiteral("QTabBar:tab{height:%1;}").arg(s * 26));

    const int height = int(s * 36);
    for (QWidget* w : std::initializer_list<QWidget*>{
             ui->labelPortName, ui->labelBaudRate, ui->labelDataBits, ui->labelParity, ui->labelStopBits,
             ui->comboBoxPortName, ui->comboBoxBaudRate, ui->comboBoxDataBits, ui->comboBoxParity,
             ui->comboBoxStopBits, ui->pushButtonSearchSerial, ui->pushButtonOpenSerial})
        w->setFixedHeight(height);

    const QString comboStyle = QStringLiteral("font:bold; font-size:%1px; color:black;").arg(s * 18);
    for (QComboBox* combo : {ui->comboBoxPortName, ui->comboBoxBaudRate, ui->comboBoxDataBits,
                             ui->comboBoxParity, ui->comboBoxStopBits})
        combo->setStyleSheet(comboStyle);

    ui->comboBoxBaudRate->addItems(SerialSettings::baudRateTexts());
    ui->comboBoxDataBits->addItems(SerialSettings::dataBitsTexts());
    ui->comboBoxStopBits->addItems(SerialSettings::stopBitsTexts());
    ui->comboBoxParity->addItems(SerialSettings::parityTexts());
    slot_SearchSerial();

    // Connected only now, so filling the boxes does not run the slots.
    const auto connectIndex = [this](QComboBox* combo, void (Widget::*slot)(QString)) {
        connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                [this, combo, slot](int index) { (this->*slot)(combo->itemText(index)); });
    };
    connectIndex(ui->comboBoxPortName, &Widget::slot_comboBoxPortName_currentIndexChanged);
    connectIndex(ui->comboBoxBaudRate, &Widget::slot_comboBoxBaudRate_currentIndexChanged);
    connectIndex(ui->comboBoxDataBits, &Widget::slot_comboBoxDataBits_currentIndexChanged);
    connectIndex(ui->comboBoxStopBits, &Widget::slot_comboBoxStopBits_currentIndexChanged);
    connectIndex(ui->comboBoxParity, &Widget::slot_comboBoxParity_currentIndexChanged);
    // A port the enumeration does not list (a pty, say) can be typed.
    connect(ui->comboBoxPortName, &QComboBox::editTextChanged, this,
            &Widget::slot_comboBoxPortName_editTextChanged);

    DeviceRegistry* registry = DeviceRegistry::instance();
    registry->setBaudRate(utf8(ui->comboBoxBaudRate->currentText()));
    registry->setDataBits(utf8(ui->comboBoxDataBits->currentText()));
    registry->setStopBits(utf8(ui->comboBoxStopBits->currentText()));
    registry->setParity(utf8(ui->comboBoxParity->currentText()));

    ui->pushButtonSearchSerial->setText(QStringLiteral("搜索串口\nSearch"));
    ui->pushButtonOpenSerial->setText(kOpenCaption);
    connect(ui->pushButtonSearchSerial, &QPushButton::clicked, this, &Widget::slot_SearchSerial);
    connect(ui->pushButtonOpenSerial, &QPushButton::clicked, this, &Widget::slot_OpenSerial);
}

void Widget::setUpServiceTabs(double s)
{
    ui->tabWidgetServiceSetup->setStyleSheet(QStringLiteral("QTabBar:tab{height:%1;}").arg(s * 26));

    m_baseSetupWidget = new BaseSetupWidget;
    ui->tabWidgetServiceSetup->insertTab(0, m_baseSetupWidget, QStringLiteral("基础设置(base setup)"));
    m_toolWidget = new ToolWidget;
    ui->tabWidgetServiceSetup->insertTab(1, m_toolWidget, QStringLiteral("工具(tool)"));
    m_faultWidget = new FaultWidget(m_portSession->faults());
    ui->tabWidgetServiceSetup->insertTab(2, m_faultWidget, QStringLiteral("故障(faults)"));
    auto* captureControls = new CaptureControls;
    captureControls->setUnitSession(m_portSession);
    m_faultWidget->addControls(captureControls);
    auto* scenarioControls = new ScenarioControls;
    scenarioControls->setTarget(m_portSession->unit(), m_portSession->faults());
    m_faultWidget->addControls(scenarioControls);
    // records.count reaches the service through the tool tab's field, as a typed count would.
    connect(scenarioControls, &ScenarioControls::record_count_loaded, m_toolWidget,
            &ToolWidget::setMaxSendRecordCount);
    connect(m_toolWidget, &ToolWidget::max_send_record_count_changed, SetupService::instance(),
            &SetupService::slot_maxSendRecordCountChanged);
    connect(m_portSession->unit(), &EmulatedUnit::record_count_changed, m_toolWidget,
            &ToolWidget::showRecordCount);
    connect(SetupService::instance(), &SetupService::upload_progress, m_toolWidget,
            &ToolWidget::showUploadProgress);
    connect(SetupService::instance(), &SetupService::upload_ended, m_toolWidget,
            &ToolWidget::hideUploadProgress);
    ui->tabWidgetServiceSetup->setCurrentIndex(0);
}

void Widget::connectServiceTabs()
{
    SetupService* service = SetupService::instance();
    m_baseSetupRspConnection = connect(service, &SetupService::recv_base_setup_rsp, m_baseSetupWidget,
                                       &BaseSetupWidget::slot_recvData);
    m_stopSendConnection =
        connect(m_baseSetupWidget, &BaseSetupWidget::stop_send, service, &SetupService::slot_stopSend);
}

void Widget::disconnectServiceTabs()
{
    disconnect(m_baseSetupRspConnection);
    disconnect(m_stopSendConnection);
}

void Widget::setSettingsEnabled(bool enabled)
{
    for (QComboBox* combo : {ui->comboBoxPortName, ui->comboBoxBaudRate, ui->comboBoxDataBits,
                             ui->comboBoxParity, ui->comboBoxStopBits})
        combo->setEnabled(enabled);
    ui->checkBoxLineTiming->setEnabled(enabled);
}

bool Widget::canOpenTypedPort() const
{
    return !m_portSession->isOpen() && !ui->comboBoxPortName->currentText().isEmpty();
}

void Widget::slot_OpenSerial()
{
    const bool openRequested = ui->pushButtonOpenSerial->text() == kOpenCaption;
    ui->pushButtonOpenSerial->setEnabled(false);

    if (openRequested) {
        UnitSession::Settings settings;
        settings.portName = ui->comboBoxPortName->currentText();
        settings.baudRate = ui->comboBoxBaudRate->currentText();
        settings.dataBits = ui->comboBoxDataBits->currentText();
        settings.stopBits = ui->comboBoxStopBits->currentText();
        settings.parity = ui->comboBoxParity->currentText();
        settings.lineTiming.toPc = ui->checkBoxLineTiming->isChecked();
        connectServiceTabs();
        if (m_host.open(1, settings)) {
            ui->pushButtonOpenSerial->setText(kCloseCaption);
            ui->pushButtonOpenSerial->setEnabled(true);
            setSettingsEnabled(false);
            ui->pushButtonSearchSerial->setEnabled(false);
            showPortOpen();
            VLOG(1, QStringLiteral("打开串口成功"));
        } else {
            // Nothing was opened, so nothing may stay wired for it.
            disconnectServiceTabs();
            ui->pushButtonOpenSerial->setEnabled(canOpenTypedPort());
            VLOG(1, QStringLiteral("打开串口失败"));
            VLOG(1, QStringLiteral("%1: %2").arg(settings.portName, m_portSession->lastError()));
        }
        return;
    }

    disconnectServiceTabs();
    m_portSession->close();
    showPortClosed();
    VLOG(1, QStringLiteral("关闭串口"));
}

void Widget::showPortOpen()
{
    // A listener names the port it bound ("tcp:127.0.0.1:0" becomes tcp:127.0.0.1:44541);
    // the narrow field shows only the end of what was typed.
    const Device* device = m_portSession->device();
    const QString endpoint = device && device->line() ? device->line()->name() : m_portSession->portName();
    ui->comboBoxPortName->setToolTip(endpoint);
    ui->labelLineStatus->setText(QStringLiteral("已打开(open): %1").arg(endpoint));
}

void Widget::openPort(const QString& portName)
{
    if (m_portSession->isOpen())
        return;
    ui->comboBoxPortName->setEditText(portName);
    slot_OpenSerial();
}

void Widget::slot_terminationRequested()
{
    if (m_portSession->isOpen()) {
        endSession();
        VLOG(1, QStringLiteral("关闭串口"));
    }
    QCoreApplication::quit();
}

void Widget::slot_SearchSerial()
{
    ui->pushButtonOpenSerial->setEnabled(false);
    ui->pushButtonSearchSerial->setEnabled(false);
    ui->comboBoxPortName->clear();
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ui->comboBoxPortName->addItem(info.portName());
    ui->pushButtonSearchSerial->setEnabled(true);
    if (ui->comboBoxPortName->count() == 0) {
        ui->comboBoxPortName->clearEditText();
        return;
    }
    ui->pushButtonOpenSerial->setEnabled(true);
    ui->comboBoxPortName->setCurrentIndex(0);
    DeviceRegistry::instance()->setPortName(utf8(ui->comboBoxPortName->currentText()));
}

void Widget::slot_comboBoxPortName_currentIndexChanged(QString text)
{
    DeviceRegistry::instance()->setPortName(utf8(text));
    ui->comboBoxPortName->setToolTip(text);
}

void Widget::slot_comboBoxPortName_editTextChanged(QString text)
{
    DeviceRegistry::instance()->setPortName(utf8(text));
    // The field is narrow for a path such as /tmp/varnel-emu; the tip shows all of it.
    ui->comboBoxPortName->setToolTip(text);
    if (!m_portSession->isOpen())
        ui->pushButtonOpenSerial->setEnabled(!text.isEmpty());
}

void Widget::slot_comboBoxBaudRate_currentIndexChanged(QString text)
{
    DeviceRegistry::instance()->setBaudRate(utf8(text));
}

void Widget::slot_comboBoxDataBits_currentIndexChanged(QString text)
{
    DeviceRegistry::instance()->setDataBits(utf8(text));
}

void Widget::slot_comboBoxStopBits_currentIndexChanged(QString text)
{
    DeviceRegistry::instance()->setStopBits(utf8(text));
}

void Widget::slot_comboBoxParity_currentIndexChanged(QString text)
{
    DeviceRegistry::instance()->setParity(utf8(text));
}

void Widget::slot_clearTextEdit()
{
    m_pendingPaneLines.clear();
    ui->textEdit->clear();
}

void Widget::slot_logAdded(QString log)
{
    m_pendingPaneLines << log;
    if (!m_paneFlushTimer.isActive())
        m_paneFlushTimer.start();
    const QByteArray line = log.toUtf8();
    LogFileWriter::instance()->write(2, __FILE__, "Widget::slot_logAdded", __LINE__, 0, "%s",
                                     line.constData());
}

void Widget::flushLogPane()
{
    if (m_pendingPaneLines.isEmpty())
        return;
    // Lines that would be trimmed at once are not laid out at all.
    if (m_pendingPaneLines.size() > kLogPaneMaxLines)
        m_pendingPaneLines.erase(m_pendingPaneLines.begin(), m_pendingPaneLines.end() - kLogPaneMaxLines);
    PaneText::appendParagraphs(ui->textEdit, m_pendingPaneLines);
    m_pendingPaneLines.clear();
    if (ui->textEdit->document()->blockCount() > kLogPaneMaxLines)
        PaneText::keepNewestParagraphs(ui->textEdit, kLogPaneMaxLines - kLogPaneTrimLines);
    QTextCursor cursor = ui->textEdit->textCursor();
    cursor.movePosition(QTextCursor::End);
    ui->textEdit->setTextCursor(cursor);
}
