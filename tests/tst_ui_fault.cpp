#include "tst_ui_helpers.h"

#include "fault/FaultStage.h"
#include "ui/FaultWidget.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>
#include <QVBoxLayout>

// The faults tab on a real fault stage: add, count, refuse, clear.
class TestUiFault : public QObject
{
    Q_OBJECT

private:
    template <typename T> static T* child(QWidget* w, const char* name)
    {
        T* found = w->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }

    static QStringList items(QWidget* tab)
    {
        QStringList texts;
        auto* list = child<QListWidget>(tab, "listWidgetFaultRules");
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        return texts;
    }

private slots:
    void addCountRefuseClear()
    {
        FaultStage stage;
        FaultWidget tab(stage.rules());
        tab.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tab));
        QVERIFY(qobject_cast<QVBoxLayout*>(tab.layout()));
        auto* edit = child<QLineEdit>(&tab, "lineEditFaultRule");
        auto* add = child<QPushButton>(&tab, "pushButtonAddFaultRule");
        auto* error = child<QLabel>(&tab, "labelFaultError");
        QCOMPARE(items(&tab), QStringList());

        QTest::keyClicks(edit, QStringLiteral("2:drop@2"));
        QTest::mouseClick(add, Qt::LeftButton);
        QTest::keyClicks(edit, QStringLiteral("*:delay=5"));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(items(&tab), QStringList({"get-time:drop@2    fired 0", "*:delay=5    fired 0"}));
        QCOMPARE(edit->text(), QString());
        QCOMPARE(error->text(), QString());

        // Requests through the gate (no port open: the replies go nowhere) count the fires.
        UnitRequest getTime;
        getTime.command = 2;
        stage.pass(getTime);
        stage.pass(getTime);
        QCOMPARE(items(&tab), QStringList({"get-time:drop@2    fired 1", "*:delay=5    fired 2"}));

        QTest::keyClicks(edit, QStringLiteral("get-time:dorp"));
        QTest::mouseClick(add, Qt::LeftButton);
        QCOMPARE(error->text(), QStringLiteral("fault rule \"get-time:dorp\": unknown action \"dorp\""));
        QCOMPARE(edit->text(), QStringLiteral("get-time:dorp"));
        // The whole error is in the tip even where the label shows only its first lines.
        QCOMPARE(error->toolTip(), error->text());
        QVERIFY(error->maximumHeight() <= 3 * error->fontMetrics().lineSpacing());
        QCOMPARE(items(&tab).size(), 2);
        QCOMPARE(stage.rules()->rules().size(), 2);

        // A rule with a timeline shows its state after the count.
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("get-time:drop@after=1m"));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(items(&tab).last(), QStringLiteral("get-time:drop@after=1m    fired 0    waiting"));

        QTest::mouseClick(child<QPushButton>(&tab, "pushButtonClearFaultRules"), Qt::LeftButton);
        QCOMPARE(items(&tab), QStringList());
        QCOMPARE(error->text(), QString());
        QCOMPARE(error->toolTip(), QString());
        QVERIFY(stage.rules()->rules().isEmpty());
    }
};

int main(int argc, char** argv)
{
    return uitest::runWidgetTests<TestUiFault>(argc, argv);
}
#include "tst_ui_fault.moc"
