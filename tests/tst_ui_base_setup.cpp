#include "tst_ui_helpers.h"

#include "log/LogManager.h"
#include "ui/BaseSetupWidget.h"
#include "ui/DisplayScale.h"
#include "ui/ParamSetupDialog.h"
#include "ui/QTableWidgetEx.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>
#include <QtTest>

#include <memory>

using uitest::ModalDriver;

class TestUiBaseSetup : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<BaseSetupWidget> m_tab;

    QTableWidgetEx* table() const { return m_tab->findChild<QTableWidgetEx*>(QStringLiteral("tableWidget")); }
    QPushButton* button(const char* name) const
    {
        return m_tab->findChild<QPushButton*>(QLatin1String(name));
    }
    ParamSetupDialog* dialog() const { return m_tab->paramSetupDialog(); }
    QComboBox* cmdCombo(QWidget* d) const { return d->findChild<QComboBox*>(QStringLiteral("comboBoxCmd")); }
    QTextEdit* dataEdit(QWidget* d) const { return d->findChild<QTextEdit*>(QStringLiteral("textEditData")); }
    QDialogButtonBox* buttonBox(QWidget* d) const
    {
        return d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    }

    QStringList row(int r) const { return {table()->item(r, 0)->text(), table()->item(r, 1)->text()}; }

    void clickCell(int r, int c)
    {
        const QRect rect = table()->visualRect(table()->model()->index(r, c));
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, rect.center());
    }

    void clickBelowRows()
    {
        const QPoint below(10, table()->viewport()->height() - 5);
        QVERIFY(!table()->indexAt(below).isValid());
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, below);
    }

