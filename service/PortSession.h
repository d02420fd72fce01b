#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class Device;
class LineObserver;

// Opens and closes the one serial port the emulated unit answers on: creates the
// device, wires it to the service, registers it and runs its parse thread.
class PortSession : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString portName;
        QString baudRate = QStringLiteral("115200");
        QString dataBits = QStringLiteral("8");
        QString stopBits = QStringLiteral("1");
        QString parity = QStringLiteral("None");
    };

    using RequestHandler = std::function<void(QString portName, unsigned char cmd, QByteArray data)>;

    explicit PortSession(QObject* parent = nullptr);
    ~PortSession() override;

    // Requests of ports opened from now on go to the handler, on the gate's thread, instead of
    // straight to the service: a layer in between that passes them on (or not). Null: none.
    void setRequestGate(QObject* gate, RequestHandler handler);
    // Called by the orderly end with the open device once the uploads have ended, before the
    // line drains: a layer that holds writes back lets them go. Lives as long as `owner`.
    using EndHook = std::function<void(Device* device)>;
    void setEndHook(QObject* owner, EndHook hook);

    // False with the system's reason in lastError(); a failed device is deleted at once.
    bool open(const Settings& settings);
    void close();
    // The orderly end of a session: running uploads end with their end frames, which
    // get at most flushBoundMs to leave for the line, then the port closes.
    void endUploadsAndClose(int flushBoundMs = 500);

    // Watches the open device's line and every one opened later; nullptr ends that.
    // Not owned: take it off before it goes.
    void setLineObserver(LineObserver* observer);
    LineObserver* lineObserver() const { return m_observer; }

    bool isOpen() const { return m_device != nullptr; }
    QString portName() const { return m_portName; }
    QString lastError() const { return m_lastError; }
    Device* device() const { return m_device; }

private:
    Device* m_device = nullptr; // owned by the registry while open
    QPointer<QObject> m_gate;
    RequestHandler m_gateHandler;
    QPointer<QObject> m_endHookOwner;
    EndHook m_endHook;
    LineObserver* m_observer = nullptr;
    QString m_portName;
    QString m_lastError;
};
