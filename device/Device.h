#pragma once

#include "device/LineReader.h"
#include "transport/LineTiming.h"
#include "transport/LineWriter.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class LineObserver;
class LinePacer;
class LineTransport;

// One line endpoint of a unit: the line, its LineReader (what arrives, cut into requests) and
// its LineWriter (every byte that goes back). The owner thread owns the line and the writes.
class Device : public QObject
{
    Q_OBJECT

public:
    // The device owns the line.
    Device(const QString& portName, std::unique_ptr<LineTransport> line, QObject* parent = nullptr);
    ~Device() override;

    bool Open();
    bool Close();
    bool isOpen() const;
    QString portName() const { return m_portName; }
    LineTransport* line() const { return m_line.get(); }
    // The system's reason for the last port failure (open or later).
    QString errorString() const;
    // Every request cut from the line comes out of it.
    LineReader* reader() { return &m_reader; }
    // Every byte toward the PC goes through it.
    LineWriter* writer() { return &m_writer; }

    // The half-duplex turn before the unit's answer goes out: the bytes received but not yet
    // cut into a request are dropped (and, for a reply that asks it, what the line still holds
    // unread). False, with the log line, when the line is closed or the frame empty; the caller
    // then writes nothing.
    bool readyForReply(std::uint8_t command, const QByteArray& frame, bool discardUnread);

    // Bytes from and to the line as a cable and adapter would carry them (all off: as they
    // come). `fallbackCharacterNs` is the character time of a line without settings of its own.
    void setLineTiming(const LineTiming& timing, qint64 fallbackCharacterNs);

    // Shown every frame received, every write and every discard from now on; nullptr ends
    // that. Not owned; it must outlive the device or be taken off first (GUI thread).
    void setLineObserver(LineObserver* observer);

signals:
    // The line is gone (adapter removed, the other end of a pty closed); the port is closed.
    void line_lost(QString portName);

public slots:
    void slot_readData();

private slots:
    void slot_lineLost(QString reason);

private:
    // The line's session is over: nothing on its way belongs to the next one.
    void endSession();

    std::unique_ptr<LineTransport> m_line;
    QString m_portName;
    LineReader m_reader;
    bool m_fromPcOverflow = false;
    // Declared last: their timers are children of this device and go first.
    LineWriter m_writer;
    std::unique_ptr<LinePacer> m_fromPc;
};
