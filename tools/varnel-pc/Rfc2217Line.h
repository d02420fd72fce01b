#pragma once

#include "transport/Rfc2217Codec.h"

#include <QIODevice>
#include <QTcpSocket>

// The PC end of an RFC 2217 line: a Telnet client over a TCP socket that asks for the
// COM-PORT-OPTION, sets the serial settings, and reads and writes the line's bytes with
// 0xFF escaped. Sequential and unbuffered; readyRead when line bytes arrived.
class Rfc2217Line : public QIODevice
{
    Q_OBJECT

public:
    explicit Rfc2217Line(const Rfc2217Codec::LineSettings& settings, QObject* parent = nullptr);

    // Connects and sends the greeting; false with errorString() set.
    bool connectTo(const QString& host, quint16 port, int timeoutMs);
    QTcpSocket& socket() { return m_socket; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    void onReadyRead();

    QTcpSocket m_socket;
    Rfc2217Codec m_telnet;
    Rfc2217Codec::LineSettings m_settings;
    QByteArray m_data;
};
