#pragma once

#include "transport/LineTransport.h"

#include <QPointer>

#include <memory>
#include <utility>

// One end of an in-memory line: what one end writes, the other reads on its next event-loop
// turn. For tests and for units that need no real line. Both ends live on one thread.
class MemoryTransport : public LineTransport
{
    Q_OBJECT

public:
    // Two connected ends; each may be opened and closed on its own.
    static std::pair<std::unique_ptr<MemoryTransport>, std::unique_ptr<MemoryTransport>>
    createPair(const QString& name = QStringLiteral("memory"));

    explicit MemoryTransport(const QString& name, QObject* parent = nullptr);
    ~MemoryTransport() override;

    bool open() override;
    void close() override;
    bool isOpen() const override { return m_open; }
    QString name() const override { return m_name; }
    QString errorString() const override { return m_error; }

    QByteArray readAll() override;
    void write(const QByteArray& bytes) override;
    void clearInput() override { m_input.clear(); }
    void clearAll() override { m_input.clear(); }
    qint64 bytesToWrite() const override { return 0; }
    bool waitForBytesWritten(int) override { return false; }

    // Ends the line as a pulled cable would: this end reports it lost.
    void breakLine();

private:
    void receive(const QByteArray& bytes);

    QString m_name;
    QString m_error;
    QPointer<MemoryTransport> m_peer;
    QByteArray m_input;
    bool m_open = false;
    bool m_readyReadPosted = false;
};
