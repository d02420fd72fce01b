#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// The access server's side of Telnet with the COM-PORT-OPTION (RFC 2217), without the socket:
// bytes from the client go in, the line's data and the server's answers come out. Options
// BINARY, SUPPRESS-GO-AHEAD and COM-PORT-OPTION are accepted both ways, all others refused;
// every COM-PORT command is answered with its code plus 100 and the value now in force.
// A client reads the server's side through it too: the Telnet framing is the same both ways.
class Rfc2217Codec
{
public:
    // The serial settings a client sets and asks for.
    struct LineSettings
    {
        std::uint32_t baud = 115200;
        std::uint8_t dataSize = 8;
        std::uint8_t parity = 1;   // 1 none, 2 odd, 3 even, 4 mark, 5 space
        std::uint8_t stopSize = 1; // 1 one, 2 two, 3 one and a half
        // "9600 8N1"
        QString text() const;
        bool operator==(const LineSettings& other) const;
        bool operator!=(const LineSettings& other) const { return !(*this == other); }
    };

    // The longest subnegotiation kept; a longer one is dropped whole.
    static constexpr int kMaxSubnegotiation = 64;
    // CD, DSR and CTS on.
    static constexpr std::uint8_t kModemLinesOn = 0x80 | 0x20 | 0x10;
    // Baud rates a client may set: from the slowest standard rate to the fastest USB UARTs.
    // Another is refused and answered with the rate in force.
    static constexpr std::uint32_t kMinBaud = 50;
    static constexpr std::uint32_t kMaxBaud = 12000000;

    // 115200 8N1.
    Rfc2217Codec();
    explicit Rfc2217Codec(const LineSettings& settings);

    // What the server asks for when a client connects: BINARY both ways and COM-PORT-OPTION.
    QByteArray greeting();
    // Takes raw bytes from the client; returns the line's data in them (Telnet taken out) and
    // appends what must go back to the client to `answers`.
    QByteArray fromClient(const QByteArray& raw, QByteArray* answers);
    // What a client sends on connecting: the options it wants and its serial settings.
    static QByteArray clientGreeting(const LineSettings& settings);
    // The line's data as Telnet carries it: 0xFF doubled.
    static QByteArray escape(const QByteArray& bytes);

    const LineSettings& settings() const { return m_settings; }
    // Set by FLOWCONTROL-SUSPEND, cleared by -RESUME: the client wants no data meanwhile.
    bool isSuspended() const { return m_suspended; }
    // DTR and RTS as the client last set them (SET-CONTROL); on for a new client.
    bool dtr() const { return m_control[2] != kDtrOff; }
    bool rts() const { return m_control[3] != kRtsOff; }
    // The unit's modem lines (NOTIFY-MODEMSTATE's CD, DSR and CTS bits), kept across clients;
    // all on at first. Returns the notification for the client, with the delta bits, as its
    // mask lets it through (empty: nothing it asked for changed). A client's poll (the
    // NOTIFY-MODEMSTATE command itself) is answered with the state in force.
    QByteArray setModemState(std::uint8_t state);
    // NOTIFY-LINESTATE with the break-detect bit set (a break began) or clear (it ended); empty
    // unless the client's line-state mask asks for breaks.
    QByteArray notifyBreak(bool on) const;
    // Set by PURGE-DATA asking for the server's receive buffer (data from the client) to go.
    bool takePurgeInput();
    // Set by PURGE-DATA asking for the server's transmit buffer to go.
    bool takePurgeOutput();
    // Problems seen in the client's Telnet since last asked, as one text each; empty when none.
    QString takeProblem();
    // Resets the negotiation and settings for a new client.
    void reset(const LineSettings& settings);

private:
    enum class Parse
    {
        Data,
        Iac,
        Option, // after WILL, WONT, DO or DONT
        Sub,    // inside SB ... IAC SE
        SubIac,
    };
    // The Telnet option negotiation state of one side of one option (RFC 1143).
    enum class Side : std::uint8_t
    {
        No,
        Yes,
        WantYes,
        WantNo
    };

    void negotiate(std::uint8_t verb, std::uint8_t option, QByteArray* answers);
    void subnegotiation(QByteArray* answers);
    void comPortCommand(std::uint8_t command, const QByteArray& value, QByteArray* answers);
    static void answerComPort(std::uint8_t command, const QByteArray& value, QByteArray* answers);
    static constexpr std::uint8_t kDtrOff = 9;
    static constexpr std::uint8_t kRtsOff = 12;
    static bool accepted(std::uint8_t option);
    void problem(const QString& text);

    LineSettings m_settings;
    Parse m_parse = Parse::Data;
    std::uint8_t m_verb = 0;
    QByteArray m_sub;
    bool m_subOverflow = false;
    Side m_us[256];                            // options we perform
    Side m_them[256];                          // options the client performs
    std::uint8_t m_control[4] = {1, 6, 8, 11}; // outbound flow none, break off, DTR on, RTS on
    std::uint8_t m_inboundFlow = 14;           // none
    std::uint8_t m_lineStateMask = 0;
    std::uint8_t m_modemStateMask = 255;
    std::uint8_t m_modemState = kModemLinesOn;
    bool m_suspended = false;
    bool m_purgeInput = false;
    bool m_purgeOutput = false;
    QString m_problem;
};
