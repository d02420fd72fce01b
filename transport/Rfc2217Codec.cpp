#include "transport/Rfc2217Codec.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// Telnet (RFC 854) commands and the options this server knows.
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPortOption = 44;

// COM-PORT-OPTION commands, client to server; the server answers with the code plus 100.
enum ComPort : std::uint8_t
{
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};
constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL: each group's request value and the values that set it.
struct ControlGroup
{
    std::uint8_t request;
    std::uint8_t values[5];
};
constexpr ControlGroup kControlGroups[] = {
    {0, {1, 2, 3, 17, 19}},  // outbound flow control
    {4, {5, 6, 0, 0, 0}},    // break
    {7, {8, 9, 0, 0, 0}},    // DTR
    {10, {11, 12, 0, 0, 0}}, // RTS
};
constexpr ControlGroup kInboundGroup = {13, {14, 15, 16, 18, 0}};

const char kSignature[] = "VARNEL-TEST";

QByteArray bytesOf(std::initializer_list<std::uint8_t> values)
{
    QByteArray out;
    out.reserve(int(values.size()));
    for (const std::uint8_t v : values)
        out += char(v);
    return out;
}

QByteArray command(std::uint8_t verb, std::uint8_t option)
{
    return bytesOf({std::uint8_t(kIac), std::uint8_t(verb), std::uint8_t(option)});
}

bool isSetValue(const ControlGroup& group, std::uint8_t value)
{
    return value != 0 &&
           std::find(std::begin(group.values), std::end(group.values), value) != std::end(group.values);
}

} // namespace

QString Rfc2217Codec::LineSettings::text() const
{
    static const char kParity[] = "?NOEMS";
    static const char* const kStop[] = {"?", "1", "2", "1.5"};
    return QStringLiteral("%1 %2%3%4")
        .arg(baud)
        .arg(dataSize)
        .arg(QLatin1Char(parity < 6 ? kParity[parity] : '?'))
        .arg(QLatin1String(stopSize < 4 ? kStop[stopSize] : "?"));
}

bool Rfc2217Codec::LineSettings::operator==(const LineSettings& other) const
{
    return baud == other.baud && dataSize == other.dataSize && parity == other.parity &&
           stopSize == other.stopSize;
}

Rfc2217Codec::Rfc2217Codec() : Rfc2217Codec(LineSettings()) {}

Rfc2217Codec::Rfc2217Codec(const LineSettings& settings)
{
    reset(settings);
}

void Rfc2217Codec::reset(const LineSettings& settings)
{
    m_settings = settings;
    m_parse = Parse::Data;
    m_sub.clear();
    m_subOverflow = false;
    std::fill(std::begin(m_us), std::end(m_us), Side::No);
    std::fill(std::begin(m_them), std::end(m_them), Side::No);
    m_control[0] = 1;
    m_control[1] = 6;
    m_control[2] = 8;
    m_control[3] = 11;
    m_inboundFlow = 14;
    m_lineStateMask = 0;
    m_modemStateMask = 255;
    m_suspended = false;
    m_purgeInput = false;
    m_purgeOutput = false;
    m_problem.clear();
}

QByteArray Rfc2217Codec::greeting()
{
    QByteArray out;
    m_us[kBinary] = Side::WantYes;
    out += command(kWill, kBinary);
    m_them[kBinary] = Side::WantYes;
    out += command(kDo, kBinary);
    m_them[kComPortOption] = Side::WantYes;
    out += command(kDo, kComPortOption);
    return out;
}

