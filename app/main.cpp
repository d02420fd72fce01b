// varnel-test: the desktop window that answers the PC program as the handheld unit would.
#include "app/Widget.h"
#include "crash/CrashReport.h"
#include "log/StartupLog.h"

#include <QApplication>
#include <QFont>
#include <QTextCodec>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "usage: varnel-test [--help | --version] [Qt options such as -platform NAME]\n"
                      "the desktop window that answers the PC program as the handheld unit would\n";

} // namespace

int main(int argc, char* argv[])
{
    // Answered before anything else starts, so they leave no log file behind.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts(VARNEL_VERSION_LINE);
            return 0;
        }
    }
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    installCrashHandler();
    StartupLog::begin("varnel-test");

    QApplication app(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("宋体"), 9));
    Widget window;
    window.show();
    return app.exec();
}
