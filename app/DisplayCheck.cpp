#include "app/DisplayCheck.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler s_previousHandler = nullptr;
QStringList s_heldMessages;

void guardedHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const bool platformMessage = context.category && qstrncmp(context.category, "qt.qpa", 6) == 0;
    if (type == QtFatalMsg) {
        // The platform's own words say best what is wrong ("could not connect to display :99").
        const QString reason =
            s_heldMessages.isEmpty() ? message.section(QLatin1Char('\n'), 0, 0) : s_heldMessages.first();
        std::fprintf(stderr, "varnel-test: cannot start the window: %s\n", qPrintable(reason));
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (platformMessage && type != QtDebugMsg) {
        s_heldMessages << message;
        return;
    }
    if (s_previousHandler)
        s_previousHandler(type, context, message);
}

} // namespace

bool DisplayCheck::platformHasDisplay(const QString& name, bool displayOption)
{
    if (name == QLatin1String("xcb"))
        return displayOption || !qEnvironmentVariableIsEmpty("DISPLAY");
    if (name.startsWith(QLatin1String("wayland"))) {
        if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            return true;
        // The client library's default socket.
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        return !runtime.isEmpty() && QFileInfo::exists(QDir(runtime).filePath(QStringLiteral("wayland-0")));
    }
    // offscreen, minimal, eglfs, linuxfb, vnc and the rest need no display server.
    return true;
}

QString DisplayCheck::problem(const QString& platform, bool displayOption)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    QString names = platform.isEmpty() ? qEnvironmentVariable("QT_QPA_PLATFORM") : platform;
    if (names.isEmpty()) {
        // The default is X11, or Wayland in a Wayland session.
        if (platformHasDisplay(QStringLiteral("xcb"), displayOption) ||
            platformHasDisplay(QStringLiteral("wayland"), displayOption))
            return QString();
        return QStringLiteral("no display: neither DISPLAY nor WAYLAND_DISPLAY is set "
                              "(-platform offscreen runs without one)");
    }
    // "wayland;xcb" tries each in turn; "xcb:arguments" passes arguments to the plugin.
    QStringList missing;
    for (const QString& entry : names.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString name = entry.section(QLatin1Char(':'), 0, 0).trimmed();
        if (platformHasDisplay(name, displayOption))
            return QString();
        missing << (name == QLatin1String("xcb")
                        ? QStringLiteral("DISPLAY is not set for the xcb platform")
                        : QStringLiteral("WAYLAND_DISPLAY is not set for the %1 platform").arg(name));
    }
    if (missing.isEmpty())
        return QString();
    return QStringLiteral("no display: %1 (-platform offscreen runs without one)")
        .arg(missing.join(QStringLiteral("; ")));
#else
    Q_UNUSED(platform)
    Q_UNUSED(displayOption)
    return QString();
#endif
}

void DisplayCheck::guardStartup(bool on)
{
    if (on) {
        s_heldMessages.clear();
        s_previousHandler = qInstallMessageHandler(guardedHandler);
        return;
    }
    qInstallMessageHandler(s_previousHandler);
    const QStringList held = std::move(s_heldMessages);
    s_heldMessages.clear();
    for (const QString& message : held)
        qWarning("%s", qPrintable(message));
}