QByteArray Rfc2217Codec::clientGreeting(const LineSettings& settings)
{
    QByteArray out = command(kWill, kComPortOption) + command(kWill, kBinary) + command(kDo, kBinary);
    const std::uint32_t baud = settings.baud;
    const QByteArray values[] = {
        bytesOf({std::uint8_t(SetBaudRate), std::uint8_t(baud >> 24), std::uint8_t((baud >> 16) & 0xFF),
                 std::uint8_t((baud >> 8) & 0xFF), std::uint8_t(baud & 0xFF)}),
        bytesOf({std::uint8_t(SetDataSize), std::uint8_t(settings.dataSize)}),
        bytesOf({std::uint8_t(SetParity), std::uint8_t(settings.parity)}),
        bytesOf({std::uint8_t(SetStopSize), std::uint8_t(settings.stopSize)}),
    };
    for (const QByteArray& value : values)
        out += bytesOf({std::uint8_t(kIac), std::uint8_t(kSb), std::uint8_t(kComPortOption)}) +
               escape(value) + bytesOf({std::uint8_t(kIac), std::uint8_t(kSe)});
    return out;
}

QByteArray Rfc2217Codec::escape(const QByteArray& bytes)
{
    if (!bytes.contains(char(kIac)))
        return bytes;
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (const char c : bytes) {
        out += c;
        if (std::uint8_t(c) == kIac)
            out += c;
    }
    return out;
}

bool Rfc2217Codec::accepted(std::uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}

void Rfc2217Codec::problem(const QString& text)
{
    if (m_problem.isEmpty())
        m_problem = text;
}

QString Rfc2217Codec::takeProblem()
{
    QString text;
    text.swap(m_problem);
    return text;
}

bool Rfc2217Codec::takePurgeInput()
{
    return std::exchange(m_purgeInput, false);
}

bool Rfc2217Codec::takePurgeOutput()
{
    return std::exchange(m_purgeOutput, false);
}

QByteArray Rfc2217Codec::fromClient(const QByteArray& raw, QByteArray* answers)
{
    QByteArray data;
    data.reserve(raw.size());
    for (int i = 0; i < raw.size(); ++i) {
        const std::uint8_t byte = std::uint8_t(raw.at(i));
        switch (m_parse) {
        case Parse::Data:
            if (byte == kIac)
                m_parse = Parse::Iac;
            else
                data += char(byte);
            break;
        case Parse::Iac:
            if (byte == kIac) {
                data += char(byte);
                m_parse = Parse::Data;
            } else if (byte >= kWill && byte <= kDont) {
                m_verb = byte;
                m_parse = Parse::Option;
            } else if (byte == kSb) {
                m_sub.clear();
                m_subOverflow = false;
                m_parse = Parse::Sub;
            } else {
                // NOP, go-ahead, a stray SE and the other one-byte commands mean nothing on this line.
                m_parse = Parse::Data;
            }
            break;
        case Parse::Option:
            negotiate(m_verb, byte, answers);
            m_parse = Parse::Data;
            break;
        case Parse::Sub:
            if (byte == kIac) {
                m_parse = Parse::SubIac;
            } else if (m_sub.size() < kMaxSubnegotiation) {
                m_sub += char(byte);
            } else {
                m_subOverflow = true;
            }
            break;
        case Parse::SubIac:
            if (byte == kIac) {
                if (m_sub.size() < kMaxSubnegotiation)
                    m_sub += char(byte);
                else
                    m_subOverflow = true;
                m_parse = Parse::Sub;
            } else if (byte == kSe) {
                m_parse = Parse::Data;
                if (m_subOverflow)
                    problem(QStringLiteral("a subnegotiation longer than %1 bytes was dropped")
                                .arg(kMaxSubnegotiation));
                else
                    subnegotiation(answers);
                // A purge of what the client sent takes this read's data before it too.
                if (m_purgeInput)
                    data.clear();
            } else {
                // A command inside a subnegotiation ends it unfinished; the command itself counts.
                problem(QStringLiteral("a subnegotiation without its end (IAC %1) was dropped").arg(byte));
                m_parse = Parse::Iac;
                --i;
            }
            break;
        }
    }
    return data;
}

