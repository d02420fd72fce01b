#pragma once

#include "transport/LineTransport.h"
#include "transport/SerialSettings.h"

#include <QSocketNotifier>

#include <memory>

// A pseudo terminal the unit makes itself: it holds the master, and `linkPath` points the PC
// program at the other end (a serial port to it). Closing takes the link away and ends the
// terminal, so the PC's open end reads EIO or a hang-up, as when an adapter is pulled; opening
// makes a new one at the same link. Unix only.
class PtyTransport : public LineTransport
{
    Q_OBJECT

public:
    PtyTransport(const QString& linkPath, const SerialSettings& settings, QObject* parent = nullptr);
    ~PtyTransport() override;

    bool open() override;
    void close() override;
    bool isOpen() const override { return m_master >= 0; }
    QString name() const override;
    QString errorString() const override { return m_error; }

    QByteArray readAll() override;
    void write(const QByteArray& bytes) override;
    void clearInput() override;
    void clearAll() override;
    qint64 bytesToWrite() const override { return m_output.size(); }
    bool waitForBytesWritten(int msecs) override;
    qint64 characterNs() const override { return m_settings.characterNs(); }

    // The terminal's own name (/dev/pts/N) while open.
    QString terminalName() const { return m_terminal; }

private:
    bool fail(const QString& what);
    void onReadable();
    // Writes what the PC side takes now; the rest waits for the terminal to be writable.
    void pump();

    QString m_linkPath;
    SerialSettings m_settings;
    QString m_terminal;
    QString m_error;
    int m_master = -1;
    // Held open so the master sees no hang-up while no PC program has the other end open.
    int m_slave = -1;
    QByteArray m_input;
    QByteArray m_output;
    std::unique_ptr<QSocketNotifier> m_readable;
    std::unique_ptr<QSocketNotifier> m_writable;
};
