#include "DataColumns.h"
#include "tst_ui_helpers.h"

#include "emulator/ScenarioLoader.h"
#include "render/HexFrameRenderer.h"
#include "scenario/Scenario.h"
#include "app/SetupService.h"
#include "ui/HexCmdParseDialog.h"
#include "ui/ScenarioControls.h"
#include "ui/ToolWidget.h"
#include "unit/EmulatedUnit.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

#include <memory>

using uitest::ModalDriver;

namespace {

QTextEdit* hexInput(QWidget* d)
{
    return d->findChild<QTextEdit*>(QStringLiteral("textEditHexCmd"));
}

QTextEdit* parseOutput(QWidget* d)
{
    return d->findChild<QTextEdit*>(QStringLiteral("textEditParseText"));
}

QRadioButton* radio(QWidget* d, const char* name)
{
    return d->findChild<QRadioButton*>(QLatin1String(name));
}

QPushButton* closeButton(QWidget* d)
{
    return d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Cancel);
}

// What the dialog shows for the input: its output pane, one line per text line.
QStringList parse(QWidget* d, const QString& input, bool response)
{
    radio(d, response ? "radioButtonRsp" : "radioButtonReq")->click();
    hexInput(d)->setPlainText(input);
    QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("pushButtonParse")), Qt::LeftButton);
    return parseOutput(d)->toPlainText().split(QLatin1Char('\n'));
}

} // namespace

class TestUiTool : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ToolWidget> m_tab;

    QLineEdit* countEdit() const
    {
        return m_tab->findChild<QLineEdit*>(QStringLiteral("lineEditMaxSendRecordCount"));
    }
    QPushButton* parseButton() const
    {
        return m_tab->findChild<QPushButton*>(QStringLiteral("pushButtonHexCmdParse"));
    }