void Rfc2217Codec::negotiate(std::uint8_t verb, std::uint8_t option, QByteArray* answers)
{
    // RFC 1143: answer a request that changes the state, acknowledge an answer to ours quietly.
    const bool enable = verb == kWill || verb == kDo;
    const bool theirs = verb == kWill || verb == kWont;
    Side& side = theirs ? m_them[option] : m_us[option];
    const std::uint8_t yes = theirs ? kDo : kWill;
    const std::uint8_t no = theirs ? kDont : kWont;
    if (enable) {
        switch (side) {
        case Side::No:
            if (accepted(option)) {
                side = Side::Yes;
                *answers += command(yes, option);
            } else {
                *answers += command(no, option);
            }
            break;
        case Side::WantYes:
            side = Side::Yes;
            break;
        case Side::WantNo: // refused our "no": it stays off
            side = Side::No;
            break;
        case Side::Yes:
            break;
        }
    } else {
        switch (side) {
        case Side::Yes:
            side = Side::No;
            *answers += command(no, option);
            break;
        case Side::WantYes:
        case Side::WantNo:
            side = Side::No;
            break;
        case Side::No:
            break;
        }
    }
}

void Rfc2217Codec::subnegotiation(QByteArray* answers)
{
    if (m_sub.isEmpty())
        return;
    if (std::uint8_t(m_sub.at(0)) != kComPortOption) {
        problem(QStringLiteral("a subnegotiation of option %1, which was not agreed, was ignored")
                    .arg(std::uint8_t(m_sub.at(0))));
        return;
    }
    if (m_sub.size() < 2) {
        problem(QStringLiteral("a COM-PORT-OPTION subnegotiation without a command was ignored"));
        return;
    }
    comPortCommand(std::uint8_t(m_sub.at(1)), m_sub.mid(2), answers);
}

