#include "transport/TcpServerTransport.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTcpSocket>

namespace {

// "localhost" and literal addresses without a lookup; other names through the resolver.
bool resolve(const QString& host, QHostAddress* address, QString* error)
{
    if (host == QLatin1String("localhost")) {
        *address = QHostAddress(QHostAddress::LocalHost);
        return true;
    }
    if (address->setAddress(host))
        return true;
    const QHostInfo info = QHostInfo::fromName(host);
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        *error = QStringLiteral("cannot resolve %1: %2").arg(host, info.errorString());
        return false;
    }
    *address = info.addresses().first();
    return true;
}

} // namespace

TcpServerTransport::TcpServerTransport(const Endpoint& endpoint, QObject* parent)
    : LineTransport(parent), m_endpoint(endpoint), m_server(this)
{
    // One connection waits in the queue at most; the next is taken and refused at once.
    m_server.setMaxPendingConnections(1);
    connect(&m_server, &QTcpServer::newConnection, this, &TcpServerTransport::onNewConnection);
}

TcpServerTransport::~TcpServerTransport()
{
    if (m_client)
        disconnect(m_client, nullptr, this, nullptr);
}

bool TcpServerTransport::open()
{
    if (m_server.isListening())
        return true;
    QHostAddress address;
    if (!resolve(m_endpoint.name(), &address, &m_error))
        return false;
    if (!m_server.listen(address, m_endpoint.port())) {
        m_error = QStringLiteral("cannot listen on %1: %2").arg(m_endpoint.text(), m_server.errorString());
        return false;
    }
    m_error.clear();
    m_endpoint = m_endpoint.withPort(m_server.serverPort());
    emit message(QStringLiteral("LISTEN %1").arg(m_endpoint.text()));
    if (!address.isLoopback())
        emit message(QStringLiteral("WARNING: %1 is not a loopback address: anyone who can reach it over the "
                                    "network can talk to the unit")
                         .arg(m_endpoint.text()));
    return true;
}

void TcpServerTransport::close()
{
    if (m_client) {
        disconnect(m_client, nullptr, this, nullptr);
        m_client->abort();
        m_client->deleteLater();
        m_client = nullptr;
    }
    m_input.clear();
    m_server.close();
}

QByteArray TcpServerTransport::readAll()
{
    pump();
    QByteArray bytes;
    bytes.swap(m_input);
    return bytes;
}

void TcpServerTransport::write(const QByteArray& bytes)
{
    // With no client the bytes go nowhere, as on a serial line with nothing plugged in.
    if (!m_client || bytes.isEmpty())
        return;
    sendRaw(toClient(bytes));
}

void TcpServerTransport::sendRaw(const QByteArray& raw)
{
    if (!m_client || raw.isEmpty())
        return;
    m_client->write(raw);
    m_client->flush();
}

void TcpServerTransport::clearInput()
{
    // As a serial port's input flush: what arrived and was not read yet is gone.
    pump();
    m_input.clear();
}

void TcpServerTransport::clearAll()
{
    clearInput();
}

qint64 TcpServerTransport::bytesToWrite() const
{
    return m_client ? m_client->bytesToWrite() + heldBytes() : 0;
}

bool TcpServerTransport::waitForBytesWritten(int msecs)
{
    return m_client && m_client->waitForBytesWritten(msecs);
}

void TcpServerTransport::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        const QString peer =
            QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
        if (m_client) {
            emit message(QStringLiteral("refused a second client %1 on %2: one client at a time")
                             .arg(peer, m_endpoint.text()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_client = socket;
        m_input.clear();
        m_inputWaits = false;
        m_inputWaitSaid = false;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Qt reads no more than this ahead of us; the rest waits in the kernel, then in the client.
        socket->setReadBufferSize(kReadChunkBytes);
        connect(socket, &QTcpSocket::readyRead, this, [this] {
            pump();
            if (!m_input.isEmpty())
                emit readyRead();
        });
        connect(socket, &QTcpSocket::bytesWritten, this, &TcpServerTransport::onBytesWritten);
        connect(socket, &QTcpSocket::disconnected, this, &TcpServerTransport::onClientGone);
        emit message(QStringLiteral("client %1 connected to %2").arg(peer, m_endpoint.text()));
        emit peerConnected(peer);
        clientArrived();
    }
}

void TcpServerTransport::onClientGone()
{
    if (!m_client)
        return;
    const QString peer = clientText();
    disconnect(m_client, nullptr, this, nullptr);
    m_client->deleteLater();
    m_client = nullptr;
    m_input.clear();
    emit message(QStringLiteral("client %1 left %2; waiting for the next").arg(peer, m_endpoint.text()));
    emit peerGone();
}

void TcpServerTransport::pump()
{
    if (!m_client || m_client->bytesAvailable() == 0)
        return;
    // A protocol's answers count too: a client asking and never reading must not grow them.
    const qint64 queued = m_client->bytesToWrite();
    if (queued > kMaxQueuedBytes) {
        if (!m_inputWaitSaid) // once per client: a slow reader would say it on every fill
            emit message(QStringLiteral("client %1 on %2 is not reading: %3 bytes wait for it; what it sends "
                                        "waits until they are down to %4")
                             .arg(clientText(), m_endpoint.text())
                             .arg(queued)
                             .arg(kResumeBytes));
        m_inputWaits = true;
        m_inputWaitSaid = true;
        return;
    }
    m_input += fromClient(m_client->readAll());
}

void TcpServerTransport::onBytesWritten(qint64 bytes)
{
    emit bytesWritten(bytes);
    if (!m_inputWaits || !m_client || m_client->bytesToWrite() > kResumeBytes)
        return;
    m_inputWaits = false;
    pump();
    if (!m_input.isEmpty())
        emit readyRead();
}

void TcpServerTransport::dropClient(const QString& why)
{
    const QPointer<QTcpSocket> client = m_client;
    QMetaObject::invokeMethod(
        this,
        [this, client, why] {
            if (!client || client != m_client)
                return;
            emit message(
                QStringLiteral("client %1 on %2 closed: %3").arg(clientText(), m_endpoint.text(), why));
            client->abort();
            onClientGone(); // abort() of a connected socket has said so already; then this does nothing
        },
        Qt::QueuedConnection);
}

QString TcpServerTransport::clientText() const
{
    return m_client
               ? QStringLiteral("%1:%2").arg(m_client->peerAddress().toString()).arg(m_client->peerPort())
               : QString();
}
