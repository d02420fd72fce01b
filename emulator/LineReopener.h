#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class UnitSession;

// Opens the session's port again, every interval, after its line vanished: a USB adapter
// pulled and plugged back, or a virtual pair restarted on the same names, needs no restart.
class LineReopener : public QObject
{
    Q_OBJECT

public:
    LineReopener(UnitSession* session, int intervalMs, QObject* parent = nullptr);

    // Watches the session's line; call after each successful session open.
    void watch();

private slots:
    void slot_lineLost();
    void slot_tryOpen();

private:
    UnitSession* m_session;
    QTimer m_timer;
    bool m_failureLogged = false;
};
