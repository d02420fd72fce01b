#include "transport/MemoryTransport.h"

#include <QMetaObject>

std::pair<std::unique_ptr<MemoryTransport>, std::unique_ptr<MemoryTransport>>
MemoryTransport::createPair(const QString& name)
{
    auto a = std::make_unique<MemoryTransport>(name + QStringLiteral("-a"));
    auto b = std::make_unique<MemoryTransport>(name + QStringLiteral("-b"));
    a->m_peer = b.get();
    b->m_peer = a.get();
    return {std::move(a), std::move(b)};
}

MemoryTransport::MemoryTransport(const QString& name, QObject* parent) : LineTransport(parent), m_name(name)
{
}

MemoryTransport::~MemoryTransport() = default;

bool MemoryTransport::open()
{
    if (!m_peer) {
        m_error = QStringLiteral("no other end");
        return false;
    }
    m_open = true;
    m_error.clear();
    m_input.clear();
    return true;
}

void MemoryTransport::close()
{
    m_open = false;
    m_input.clear();
}

QByteArray MemoryTransport::readAll()
{
    QByteArray bytes;
    bytes.swap(m_input);
    return bytes;
}

void MemoryTransport::write(const QByteArray& bytes)
{
    if (!m_open || bytes.isEmpty())
        return;
    if (m_peer)
        m_peer->receive(bytes);
    emit bytesWritten(bytes.size());
}

void MemoryTransport::receive(const QByteArray& bytes)
{
    // A closed end drops what arrives, as a closed port does.
    if (!m_open)
        return;
    m_input.append(bytes);
    // Announced on the next turn, as a real line would, so a writer never re-enters its reader.
    if (m_readyReadPosted)
        return;
    m_readyReadPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_readyReadPosted = false;
            if (m_open && !m_input.isEmpty())
                emit readyRead();
        },
        Qt::QueuedConnection);
}

void MemoryTransport::breakLine()
{
    if (!m_open)
        return;
    m_open = false;
    m_input.clear();
    m_error = QStringLiteral("the line was broken");
    emit lineLost(m_error);
}
