#include "tools/varnel-pc/Rfc2217Line.h"

#include <cstring>

Rfc2217Line::Rfc2217Line(const Rfc2217Codec::LineSettings& settings, QObject* parent)
    : QIODevice(parent), m_telnet(settings), m_settings(settings)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &Rfc2217Line::onReadyRead);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this,
            [this] { setErrorString(m_socket.errorString()); });
}

bool Rfc2217Line::connectTo(const QString& host, quint16 port, int timeoutMs)
{
    m_socket.connectToHost(host, port);
    if (!m_socket.waitForConnected(timeoutMs)) {
        setErrorString(m_socket.errorString());
        return false;
    }
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    m_socket.write(Rfc2217Codec::clientGreeting(m_settings));
    m_socket.flush();
    return true;
}

void Rfc2217Line::onReadyRead()
{
    QByteArray answers;
    m_data += m_telnet.fromClient(m_socket.readAll(), &answers);
    if (!answers.isEmpty())
        m_socket.write(answers);
    if (!m_data.isEmpty())
        emit readyRead();
}

qint64 Rfc2217Line::readData(char* data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, m_data.size());
    if (n > 0) {
        std::memcpy(data, m_data.constData(), std::size_t(n));
        m_data.remove(0, int(n));
    }
    return n;
}

qint64 Rfc2217Line::writeData(const char* data, qint64 size)
{
    if (m_socket.write(Rfc2217Codec::escape(QByteArray(data, int(size)))) < 0) {
        setErrorString(m_socket.errorString());
        return -1;
    }
    m_socket.flush();
    return size;
}
