// varnel-emu: the emulated handheld unit on one serial port, without a window.
#include "emulator/Emulator.h"
#include "emulator/EmulatorApplication.h"
#include "EmulatorOptions.h"
#include "EmulatorUsage.h"
#include "log/LogManager.h"
#ifdef Q_OS_LINUX
#include "process/EpollEventDispatcher.h"
#endif

#include <QCoreApplication>
#include <QSerialPortInfo>
#include <QTextCodec>

#include <cstdio>
#include <memory>

namespace {

constexpr int kUsageError = 2;

} // namespace

int main(int argc, char* argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    // Qt's own event loop: the GLib one wakes itself every time the port's write notifier
    // is switched on or off, twice per reply. Nothing here needs GLib.
    qputenv("QT_NO_GLIB", "1");
#ifdef Q_OS_LINUX
    // Qt's dispatcher polls every descriptor on every pass: a thousand listening units make
    // each request cost a walk over two thousand of them. Before the application, which
    // otherwise makes its own.
    {
        auto dispatcher = std::make_unique<EpollEventDispatcher>();
        if (dispatcher->isValid())
            QCoreApplication::setEventDispatcher(dispatcher.release());
        else
            std::fputs("varnel-emu: no epoll for the event loop; Qt's own serves (slower with many units)\n",
                       stderr);
    }
#endif
    EmulatorApplication app(argc, argv);

    EmulatorOptions options;
    switch (options.parse(app.arguments())) {
    case EmulatorOptions::Outcome::Help:
        std::fputs(qPrintable(EmulatorUsage::text()), stdout);
        return 0;
    case EmulatorOptions::Outcome::Version:
        std::puts(VARNEL_VERSION_LINE);
        return 0;
    case EmulatorOptions::Outcome::List:
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            std::printf("%s\n", qPrintable(info.portName()));
        return 0;
    case EmulatorOptions::Outcome::Refused:
        if (options.isUsageProblem())
            std::fprintf(stderr, "varnel-emu: %s (see varnel-emu --help)\n", qPrintable(options.problem()));
        else
            std::fprintf(stderr, "varnel-emu: %s\n", qPrintable(options.problem()));
        return kUsageError;
    case EmulatorOptions::Outcome::Run:
        break;
    }

    Emulator emulator(options.config(), &app, LogManager::instance());
    const int code = emulator.run();
    if (!emulator.error().isEmpty())
        std::fprintf(stderr, "varnel-emu: %s\n", qPrintable(emulator.error()));
    return code;
}
