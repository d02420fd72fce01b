#pragma once

#include "transport/Rfc2217Codec.h"
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

    const Rfc2217Codec::LineSettings& lineSettings() const { return m_telnet.settings(); }
    qint64 characterNs() const override;
    bool carriesSignals() const override { return true; }
    // NOTIFY-LINESTATE with the break bit (as the client's mask asks), the data held meanwhile.
    bool sendBreak(int ms) override;
    // NOTIFY-MODEMSTATE, as the client's mask asks; a poll is answered with it too.
    bool setModemLinesOff(std::uint8_t off) override;

protected:
    QByteArray fromClient(const QByteArray& raw) override;
    QByteArray toClient(const QByteArray& bytes) override;
    void clientArrived() override;
    qint64 heldBytes() const override { return m_held.size(); }

private:
    void logSettings();
    void endBreak();
    // Logs and reports DTR and RTS when the client changed them.
    void noteControlLines();

    Rfc2217Codec::LineSettings m_initial;
    Rfc2217Codec m_telnet;
    QString m_loggedSettings;
    Rfc2217Codec::LineSettings m_seenSettings; // compared per packet, cheaper than the text
    QTimer m_settingsLog;                       // one line for a burst of settings
    QByteArray m_held; // sent while the client has the flow suspended or a break is on, at most kMaxQueuedBytes
    QTimer m_break;    // running while a break is on
    bool m_dtr = true; // as last reported
    bool m_rts = true;
};
