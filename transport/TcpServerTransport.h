#pragma once

#include "transport/Endpoint.h"
#include "transport/LineTransport.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A unit's line as a TCP listener: one client at a time, as a serial line has one peer. A
// second client is closed at once; when the client goes the line stays open for the next.
// The bytes are the line's bytes unchanged; a subclass may carry them in a protocol of its own.
class TcpServerTransport : public LineTransport
{
    Q_OBJECT

public:
    explicit TcpServerTransport(const Endpoint& endpoint, QObject* parent = nullptr);
    ~TcpServerTransport() override;

    // Listens; reports "LISTEN ENDPOINT" with the port actually bound.
    bool open() override;
    void close() override;
    bool isOpen() const override { return m_server.isListening(); }
    // The endpoint with the port actually bound once listening.
    QString name() const override { return m_endpoint.text(); }
    QString errorString() const override { return m_error; }

    QByteArray readAll() override;
    void write(const QByteArray& bytes) override;
    void clearInput() override;
    void clearAll() override;
    qint64 bytesToWrite() const override;
    bool waitForBytesWritten(int msecs) override;

    bool hasClient() const { return m_client != nullptr; }
    quint16 boundPort() const { return m_endpoint.port(); }

protected:
    // The line's bytes in what the client sent; whatever else it holds is handled here.
    virtual QByteArray fromClient(const QByteArray& raw) { return raw; }
    // What goes to the client for the line's bytes.
    virtual QByteArray toClient(const QByteArray& bytes) { return bytes; }
    // A new client was taken on.
    virtual void clientArrived() {}
    // Writes to the client as is, past toClient (a protocol's own answers).
    void sendRaw(const QByteArray& raw);
    // Drops what the client sent that was not read yet.
    void dropInput() { m_input.clear(); }
    // Reports a line for the log.
    void report(const QString& text) { emit message(text); }

private:
    void onNewConnection();
    void onClientGone();
    // Takes what the client sent into the line's input.
    void pump();
    QString clientText() const;

    Endpoint m_endpoint;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_input;
    QString m_error;
};
