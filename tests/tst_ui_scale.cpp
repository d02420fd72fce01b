#include "tst_ui_helpers.h"

#include "app/Widget.h"
#include "ui/BaseSetupWidget.h"
#include "ui/DisplayScale.h"
#include "ui/ParamSetupDialog.h"

#include <QComboBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QtTest>

// The whole window on a screen of 120 logical dots per inch: scale factor 1.2.
class TestUiScale : public QObject
{
    Q_OBJECT

private slots:
    void screenIs120Dpi() { QCOMPARE(QGuiApplication::primaryScreen()->logicalDotsPerInch(), 120.0); }

    void windowScalesByOnePointTwo()
    {
        Widget w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(DisplayScale::factor(), 1.2);
        QCOMPARE(w.styleSheet(), QStringLiteral("font-size:14.4px;"));
        auto* serialTabs = w.findChild<QTabWidget*>(QStringLiteral("tabWidgetSerialPortSetup"));
        QCOMPARE(serialTabs->width(), 307);
        QCOMPARE(serialTabs->styleSheet(), QStringLiteral("QTabBar:tab{height:31.2;}"));
        QCOMPARE(w.findChild<QTabWidget*>(QStringLiteral("tabWidgetServiceSetup"))->styleSheet(),
                 QStringLiteral("QTabBar:tab{height:31.2;}"));
        for (const char* name : {"comboBoxPortName", "comboBoxBaudRate", "comboBoxDataBits", "comboBoxParity",
                                 "comboBoxStopBits"}) {
            auto* combo = w.findChild<QComboBox*>(QLatin1String(name));
            QCOMPARE(combo->styleSheet(), QStringLiteral("font:bold; font-size:21.6px; color:black;"));
            QCOMPARE(combo->height(), 43);
        }
        for (const char* name : {"labelPortName", "labelBaudRate", "labelDataBits", "labelParity",
                                 "labelStopBits", "pushButtonSearchSerial", "pushButtonOpenSerial"})
            QCOMPARE(w.findChild<QWidget*>(QLatin1String(name))->height(), 43);
        QCOMPARE(w.findChild<QPushButton*>(QStringLiteral("pushButtonClearTextEdit"))->size(), QSize(96, 43));

        // The tabs and their dialog were made after the factor was set.
        auto* base = w.findChild<BaseSetupWidget*>();
        QCOMPARE(base->findChild<QPushButton*>(QStringLiteral("pushButtonImport"))->size(), QSize(96, 43));
        QCOMPARE(base->findChild<QPushButton*>(QStringLiteral("pushButtonExport"))->size(), QSize(96, 43));
        QCOMPARE(
            base->paramSetupDialog()->findChild<QComboBox*>(QStringLiteral("comboBoxCmd"))->styleSheet(),
            QStringLiteral(
                "QComboBox { height:26.4px; }QComboBox QAbstractItemView::item { min-height:26.4px; } "));
    }
};

int main(int argc, char** argv)
{
    qputenv("QT_FONT_DPI", "120");
    // Qt 6 scales a 120-dpi screen itself and reports 96; this test is about our own scaling.
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    return uitest::runWidgetTests<TestUiScale>(argc, argv);
}

#include "tst_ui_scale.moc"