void Rfc2217Codec::comPortCommand(std::uint8_t code, const QByteArray& value, QByteArray* answers)
{
    const auto one = [&](std::uint8_t* byte) {
        if (value.size() != 1) {
            problem(QStringLiteral("COM-PORT-OPTION command %1 with %2 value bytes, expected 1")
                        .arg(code)
                        .arg(value.size()));
            return false;
        }
        *byte = std::uint8_t(value.at(0));
        return true;
    };
    std::uint8_t byte = 0;
    switch (code) {
    case Signature:
        // An empty one asks for ours; the client's own is taken as said.
        if (value.isEmpty())
            answerComPort(code, QByteArray(kSignature), answers);
        return;
    case SetBaudRate: {
        if (value.size() != 4) {
            problem(QStringLiteral("SET-BAUDRATE with %1 value bytes, expected 4").arg(value.size()));
            return;
        }
        std::uint32_t baud = 0;
        for (const char c : value)
            baud = (baud << 8) | std::uint8_t(c);
        if (baud != 0 && (baud < kMinBaud || baud > kMaxBaud))
            problem(QStringLiteral("SET-BAUDRATE %1 is outside %2 to %3, which UARTs run at; %4 stays")
                        .arg(baud)
                        .arg(kMinBaud)
                        .arg(kMaxBaud)
                        .arg(m_settings.baud));
        else if (baud != 0)
            m_settings.baud = baud;
        const std::uint32_t now = m_settings.baud;
        answerComPort(code,
                      bytesOf({std::uint8_t(now >> 24), std::uint8_t((now >> 16) & 0xFF),
                               std::uint8_t((now >> 8) & 0xFF), std::uint8_t(now & 0xFF)}),
                      answers);
        return;
    }
    case SetDataSize:
        if (!one(&byte))
            return;
        if (byte >= 5 && byte <= 8)
            m_settings.dataSize = byte;
        answerComPort(code, QByteArray(1, char(m_settings.dataSize)), answers);
        return;
    case SetParity:
        if (!one(&byte))
            return;
        if (byte >= 1 && byte <= 5)
            m_settings.parity = byte;
        answerComPort(code, QByteArray(1, char(m_settings.parity)), answers);
        return;
    case SetStopSize:
        if (!one(&byte))
            return;
        if (byte >= 1 && byte <= 3)
            m_settings.stopSize = byte;
        answerComPort(code, QByteArray(1, char(m_settings.stopSize)), answers);
        return;
    case SetControl: {
        if (!one(&byte))
            return;
        std::uint8_t answer = byte;
        bool known = false;
        for (std::size_t g = 0; g < std::size(kControlGroups); ++g) {
            if (byte == kControlGroups[g].request || isSetValue(kControlGroups[g], byte)) {
                if (byte != kControlGroups[g].request)
                    m_control[g] = byte;
                answer = m_control[g];
                known = true;
            }
        }
        if (byte == kInboundGroup.request || isSetValue(kInboundGroup, byte)) {
            if (byte != kInboundGroup.request)
                m_inboundFlow = byte;
            answer = m_inboundFlow;
            known = true;
        }
        if (!known) {
            problem(QStringLiteral("SET-CONTROL value %1 is not defined").arg(byte));
            return;
        }
        answerComPort(code, QByteArray(1, char(answer)), answers);
        return;
    }
    case NotifyModemState:
        // Only a server sends it; a client sends it empty to ask for the state (a poll).
        answerComPort(code, QByteArray(1, char(m_modemState & m_modemStateMask)), answers);
        return;
    case FlowControlSuspend:
    case FlowControlResume:
        m_suspended = code == FlowControlSuspend;
        answerComPort(code, QByteArray(), answers);
        return;
    case SetLineStateMask:
        if (!one(&byte))
            return;
        m_lineStateMask = byte;
        answerComPort(code, QByteArray(1, char(m_lineStateMask)), answers);
        return;
    case SetModemStateMask:
        if (!one(&byte))
            return;
        m_modemStateMask = byte;
        answerComPort(code, QByteArray(1, char(m_modemStateMask)), answers);
        return;
    case PurgeData:
        if (!one(&byte))
            return;
        if (byte < 1 || byte > 3) {
            problem(QStringLiteral("PURGE-DATA value %1 is not defined").arg(byte));
            return;
        }
        // 1: what the server received from the line for the client; 2: what the client sent for the line.
        m_purgeOutput = m_purgeOutput || byte == 1 || byte == 3;
        m_purgeInput = m_purgeInput || byte == 2 || byte == 3;
        answerComPort(code, QByteArray(1, char(byte)), answers);
        return;
    default:
        // An access server's answer is what a client reading through this parser expects.
        if (code >= kServerOffset && code <= kServerOffset + PurgeData)
            return;
        problem(QStringLiteral("COM-PORT-OPTION command %1 is not one a client sends").arg(code));
        return;
    }
}

QByteArray Rfc2217Codec::setModemState(std::uint8_t state)
{
    // The delta bits (CTS 0x01, DSR 0x02, CD 0x08) sit four places below their lines.
    const std::uint8_t changed = std::uint8_t((state ^ m_modemState) & kModemLinesOn);
    m_modemState = state;
    const std::uint8_t value = std::uint8_t((state | (changed >> 4)) & m_modemStateMask);
    if (!(changed & m_modemStateMask) && !((changed >> 4) & m_modemStateMask))
        return QByteArray();
    QByteArray out;
    answerComPort(NotifyModemState, QByteArray(1, char(value)), &out);
    return out;
}

QByteArray Rfc2217Codec::notifyBreak(bool on) const
{
    constexpr std::uint8_t kBreakDetect = 0x10;
    if (!(m_lineStateMask & kBreakDetect))
        return QByteArray();
    QByteArray out;
    answerComPort(NotifyLineState, QByteArray(1, char(on ? kBreakDetect : 0)), &out);
    return out;
}

void Rfc2217Codec::answerComPort(std::uint8_t code, const QByteArray& value, QByteArray* answers)
{
    *answers += bytesOf({std::uint8_t(kIac), std::uint8_t(kSb), std::uint8_t(kComPortOption),
                         std::uint8_t(code + kServerOffset)});
    *answers += escape(value);
    *answers += bytesOf({std::uint8_t(kIac), std::uint8_t(kSe)});
}
