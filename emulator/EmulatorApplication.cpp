#include "emulator/EmulatorApplication.h"

#include "emulator/UnitSession.h"
#include "log/LogContext.h"

#include <QEvent>

bool EmulatorApplication::notify(QObject* receiver, QEvent* event)
{
    // Child events come while a session's objects are being made or taken apart: no unit code runs.
    const QEvent::Type type = event->type();
    if (!m_unitPrefixes || type == QEvent::ChildAdded || type == QEvent::ChildRemoved ||
        type == QEvent::ChildPolished)
        return QCoreApplication::notify(receiver, event);
    const UnitSession* session = UnitSession::of(receiver);
    const LogContext::Scope unit(session ? session->logPrefix() : QString());
    return QCoreApplication::notify(receiver, event);
}
