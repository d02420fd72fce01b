#pragma once

#include "transport/LineTransport.h"
#include "transport/SerialSettings.h"

#include <QSerialPort>

// A serial port (a real adapter or one end of a virtual pair) as a unit's line.
class SerialTransport : public LineTransport
{
    Q_OBJECT

public:
    SerialTransport(const QString& portName, const SerialSettings& settings, QObject* parent = nullptr);
    ~SerialTransport() override;

    bool open() override;
    void close() override;
    bool isOpen() const override { return m_port.isOpen(); }
    QString name() const override { return m_portName; }
    // A port another program has locked says by which, not "Permission error while locking".
    QString errorString() const override;

    QByteArray readAll() override;
    void write(const QByteArray& bytes) override;
    void clearInput() override;
    void clearAll() override;
    qint64 bytesToWrite() const override;
    bool waitForBytesWritten(int msecs) override;
    qint64 characterNs() const override { return m_settings.characterNs(); }

private:
    void onError(QSerialPort::SerialPortError error);
    void rearmReading();

    QSerialPort m_port;
    QString m_portName;
    SerialSettings m_settings;
    bool m_watchErrors = false;
    bool m_rearmQueued = false;
};
