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
    // What is taken from the client per read: a flooding client's bytes come a chunk per
    // event-loop turn, as a serial line brings them, so every other line gets its turn.
    static constexpr qint64 kReadChunkBytes = 256;
    // While more than this waits to go to a client, nothing more is read from it: a client that
    // sends and never reads is held up by TCP, not by our memory. Reading resumes when the
    // queue is down to kResumeBytes.
    static constexpr qint64 kMaxQueuedBytes = 1024 * 1024;
    static constexpr qint64 kResumeBytes = 256 * 1024;

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
    // Bytes for the client kept beside the socket's queue (a suspended flow's).
    virtual qint64 heldBytes() const { return 0; }
    // Closes the client when the event loop gets back (not inside a write), saying why.
    void dropClient(const QString& why);

private:
    void onNewConnection();
    void onClientGone();
    // Takes what the client sent into the line's input, unless too much waits to go to it.
    void pump();
    // After a write to the client: reading goes on once its queue is short again.
    void onBytesWritten(qint64 bytes);
    QString clientText() const;

    Endpoint m_endpoint;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_input;
    QString m_error;
    bool m_inputWaits = false; // the client's queue is full: its input is not read
    bool m_inputWaitSaid = false;
};
