#pragma once

#include "transport/Rfc2217Server.h"
#include "transport/TcpServerTransport.h"

#include <QTimer>

class SerialSettings;

// A unit's line as an RFC 2217 access server: Telnet with the COM-PORT-OPTION over a TCP
// listener. The client's serial settings are taken and answered (the unit has no real port to
// set) and a change is logged once; 0xFF in the data is escaped both ways; while the client
// has suspended the flow, what the unit sends waits (a client that keeps it suspended while
// more piles up than a reading client's queue may hold is closed).
class Rfc2217Transport : public TcpServerTransport
{
    Q_OBJECT

public:
    // `settings` are what a client finds before it sets its own.
    Rfc2217Transport(const Endpoint& endpoint, const SerialSettings& settings, QObject* parent = nullptr);

    const Rfc2217Server::LineSettings& lineSettings() const { return m_telnet.settings(); }

protected:
    QByteArray fromClient(const QByteArray& raw) override;
    QByteArray toClient(const QByteArray& bytes) override;
    void clientArrived() override;
    qint64 heldBytes() const override { return m_held.size(); }

private:
    void logSettings();

    Rfc2217Server::LineSettings m_initial;
    Rfc2217Server m_telnet;
    QString m_loggedSettings;
    Rfc2217Server::LineSettings m_seenSettings; // compared per packet, cheaper than the text
    QTimer m_settingsLog;                       // one line for a burst of settings
    QByteArray m_held; // sent while the client has the flow suspended, at most kMaxQueuedBytes
};
