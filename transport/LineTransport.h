#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>

// One end of the line a unit talks on: a serial port, an in-memory pair, a socket. The
// owner's thread does every call; bytes arrive by readyRead and are taken with readAll.
class LineTransport : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~LineTransport() override = default;

    // The modem lines the unit drives toward the PC, as RFC 2217's modem-state bits.
    static constexpr std::uint8_t kDcd = 0x80;
    static constexpr std::uint8_t kDsr = 0x20;
    static constexpr std::uint8_t kCts = 0x10;

    // False with the reason in errorString().
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The endpoint as the operator named it (a port name, a path).
    virtual QString name() const = 0;
    // The system's reason for the last failure (open or later).
    virtual QString errorString() const = 0;

    virtual QByteArray readAll() = 0;
    // Queues the bytes and hands them to the line now, not on the event loop's next turn.
    virtual void write(const QByteArray& bytes) = 0;
    // Drops input the system holds that was not read yet.
    virtual void clearInput() = 0;
    // Drops both directions' queues.
    virtual void clearAll() = 0;
    // Bytes handed over but not yet written to the line.
    virtual qint64 bytesToWrite() const = 0;
    // Blocks until some of the queue went to the line, at most msecs.
    virtual bool waitForBytesWritten(int msecs) = 0;
    // How long one character takes at the settings in force (what an RFC 2217 client set), in
    // nanoseconds; 0 when the line has no settings of its own.
    virtual qint64 characterNs() const { return 0; }

    // Whether a break and the unit's modem lines reach the PC side (RFC 2217, a real port).
    virtual bool carriesSignals() const { return false; }
    // A break toward the PC for `ms`; the unit's bytes wait until it ends. False: cannot.
    virtual bool sendBreak(int ms)
    {
        (void)ms;
        return false;
    }
    // These of the unit's modem lines off (kDsr, kCts, kDcd), the others on. False: cannot.
    virtual bool setModemLinesOff(std::uint8_t off)
    {
        (void)off;
        return false;
    }

signals:
    void readyRead();
    void bytesWritten(qint64 bytes);
    // The line itself is gone (adapter pulled, the other end closed); the transport is closed.
    void lineLost(QString reason);
    // A line for the log about the line itself (a listener's address, a client coming or going).
    void message(QString text);
    // A peer came to a line that takes one at a time (a network client).
    void peerConnected(QString peer);
    // The peer changed the line's settings (an RFC 2217 client); `text` as "9600 8N1".
    void settingsChanged(QString text);
    // The peer at the other end went away; the line stays open for the next one (a network
    // client). What it asked for is over, as if the operator had stopped it.
    void peerGone();
    // The PC side changed DTR or RTS (RFC 2217 SET-CONTROL; a real port reads them as its DSR
    // and CTS); logged by the line as it emits this.
    void controlLinesChanged(bool dtr, bool rts);
};
