// varnel-test: the desktop window that answers the PC program as the handheld unit would.
#include "app/DisplayCheck.h"
#include "app/Widget.h"
#include "crash/CrashReport.h"
#include "emulator/ControlEndpoint.h"
#include "log/LogManager.h"
#include "log/StartupLog.h"
#include "process/SignalWatcher.h"
#include "util/StandardOptions.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFont>
#include <QTextCodec>

#include <cstdio>

namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: varnel-test [--open PORT]\n"
    "                  [--control HOST:PORT [--control-token TOKEN | --control-token-file FILE]\n"
    "                  [--control-host NAME]...] [Qt options such as -platform NAME]\n"
    "       varnel-test --help | --version\n"
    "the desktop window that answers the PC program as the handheld unit would\n"
    "  --open   open PORT at start, as typing it into the port field and pressing Open\n"
    "  --control  serve the HTTP control API for the window's unit on HOST:PORT (PORT 0\n"
    "           picks a free one, logged as CONTROL http://HOST:PORT); a HOST other than\n"
    "           loopback needs --control-token TOKEN, which every request then carries\n"
    "           as \"Authorization: Bearer TOKEN\" (see varnel-emu --help for the routes);\n"
    "           --control-token-file FILE takes it from FILE's one line, and without either\n"
    "           option the environment's VARNEL_CONTROL_TOKEN, when set, is the token (or\n"
    "           the one line of the file VARNEL_CONTROL_TOKEN_FILE names)\n"
    "  --control-host  a NAME requests may call the API by, beside HOST and localhost\n"
    "the CONTROL line and a network line's LISTEN lines also go to standard output\n";

// Options QApplication takes out of the command line itself; accepted here so they pass.
const char* const kQtValueOptions[] = {"platform",
                                       "platformpluginpath",
                                       "platformtheme",
                                       "plugin",
                                       "qwindowgeometry",
                                       "qwindowicon",
                                       "qwindowtitle",
                                       "display",
                                       "geometry",
                                       "title",
                                       "name",
                                       "visual",
                                       "ncols",
                                       "cmap",
                                       "im",
                                       "inputstyle",
                                       "style",
                                       "stylesheet",
                                       "session",
                                       "qmljsdebugger"};
const char* const kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

int usage(const QString& problem)
{
    return StandardOptions::usageError("varnel-test", problem, kUsage, kUsageError);
}

// Where the window listens, on standard output as varnel-emu prints it, so a harness that
// starts the window finds its ports without reading the log file.
void echoListeningLines(const QString& paneLine)
{
    const QString message = paneLine.mid(paneLine.indexOf(QLatin1String("] ")) + 2);
    if (!message.startsWith(QLatin1String("CONTROL ")) && !message.startsWith(QLatin1String("LISTEN ")))
        return;
    const QByteArray bytes = paneLine.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    // Decided before anything else starts, so a usage error leaves no log file behind and
    // a missing display is one line instead of an abort.
    const QStringList arguments = StandardOptions::arguments(argc, argv);
    QCommandLineParser parser;
    // Qt's own options are single-dash words (-platform offscreen).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const StandardOptions standard;
    const QCommandLineOption open(QStringLiteral("open"), QString(), QStringLiteral("PORT"));
    const QCommandLineOption control(QStringLiteral("control"), QString(), QStringLiteral("HOST:PORT"));
    const QCommandLineOption controlToken(QStringLiteral("control-token"), QString(),
                                          QStringLiteral("TOKEN"));
    const QCommandLineOption controlTokenFile(QStringLiteral("control-token-file"), QString(),
                                              QStringLiteral("FILE"));
    const QCommandLineOption controlHost(QStringLiteral("control-host"), QString(), QStringLiteral("NAME"));
    parser.addOptions(
        {standard.help, standard.version, open, control, controlToken, controlTokenFile, controlHost});
    for (const char* name : kQtValueOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("VALUE")));
    for (const char* name : kQtFlagOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (standard.answered(parser, kUsage, VARNEL_VERSION_LINE))
        return 0;
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    if (parser.isSet(open) && parser.value(open).isEmpty())
        return usage(QStringLiteral("--open: expected a port name"));
    const auto given = [&parser](const QCommandLineOption& option) {
        return parser.isSet(option) ? parser.value(option) : QString();
    };
    ControlEndpoint::Options controlOptions;
    controlOptions.control = given(control);
    controlOptions.token = given(controlToken);
    controlOptions.tokenFile = given(controlTokenFile);
    controlOptions.hosts = parser.values(controlHost);
    ControlEndpoint::Settings controlSettings;
    const QString controlProblem = ControlEndpoint::check(controlOptions, &controlSettings);
    if (!controlProblem.isEmpty())
        return usage(controlProblem);
    const QString displayProblem = DisplayCheck::problem(parser.value(QStringLiteral("platform")),
                                                         parser.isSet(QStringLiteral("display")));
    if (!displayProblem.isEmpty()) {
        std::fprintf(stderr, "varnel-test: %s\n", qPrintable(displayProblem));
        return 1;
    }

    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    installCrashHandler();
    StartupLog::begin("varnel-test");

    DisplayCheck::guardStartup(true);
    QApplication app(argc, argv);
    DisplayCheck::guardStartup(false);
    QApplication::setFont(QFont(QStringLiteral("宋体"), 9));
    QObject::connect(LogManager::instance(), &LogManager::logAdded, &app, &echoListeningLines);
    Widget window;
    // SIGTERM and SIGINT end the session as closing the window does: the end frame of a running
    // upload goes out and the port closes in order.
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &window,
                     &Widget::slot_terminationRequested);
    window.show();
    if (parser.isSet(control)) {
        QString error;
        if (!window.startControl(controlSettings.address, controlSettings.token, &error)) {
            std::fprintf(stderr, "varnel-test: --control: %s\n", qPrintable(error));
            return 1;
        }
    }
    if (parser.isSet(open))
        window.openPort(parser.value(open));
    return app.exec();
}