private slots:
    void init()
    {
        m_tab = std::make_unique<ToolWidget>();
        m_tab->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_tab.get()));
    }

    void cleanup() { m_tab.reset(); }

    void form()
    {
        QCOMPARE(m_tab->windowTitle(), QStringLiteral("Form"));
        QCOMPARE(m_tab->findChild<QLabel*>(QStringLiteral("label"))->text(), QStringLiteral("记录发送次数"));
        QCOMPARE(countEdit()->text(), QStringLiteral("10000"));
        QCOMPARE(countEdit()->maxLength(), 8);
        QCOMPARE(parseButton()->text(), QStringLiteral("16进制命令格式解析"));
        auto* grid = m_tab->findChild<QGridLayout*>(QStringLiteral("gridLayout"));
        QVERIFY(grid);
        int row, col, rowSpan, colSpan;
        grid->getItemPosition(grid->indexOf(parseButton()), &row, &col, &rowSpan, &colSpan);
        QCOMPARE(QList<int>({row, col, rowSpan, colSpan}), QList<int>({1, 0, 2, 2}));
        auto* widget2 = m_tab->findChild<QWidget*>(QStringLiteral("widget_2"));
        grid->getItemPosition(grid->indexOf(widget2), &row, &col, &rowSpan, &colSpan);
        QCOMPARE(QList<int>({row, col, rowSpan, colSpan}), QList<int>({0, 0, 1, 2}));
        QCOMPARE(countEdit()->parentWidget(), widget2);
    }

    void wholeParseButtonTakesClicks()
    {
        // The empty cell widget shares the button's grid area; it must not swallow clicks.
        const QRect r = parseButton()->geometry();
        for (const QPoint& p : {r.topLeft() + QPoint(2, 2), r.bottomRight() - QPoint(2, 2),
                                QPoint(r.right() - 2, r.top() + 2), QPoint(r.left() + 2, r.bottom() - 2)})
            QCOMPARE(m_tab->childAt(p), static_cast<QWidget*>(parseButton()));
    }

    void textChangeEmitsCount()
    {
        QSignalSpy spy(m_tab.get(), &ToolWidget::max_send_record_count_changed);
        countEdit()->selectAll();
        QTest::keyClicks(countEdit(), QStringLiteral("250"));
        QVERIFY(!spy.isEmpty());
        QCOMPARE(spy.last().at(0).toInt(), 250);

        countEdit()->selectAll();
        QTest::keyClick(countEdit(), Qt::Key_Backspace);
        QCOMPARE(countEdit()->text(), QString());
        QCOMPARE(spy.last().at(0).toInt(), 0);

        QTest::keyClicks(countEdit(), QStringLiteral("00012"));
        QCOMPARE(spy.last().at(0).toInt(), 12);
    }

    void lettersAndNinthDigitRejected()
    {
        QSignalSpy spy(m_tab.get(), &ToolWidget::max_send_record_count_changed);
        QTest::keyClicks(countEdit(), QStringLiteral("a-+ "));
        QCOMPARE(countEdit()->text(), QStringLiteral("10000"));
        QCOMPARE(spy.count(), 0);

        countEdit()->selectAll();
        QTest::keyClicks(countEdit(), QStringLiteral("123456789"));
        QCOMPARE(countEdit()->text(), QStringLiteral("12345678"));
        QCOMPARE(spy.last().at(0).toInt(), 12345678);
    }

    void uploadProgressBar()
    {
        auto* bar = m_tab->findChild<QProgressBar*>(QStringLiteral("progressBarUpload"));
        QVERIFY(bar);
        QVERIFY(bar->isHidden());
        auto* grid = m_tab->findChild<QGridLayout*>(QStringLiteral("gridLayout"));
        int row, col, rowSpan, colSpan;
        grid->getItemPosition(grid->indexOf(bar), &row, &col, &rowSpan, &colSpan);
        QVERIFY(row > 0); // below the record count

        m_tab->showUploadProgress(0, 300, 0.0);
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->text(), QStringLiteral("0 / 300   0.0 records/s"));
        m_tab->showUploadProgress(150, 300, 99.46);
        QCOMPARE(bar->text(), QStringLiteral("150 / 300   99.5 records/s"));
        QCOMPARE(bar->value(), 150);
        QCOMPARE(bar->maximum(), 300);
        // A start frame with count 0 is no busy indicator.
        m_tab->showUploadProgress(0, 0, 0.0);
        QCOMPARE(bar->text(), QStringLiteral("0 / 0   0.0 records/s"));
        QVERIFY(bar->maximum() > bar->minimum());
        m_tab->hideUploadProgress();
        QVERIFY(bar->isHidden());
    }

    void setTextEmitsOnlyOnChange()
    {
        QSignalSpy spy(m_tab.get(), &ToolWidget::max_send_record_count_changed);
        countEdit()->setText(QStringLiteral("10000"));
        QCOMPARE(spy.count(), 0); // unchanged text, no signal
        countEdit()->setText(QStringLiteral("99999999"));
        QCOMPARE(spy.last().at(0).toInt(), 99999999);
    }

    void parseDialogFirstOpening()
    {
        HexCmdParseDialog* d = m_tab->hexCmdParseDialog();
        ModalDriver driver;
        bool reqChecked = false, rspChecked = true;
        QString input = QStringLiteral("unset"), output = QStringLiteral("unset");
        QStringList shown;
        QStringList shownRsp;
        driver.handleDialog(d, [&](QWidget* w) {
            reqChecked = radio(w, "radioButtonReq")->isChecked();
            rspChecked = radio(w, "radioButtonRsp")->isChecked();
            input = hexInput(w)->toPlainText();
            output = parseOutput(w)->toPlainText();
            shown = parse(w, QStringLiteral("5AA51234020000EE03"), false);
            shownRsp = parse(w, QStringLiteral("5AA51234020000EE03"), true);
            QTest::mouseClick(closeButton(w), Qt::LeftButton);
        });
        QTest::mouseClick(parseButton(), Qt::LeftButton);
        QVERIFY(driver.done());
        QVERIFY(!d->isVisible());
        QVERIFY(reqChecked);
        QVERIFY(!rspChecked);
        QCOMPARE(input, QString());
        QCOMPARE(output, QString());
        QCOMPARE(shown,
                 QStringList({"5AA5 1234 02 0000    -- 命令：[2]获取时间， 长度：0", "EE03    -- CRC"}));
        QCOMPARE(shownRsp,
                 QStringList({"5AA5 1234 02 0000    -- 命令：[2]获取时间， 长度：0", "Frame Content异常！"}));
    }

    void parseDialogReopensEmptyKeepingDirection()
    {
        HexCmdParseDialog* d = m_tab->hexCmdParseDialog();
        ModalDriver driver;
        driver.handleDialog(d, [&](QWidget* w) {
            radio(w, "radioButtonRsp")->click();
            hexInput(w)->setPlainText(QStringLiteral("5AA51234020000EE03"));
            QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("pushButtonParse")), Qt::LeftButton);
            QVERIFY(!parseOutput(w)->toPlainText().isEmpty());
            QTest::keyClick(w, Qt::Key_Escape);
        });
        QTest::mouseClick(parseButton(), Qt::LeftButton);

        bool rspChecked = false;
        QString input = QStringLiteral("unset"), output = QStringLiteral("unset");
        QStringList emptyParse;
        driver.handleDialog(d, [&](QWidget* w) {
            rspChecked = radio(w, "radioButtonRsp")->isChecked();
            input = hexInput(w)->toPlainText();
            output = parseOutput(w)->toPlainText();
            QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("pushButtonParse")), Qt::LeftButton);
            emptyParse = parseOutput(w)->toPlainText().split(QLatin1Char('\n'));
            closeButton(w)->click();
        });
        QTest::mouseClick(parseButton(), Qt::LeftButton);
        QVERIFY(driver.done());
        QVERIFY(rspChecked);
        QCOMPARE(input, QString());
        QCOMPARE(output, QString());
        QCOMPARE(emptyParse, QStringList{"Head异常！"});
    }
};

