#pragma once

#include "transport/LineTransport.h"
#include "transport/SerialSettings.h"

#include <QSerialPort>
#include <QTimer>

// A serial port (a real adapter or one end of a virtual pair) as a unit's line.
class SerialTransport : public LineTransport
{
    Q_OBJECT

public:
    SerialTransport(const QString& portName, const SerialSettings& settings, QObject* parent = nullptr);

    // How often a real port's input lines are read for the PC's DTR and RTS.
    static constexpr int kControlLinesMs = 200;
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
    // A real port: not one end of a virtual pair, which carries neither.
    bool carriesSignals() const override { return m_port.isOpen() && !m_pseudoTerminal; }
    bool sendBreak(int ms) override;
    // Through a null-modem cable the PC reads the unit's DTR as DSR and DCD, its RTS as CTS.
    bool setModemLinesOff(std::uint8_t off) override;

private:
    void onError(QSerialPort::SerialPortError error);
    void rearmReading();
    // The PC's DTR and RTS as this port's DSR and CTS, when they changed.
    void readControlLines();

    QSerialPort m_port;
    QString m_portName;
    SerialSettings m_settings;
    bool m_watchErrors = false;
    bool m_rearmQueued = false;
    bool m_pseudoTerminal = false;
    QTimer m_break;
    // A port reports no change of its input lines by itself: read now and then, real ports only.
    QTimer m_controlLines;
    bool m_dtr = false;
    bool m_rts = false;
};
