#pragma once

#include <QObject>
#include <QString>

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

    explicit PortSession(QObject* parent = nullptr);
    ~PortSession() override;

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
    LineObserver* m_observer = nullptr;
    QString m_portName;
    QString m_lastError;
};