class TestUiHexCmdParseDialog : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<HexCmdParseDialog> m_dialog;

private slots:
    void init()
    {
        m_dialog = std::make_unique<HexCmdParseDialog>();
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    }

    void cleanup() { m_dialog.reset(); }

    void form()
    {
        HexCmdParseDialog* d = m_dialog.get();
        QCOMPARE(d->objectName(), QStringLiteral("HexCmdParseDialog"));
        QCOMPARE(d->windowTitle(), QStringLiteral("Dialog"));
        QCOMPARE(d->minimumSize(), QSize(480, 600));
        QCOMPARE(d->inputMethodHints(), Qt::ImhNone);
        const Qt::WindowFlags flags = d->windowFlags();
        QVERIFY(flags & Qt::Dialog);
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(flags & Qt::WindowMaximizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);

        auto* splitter = d->findChild<QSplitter*>(QStringLiteral("splitter"));
        QCOMPARE(splitter->orientation(), Qt::Vertical);
        QCOMPARE(splitter->count(), 2);
        QCOMPARE(splitter->widget(0)->objectName(), QStringLiteral("widget_2"));
        QCOMPARE(splitter->widget(1)->objectName(), QStringLiteral("widget_3"));
        QVERIFY(!splitter->isCollapsible(0));
        QVERIFY(!splitter->isCollapsible(1));

        QCOMPARE(d->findChild<QLabel*>(QStringLiteral("label"))->text(), QStringLiteral("十六进制命令"));
        QCOMPARE(d->findChild<QLabel*>(QStringLiteral("label_2"))->text(), QStringLiteral("解析格式"));
        QCOMPARE(radio(d, "radioButtonReq")->text(), QStringLiteral("请求消息"));
        QCOMPARE(radio(d, "radioButtonRsp")->text(), QStringLiteral("响应消息"));
        QVERIFY(radio(d, "radioButtonReq")->isChecked());
        QCOMPARE(hexInput(d)->minimumHeight(), 160);
        QCOMPARE(parseOutput(d)->minimumHeight(), 280);
        QVERIFY(parseOutput(d)->acceptRichText());
        QVERIFY(!parseOutput(d)->isReadOnly());
        QCOMPARE(d->findChild<QPushButton*>(QStringLiteral("pushButtonParse"))->text(),
                 QStringLiteral("解析"));

        auto* box = d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        QCOMPARE(box->standardButtons(), QDialogButtonBox::Cancel);
        QCOMPARE(closeButton(d)->text(), QStringLiteral("关闭"));
        QCOMPARE(box->minimumWidth(), box->maximumWidth());
        QCOMPARE(box->width(), closeButton(d)->width());
        QCOMPARE(box->layout()->spacing(), 0);

        auto* group = radio(d, "radioButtonReq")->group();
        QVERIFY(group);
        QCOMPARE(group->id(radio(d, "radioButtonReq")), 0);
        QCOMPARE(group->id(radio(d, "radioButtonRsp")), 1);
        QVERIFY(group->exclusive());
    }

    void splitterKeepsBothPanes()
    {
        auto* splitter = m_dialog->findChild<QSplitter*>(QStringLiteral("splitter"));
        splitter->setSizes({0, 10000});
        QVERIFY(splitter->sizes().at(0) > 0);
        splitter->setSizes({10000, 0});
        QVERIFY(splitter->sizes().at(1) > 0);
        QVERIFY(hexInput(m_dialog.get())->height() >= 160);
    }

    // The output pane is the renderer's; a line under it says what the pane leaves unsaid.
    void paragraphsAreTheRenderers_data()
    {
        testdata::addColumns<QString, bool, QStringList, QString>("input", "response", "expected", "note");
        const QString header1 = QStringLiteral("5AA5 1234 01 0007    -- 命令：[1]设置时间， 长度：7");
        const QString header2 = QStringLiteral("5AA5 1234 02 0000    -- 命令：[2]获取时间， 长度：0");
        const QString header14 = QStringLiteral("5AA5 1234 0E 0003    -- 命令：[14]设置回退参数， 长度：3");
        QTest::newRow("set time") << "5AA5123401000707E801050903077200" << false
                                  << QStringList({header1, "07E8 01 05 09 03 07    -- 2024-01-05 09:03:07",
                                                  "7200    -- CRC"})
                                  << "";
        QTest::newRow("lower case") << "5aa51234020000ee03" << false
                                    << QStringList({"5aa5 1234 02 0000    -- 命令：[2]获取时间， 长度：0",
                                                    "ee03    -- CRC"})
                                    << "";
        QTest::newRow("blanks, as a response")
            << "5A A5 12 34 02 00 00 EE 03" << true << QStringList{header2, "Frame Content异常！"}
            << "it renders as a request (请求消息)";
        QTest::newRow("dump lines") << "5a a5 12 34 05 00 04\nb0 e2 ca d6 13 e0\n"
                                    << false
                                    << QStringList({"5AA5 1234 05 0004    -- 命令：[5]设置设备名称， 长度：4",
                                                    "B0E2CAD6    -- 设备名称：扳手", "13E0    -- CRC"})
                                    << "";
        QTest::newRow("address") << "5AA5123502000000" << false << QStringList{"Addr异常！"} << "";
        QTest::newRow("command") << "5AA51234160000AE07" << false << QStringList{"Cmd异常！"} << "";
        QTest::newRow("device name") << "5AA51234050004B0E2CAD613E0" << false
                                     << QStringList(
                                            {"5AA5 1234 05 0004    -- 命令：[5]设置设备名称， 长度：4",
                                             "B0E2CAD6    -- 设备名称：扳手", "13E0    -- CRC"})
                                     << "";
        QTest::newRow("fallback") << "5AA512340E0003005A0ADAEA" << false
                                  << QStringList({header14, "005A 0A    -- 回退信息，角度：90，电流：10",
                                                  "DAEA    -- CRC"})
                                  << "";
        QTest::newRow("fallback, bad checksum")
            << "5AA512340E0003005A0ADAEB" << false
            << QStringList({header14, "005A 0A    -- 回退信息，角度：90，电流：10", "DAEB    -- CRC"})
            << "checksum DAEB, computed DAEA";
        QTest::newRow("time reply as a request")
            << "5AA5123402000707E80105090307820F" << false
            << QStringList({"5AA5 1234 02 0007    -- 命令：[2]获取时间， 长度：7", "Frame Content异常！"})
            << "it renders as a response (响应消息)";
    }

    void paragraphsAreTheRenderers()
    {
        QFETCH(QString, input);
        QFETCH(bool, response);
        QFETCH(QStringList, expected);
        QFETCH(QString, note);
        QCOMPARE(parse(m_dialog.get(), input, response), expected);

        HexFrameRenderer renderer;
        const QStringList paragraphs = renderer.render(
            input, response ? HexFrameRenderer::Direction::Response : HexFrameRenderer::Direction::Request);
        QCOMPARE(parseOutput(m_dialog.get())->document()->blockCount(),
                 paragraphs.join('\n').count('\n') + 1);
        QCOMPARE(parseOutput(m_dialog.get())->toPlainText(), paragraphs.join('\n'));
        const auto* noteLine = m_dialog->findChild<QLabel*>(QStringLiteral("labelParseNote"));
        QCOMPARE(noteLine->text(), note);
        QCOMPARE(noteLine->isVisible(), !note.isEmpty());
        m_dialog->clearText();
        QVERIFY(noteLine->isHidden());
    }

    void eachParseReplacesOutput()
    {
        parse(m_dialog.get(), QStringLiteral("5AA5123401000707E801050903077200"), false);
        QCOMPARE(parse(m_dialog.get(), QStringLiteral("5AA5123502000000"), false), QStringList{"Addr异常！"});
    }

    void markupInFieldsStaysText()
    {
        // Serial number bytes "<b>x</b>": shown as typed, not taken for HTML.
        const QStringList shown =
            parse(m_dialog.get(), QStringLiteral("5AA512340300083C623E783C2F623E0000"), false);
        QCOMPARE(shown, QStringList({"5AA5 1234 03 0008    -- 命令：[3]设置出厂编号， 长度：8",
                                     "3C623E783C2F623E    -- 出厂编号：<b>x</b>", "0000    -- CRC"}));
    }

    void clearTextEmptiesBothPanes()
    {
        parse(m_dialog.get(), QStringLiteral("5AA51234020000EE03"), true);
        m_dialog->clearText();
        QCOMPARE(hexInput(m_dialog.get())->toPlainText(), QString());
        QCOMPARE(parseOutput(m_dialog.get())->toPlainText(), QString());
        QVERIFY(radio(m_dialog.get(), "radioButtonRsp")->isChecked());
    }

    void closeOnlyHides()
    {
        m_dialog->hide();
        ModalDriver driver;
        driver.handleDialog(m_dialog.get(), [](QWidget* w) { closeButton(w)->click(); });
        QCOMPARE(m_dialog->exec(), int(QDialog::Rejected));
        QVERIFY(driver.done());
        QVERIFY(!m_dialog->isVisible());
        QCOMPARE(m_dialog->result(), int(QDialog::Rejected));
    }
};