private slots:
    void init()
    {
        DisplayScale::setFactor(1.0);
        m_tab = std::make_unique<BaseSetupWidget>();
        m_tab->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_tab.get()));
    }

    void cleanup() { m_tab.reset(); }

    void formAndSampleRows()
    {
        QCOMPARE(m_tab->windowTitle(), QStringLiteral("Form"));
        QVERIFY(table());
        QCOMPARE(table()->columnCount(), 2);
        QCOMPARE(table()->horizontalHeaderItem(0)->text(), QStringLiteral("命令"));
        QCOMPARE(table()->horizontalHeaderItem(1)->text(), QStringLiteral("数据"));
        QCOMPARE(table()->columnWidth(0), 120);
        QCOMPARE(table()->columnWidth(1), 600);
        QCOMPARE(table()->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(table()->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(table()->rowCount(), 3);
        QCOMPARE(row(0), QStringList({"1", "123"}));
        QCOMPARE(row(1), QStringList({"2", "223"}));
        QCOMPARE(row(2), QStringList({"3", "323"}));

        const QList<QPair<const char*, QString>> buttons = {
            {"pushButtonStopSend", "停止发送"}, {"pushButtonAdd", "添加"},    {"pushButtonModify", "修改"},
            {"pushButtonDelete", "删除"},       {"pushButtonImport", "导入"}, {"pushButtonExport", "导出"}};
        int lastX = -1;
        for (const auto& b : buttons) {
            QPushButton* pb = button(b.first);
            QVERIFY2(pb, b.first);
            QCOMPARE(pb->text(), b.second);
            QVERIFY(pb->x() > lastX); // left to right
            lastX = pb->x();
        }
        QCOMPARE(button("pushButtonImport")->size(), QSize(80, 36));
        QCOMPARE(button("pushButtonExport")->size(), QSize(80, 36));
    }

    void importExportFollowScale()
    {
        DisplayScale::setFactor(1.5);
        BaseSetupWidget tab;
        QCOMPARE(tab.findChild<QPushButton*>(QStringLiteral("pushButtonImport"))->minimumSize(),
                 QSize(120, 54));
        QCOMPARE(tab.findChild<QPushButton*>(QStringLiteral("pushButtonExport"))->maximumSize(),
                 QSize(120, 54));
        DisplayScale::setFactor(1.0);
    }

    void addRowWritesDecimalCommand()
    {
        m_tab->addRow(17, QStringLiteral("00 01"));
        m_tab->addRow(4294967295u, QString());
        QCOMPARE(table()->rowCount(), 5);
        QCOMPARE(row(3), QStringList({"17", "00 01"}));
        QCOMPARE(row(4), QStringList({"4294967295", ""}));
    }

    void announcementsOfEveryButton_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("delete") << "pushButtonDelete"
                                << "BaseSetupWidget::on_pushButtonDelete_clicked";
        QTest::newRow("import") << "pushButtonImport"
                                << "BaseSetupWidget::on_pushButtonImport_clicked";
        QTest::newRow("export") << "pushButtonExport"
                                << "BaseSetupWidget::on_pushButtonExport_clicked";
        QTest::newRow("modify") << "pushButtonModify"
                                << "BaseSetupWidget::on_pushButtonModify_clicked";
    }

    void announcementsOfEveryButton()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        ModalDriver driver;
        driver.closeMessageBox();
        QTest::mouseClick(button(name.toLatin1().constData()), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(driver.titles, QStringList{"Warning!"});
        QCOMPARE(driver.texts, QStringList{text});
        QCOMPARE(driver.buttonCounts, QList<int>{1});
        QCOMPARE(driver.defaultIsOk, QList<bool>{true});
        QCOMPARE(table()->rowCount(), 3); // nothing else happens
    }

    void stopSendAnnouncesThenEmitsOnce()
    {
        QSignalSpy stop(m_tab.get(), &BaseSetupWidget::stop_send);
        ModalDriver driver;
        int emittedWhileBoxOpen = -1;
        driver.closeMessageBox();
        // The signal must follow the box, not precede it.
        connect(m_tab.get(), &BaseSetupWidget::stop_send, this,
                [&] { emittedWhileBoxOpen = driver.done() ? 0 : 1; });
        QTest::mouseClick(button("pushButtonStopSend"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(driver.texts, QStringList{"BaseSetupWidget::on_pushButtonStopSend_clicked"});
        QCOMPARE(stop.count(), 1);
        QCOMPARE(emittedWhileBoxOpen, 0);
    }

    void addThroughDialogOk()
    {
        ModalDriver driver;
        driver.closeMessageBox();
        QString openedOn;
        QString openedData = QStringLiteral("unset");
        driver.handleDialog(dialog(), [&](QWidget* d) {
            openedOn = cmdCombo(d)->currentText();
            openedData = dataEdit(d)->toPlainText();
            cmdCombo(d)->setCurrentIndex(cmdCombo(d)->findText(QStringLiteral("[0x11]导入数据-扭矩模式")));
            QTest::keyClicks(dataEdit(d), QStringLiteral("00 01"));
            QTest::mouseClick(buttonBox(d)->button(QDialogButtonBox::Ok), Qt::LeftButton);
        });
        QTest::mouseClick(button("pushButtonAdd"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(driver.texts, QStringList{"BaseSetupWidget::on_pushButtonInsert_clicked"});
        QCOMPARE(openedOn, QStringLiteral("[0x01]设置时间"));
        QCOMPARE(openedData, QString());
        QCOMPARE(table()->rowCount(), 4);
        QCOMPARE(row(3), QStringList({"17", "00 01"}));
    }

    void addResetsDialogLeftFromModify()
    {
        // The dialog is reused: a second add must not start from the last modify's values.
        dialog()->setCmd(9);
        dialog()->setData(QStringLiteral("stale"));
        ModalDriver driver;
        driver.closeMessageBox();
        QString openedOn;
        QString openedData;
        driver.handleDialog(dialog(), [&](QWidget* d) {
            openedOn = cmdCombo(d)->currentText();
            openedData = dataEdit(d)->toPlainText();
            QTest::mouseClick(buttonBox(d)->button(QDialogButtonBox::Ok), Qt::LeftButton);
        });
        QTest::mouseClick(button("pushButtonAdd"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(openedOn, QStringLiteral("[0x01]设置时间"));
        QCOMPARE(openedData, QString());
        QCOMPARE(row(3), QStringList({"1", ""}));
    }

    void addThroughDialogCancel()
    {
        ModalDriver driver;
        driver.closeMessageBox();
        driver.handleDialog(dialog(), [&](QWidget* d) {
            cmdCombo(d)->setCurrentIndex(5);
            QTest::keyClicks(dataEdit(d), QStringLiteral("abc"));
            QTest::mouseClick(buttonBox(d)->button(QDialogButtonBox::Cancel), Qt::LeftButton);
        });
        QTest::mouseClick(button("pushButtonAdd"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(table()->rowCount(), 3);
    }

    void modifyWithoutSelectionOnlyAnnounces()
    {
        table()->clearSelection();
        ModalDriver driver;
        driver.closeMessageBox();
        QTest::mouseClick(button("pushButtonModify"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(driver.texts, QStringList{"BaseSetupWidget::on_pushButtonModify_clicked"});
        QVERIFY(!dialog()->isVisible());
        QCOMPARE(row(1), QStringList({"2", "223"}));
    }

    void modifyWithResetThenOk()
    {
        clickCell(1, 1);
        QCOMPARE(table()->selectedItems().size(), 2);
        ModalDriver driver;
        driver.closeMessageBox();
        QString openedOn, openedData, afterResetOn, afterResetData;
        driver.handleDialog(dialog(), [&](QWidget* d) {
            openedOn = cmdCombo(d)->currentText();
            openedData = dataEdit(d)->toPlainText();
            cmdCombo(d)->setCurrentIndex(cmdCombo(d)->findData(20));
            dataEdit(d)->setPlainText(QStringLiteral("changed"));
            QTest::mouseClick(buttonBox(d)->button(QDialogButtonBox::Reset), Qt::LeftButton);
            QVERIFY(d->isVisible()); // Reset does not close
            afterResetOn = cmdCombo(d)->currentText();
            afterResetData = dataEdit(d)->toPlainText();
            cmdCombo(d)->setCurrentIndex(cmdCombo(d)->findData(12));
            dataEdit(d)->setPlainText(QStringLiteral("AB CD"));
            QTest::mouseClick(buttonBox(d)->button(QDialogButtonBox::Ok), Qt::LeftButton);
        });
        QTest::mouseClick(button("pushButtonModify"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(openedOn, QStringLiteral("[0x02]获取时间"));
        QCOMPARE(openedData, QStringLiteral("223"));
        QCOMPARE(afterResetOn, QStringLiteral("[0x02]获取时间"));
        QCOMPARE(afterResetData, QStringLiteral("223"));
        QCOMPARE(row(1), QStringList({"12", "AB CD"}));
        QCOMPARE(table()->rowCount(), 3);
    }

    void modifyCancelKeepsRow()
    {
        clickCell(2, 0);
        ModalDriver driver;
        driver.closeMessageBox();
        driver.handleDialog(dialog(), [&](QWidget* d) {
            cmdCombo(d)->setCurrentIndex(7);
            QTest::mouseClick(buttonBox(d)->button(QDialogButtonBox::Cancel), Qt::LeftButton);
        });
        QTest::mouseClick(button("pushButtonModify"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(row(2), QStringList({"3", "323"}));
    }

    void modifyOfNonNumberOpensOnFirstItem()
    {
        table()->item(0, 0)->setText(QStringLiteral("abc"));
        clickCell(0, 0);
        ModalDriver driver;
        driver.closeMessageBox();
        QString openedOn;
        driver.handleDialog(dialog(), [&](QWidget* d) {
            openedOn = cmdCombo(d)->currentText();
            QTest::mouseClick(buttonBox(d)->button(QDialogButtonBox::Ok), Qt::LeftButton);
        });
        QTest::mouseClick(button("pushButtonModify"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(openedOn, QStringLiteral("[0x01]设置时间"));
        QCOMPARE(row(0), QStringList({"1", "123"}));
    }

    void modifyOfRowWithMissingCellDoesNotCrash()
    {
        delete table()->takeItem(1, 1);
        clickCell(1, 0);
        ModalDriver driver;
        driver.closeMessageBox();
        QString openedData = QStringLiteral("unset");
        driver.handleDialog(dialog(), [&](QWidget* d) {
            openedData = dataEdit(d)->toPlainText();
            dataEdit(d)->setPlainText(QStringLiteral("new"));
            QTest::mouseClick(buttonBox(d)->button(QDialogButtonBox::Ok), Qt::LeftButton);
        });
        QTest::mouseClick(button("pushButtonModify"), Qt::LeftButton);
        QVERIFY(driver.done());
        QCOMPARE(openedData, QString());
        QCOMPARE(row(1), QStringList({"2", "new"}));
    }

    void clickBelowRowsClearsSelection()
    {
        QSignalSpy empty(table(), &QTableWidgetEx::itemSelectionEmpty);
        clickCell(0, 1);
        QCOMPARE(table()->selectedItems().size(), 2);
        clickBelowRows();
        QCOMPARE(empty.count(), 1);
        QVERIFY(table()->selectedItems().isEmpty());
        QVERIFY(!table()->currentIndex().isValid());

        // Modify then finds no row: the box only.
        ModalDriver driver;
        driver.closeMessageBox();
        QTest::mouseClick(button("pushButtonModify"), Qt::LeftButton);
        QVERIFY(driver.done());
        QVERIFY(!dialog()->isVisible());
    }

    void clickOnCellDoesNotReportEmpty()
    {
        QSignalSpy empty(table(), &QTableWidgetEx::itemSelectionEmpty);
        clickCell(2, 0);
        QCOMPARE(empty.count(), 0);
        QCOMPARE(table()->selectedItems().first()->row(), 2);
    }

    void recvDataLogsPortThenCommand()
    {
        QStringList lines;
        auto connection = connect(LogManager::instance(), &LogManager::logAdded, this,
                                  [&](const QString& line) { lines << line.mid(22); });
        m_tab->slot_recvData(QStringLiteral("COM3"), 5, QByteArray("\x01\x02", 2));
        disconnect(connection);
        QCOMPARE(lines, QStringList({"PORT:COM3 >> Recv Data: CMD=5",
                                     "PORT:COM3 >> Unsupported CMD Of Base Setup[5]!"}));
    }

    void recvDataShowsCommandInDecimal()
    {
        QStringList lines;
        auto connection = connect(LogManager::instance(), &LogManager::logAdded, this,
                                  [&](const QString& line) { lines << line.mid(22); });
        m_tab->slot_recvData(QStringLiteral("/tmp/pty"), 0x15, QByteArray());
        disconnect(connection);
        QCOMPARE(lines, QStringList({"PORT:/tmp/pty >> Recv Data: CMD=21",
                                     "PORT:/tmp/pty >> Unsupported CMD Of Base Setup[21]!"}));
    }
};

class TestUiParamSetupDialog : public QObject
{
    Q_OBJECT

private slots:
    void init() { DisplayScale::setFactor(1.0); }

    void form()
    {
        ParamSetupDialog d;
        QCOMPARE(d.windowTitle(), QStringLiteral("Dialog"));
        QCOMPARE(d.size(), QSize(400, 300));
        QCOMPARE(d.findChild<QLabel*>(QStringLiteral("label"))->text(), QStringLiteral("命令："));
        auto* label2 = d.findChild<QLabel*>(QStringLiteral("label_2"));
        QCOMPARE(label2->text(), QStringLiteral("数据："));
        QCOMPARE(label2->alignment() & (Qt::AlignLeft | Qt::AlignTop), Qt::AlignLeft | Qt::AlignTop);
        auto* box = d.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        QCOMPARE(box->orientation(), Qt::Horizontal);
        QVERIFY(box->centerButtons());
        QCOMPARE(box->button(QDialogButtonBox::Ok)->text(), QStringLiteral("确定"));
        QCOMPARE(box->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
        QCOMPARE(box->button(QDialogButtonBox::Reset)->text(), QStringLiteral("重置"));
        QVERIFY(d.findChild<QWidget*>(QStringLiteral("widget")));
        QVERIFY(d.findChild<QWidget*>(QStringLiteral("widget_2")));
    }

    void comboItems()
    {
        ParamSetupDialog d;
        auto* combo = d.findChild<QComboBox*>(QStringLiteral("comboBoxCmd"));
        const QStringList texts = {
            "[0x01]设置时间",          "[0x02]获取时间",          "[0x03]设置出厂编号",
            "[0x04]获取出厂编号",      "[0x05]设置设备名称",      "[0x06]获取设备名称",
            "[0x07]设置设备编号",      "[0x08]获取设备编号",      "[0x09]设置锁定状态",
            "[0x0A]设置使用密码",      "[0x0B]设置使用次数",      "[0x0C]获取文件记录",
            "[0x0D]清除文件记录",      "[0x0E]导入数据记录",      "[0x0F]设置操作人",
            "[0x10]获取操作人",        "[0x11]导入数据-扭矩模式", "[0x12]导入数据-螺栓模式",
            "[0x13]导入数据-角度模式", "[0x14]导入数据-挡位模式", "[0x15]导入数据-传感器模式"};
        QCOMPARE(combo->count(), 21);
        for (int i = 0; i < combo->count(); ++i) {
            QCOMPARE(combo->itemText(i), texts.at(i));
            QCOMPARE(combo->itemData(i).toInt(), i + 1);
        }
        QVERIFY(qobject_cast<QListView*>(combo->view()));
        QCOMPARE(combo->styleSheet(),
                 QStringLiteral(
                     "QComboBox { height:22px; }QComboBox QAbstractItemView::item { min-height:22px; } "));
    }

    void comboStyleFollowsScale()
    {
        QCOMPARE(
            ParamSetupDialog::comboStyleSheet(1.25),
            QStringLiteral(
                "QComboBox { height:27.5px; }QComboBox QAbstractItemView::item { min-height:27.5px; } "));
        DisplayScale::setFactor(2.0);
        ParamSetupDialog d;
        QCOMPARE(d.findChild<QComboBox*>(QStringLiteral("comboBoxCmd"))->styleSheet(),
                 QStringLiteral(
                     "QComboBox { height:44px; }QComboBox QAbstractItemView::item { min-height:44px; } "));
    }

    void setCmdSelectsItem_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::addColumn<int>("expected");
        QTest::newRow("0") << 0 << 1;
        QTest::newRow("1") << 1 << 1;
        QTest::newRow("2") << 2 << 2;
        QTest::newRow("17") << 17 << 17;
        QTest::newRow("21") << 21 << 21;
        QTest::newRow("22") << 22 << 1;
        QTest::newRow("-1") << -1 << 1;
    }

    void setCmdSelectsItem()
    {
        QFETCH(int, cmd);
        QFETCH(int, expected);
        ParamSetupDialog d;
        d.setCmd(5);
        d.setCmd(cmd);
        QCOMPARE(d.cmd(), expected);
    }

    void setDataAndReset()
    {
        ParamSetupDialog d;
        d.setCmd(22);
        d.setData(QStringLiteral("x y"));
        QCOMPARE(d.data(), QStringLiteral("x y"));
        auto* combo = d.findChild<QComboBox*>(QStringLiteral("comboBoxCmd"));
        auto* edit = d.findChild<QTextEdit*>(QStringLiteral("textEditData"));
        combo->setCurrentIndex(10);
        edit->setPlainText(QStringLiteral("other"));
        auto* box = d.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        box->button(QDialogButtonBox::Reset)->click();
        QCOMPARE(d.cmd(), 1); // 22 was stored as 0
        QCOMPARE(d.data(), QStringLiteral("x y"));
    }

    void execResults()
    {
        ParamSetupDialog d;
        auto* box = d.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        ModalDriver driver;
        driver.handleDialog(&d, [box](QWidget*) { box->button(QDialogButtonBox::Ok)->click(); });
        QCOMPARE(d.exec(), 1);
        driver.handleDialog(&d, [box](QWidget*) { box->button(QDialogButtonBox::Cancel)->click(); });
        QCOMPARE(d.exec(), 0);
        driver.handleDialog(&d, [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
        QCOMPARE(d.exec(), 0);
        QVERIFY(driver.done());
    }
};

int main(int argc, char** argv)
{
    return uitest::runWidgetTests<TestUiBaseSetup, TestUiParamSetupDialog>(argc, argv);
}

#include "tst_ui_base_setup.moc"
