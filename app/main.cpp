// varnel-test: the desktop window that answers the PC program as the handheld unit would.
#include "app/Widget.h"
#include "log/CrashReport.h"
#include "log/StartupLog.h"

#include <QApplication>
#include <QFont>
#include <QTextCodec>

int main(int argc, char* argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    installCrashHandler();
    StartupLog::begin("varnel-test");

    QApplication app(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("宋体"), 9));
    Widget window;
    window.show();
    return app.exec();
}