// The load button with a real file on each side: a good one takes effect, a refused one
// is reported in a warning box and leaves the good one in force.
class TestUiScenarioControls : public QObject
{
    Q_OBJECT

private slots:
    void refusedFileKeepsThePreviousOne()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const auto write = [&](const char* name, const QByteArray& json) {
            QFile file(dir.filePath(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(json), qint64(json.size()));
        };
        write("good.json", R"({"texts": {"serial-number": "BENCH-1"}, "records": {"count": 42}})");
        write("bad.json", R"({"texts": {"serial-number": "BENCH-2", "colour": 1}})");

        ScenarioControls controls;
        controls.setTarget(SetupService::instance()->unit(), nullptr);
        ToolWidget tool;
        connect(&controls, &ScenarioControls::record_count_loaded, &tool, &ToolWidget::setMaxSendRecordCount);
        connect(&tool, &ToolWidget::max_send_record_count_changed, SetupService::instance(),
                &SetupService::slot_maxSendRecordCountChanged);
        QString next;
        controls.setPathChooser([&next](QWidget*) { return next; });
        controls.show();
        QVERIFY(QTest::qWaitForWindowExposed(&controls));
        auto* button = controls.findChild<QPushButton*>(QStringLiteral("pushButtonLoadScenario"));
        auto* label = controls.findChild<QLabel*>(QStringLiteral("labelScenarioFile"));
        auto* count = tool.findChild<QLineEdit*>(QStringLiteral("lineEditMaxSendRecordCount"));
        QCOMPARE(button->text(), QStringLiteral("加载场景 Load scenario"));
        const QString before = label->text();

        next.clear(); // the dialog cancelled
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(label->text(), before);

        const int countBefore = SetupService::maxSendRecordCount();
        next = dir.filePath(QStringLiteral("good.json"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(label->text(), QStringLiteral("good.json"));
        QCOMPARE(count->text(), QStringLiteral("42"));
        QCOMPARE(SetupService::maxSendRecordCount(), 42);
        QCOMPARE(SetupService::instance()->unitState().text(UnitState::Text::SerialNumber),
                 QByteArray("BENCH-1"));

        next = dir.filePath(QStringLiteral("bad.json"));
        ModalDriver driver;
        driver.closeMessageBox();
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(driver.titles, QStringList{QStringLiteral("加载场景 Load scenario")});
        QCOMPARE(driver.texts, QStringList{next + QStringLiteral(": texts.colour: unknown key (known: "
                                                                 "serial-number, device-name, device-number, "
                                                                 "operator)")});
        QCOMPARE(label->text(), QStringLiteral("good.json"));
        QCOMPARE(count->text(), QStringLiteral("42"));
        QCOMPARE(SetupService::instance()->unitState().text(UnitState::Text::SerialNumber),
                 QByteArray("BENCH-1"));

#ifdef Q_OS_UNIX
        // A FIFO would freeze the window on open, /dev/zero fill its memory: refused unread.
        const QString fifo = dir.filePath(QStringLiteral("fifo.json"));
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        for (const QString& hostile : {fifo, QStringLiteral("/dev/zero")}) {
            next = hostile;
            ModalDriver refused;
            refused.closeMessageBox();
            QTest::mouseClick(button, Qt::LeftButton);
            QVERIFY(refused.done());
            QCOMPARE(refused.texts,
                     QStringList{hostile + QStringLiteral(": cannot read: not a regular file (a "
                                                          "FIFO, a device or a socket); nothing "
                                                          "was read from it")});
            QCOMPARE(label->text(), QStringLiteral("good.json"));
        }
#endif

        // The next file replaces good.json whole: no count of its own, the count from before it.
        write("plain.json", R"({"texts": {"operator": "OP"}})");
        next = dir.filePath(QStringLiteral("plain.json"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(label->text(), QStringLiteral("plain.json"));
        QCOMPARE(count->text(), QString::number(countBefore));
        QCOMPARE(SetupService::maxSendRecordCount(), countBefore);
        QCOMPARE(SetupService::instance()->unitState().text(UnitState::Text::SerialNumber),
                 UnitState().text(UnitState::Text::SerialNumber));

        // Back to the unit out of the box for whatever runs next.
        QString error;
        QVERIFY(ScenarioLoader::apply(*SetupService::instance()->unit(), nullptr, Scenario(), &error));
        tool.setMaxSendRecordCount(10000);
    }
};

int main(int argc, char** argv)
{
    return uitest::runWidgetTests<TestUiTool, TestUiHexCmdParseDialog, TestUiScenarioControls>(argc, argv);
}

#include "tst_ui_tool.moc"
