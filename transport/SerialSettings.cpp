#include "transport/SerialSettings.h"

namespace {

template <typename Value> struct Choice
{
    const char* text;
    Value value;
};

// First entry first: it is the default and the window's initial selection.
constexpr Choice<qint32> kBaudRates[] = {
    {"115200", QSerialPort::Baud115200}, {"57600", QSerialPort::Baud57600}, {"38400", QSerialPort::Baud38400},
    {"19200", QSerialPort::Baud19200},   {"9600", QSerialPort::Baud9600},   {"4800", QSerialPort::Baud4800},
    {"2400", QSerialPort::Baud2400},     {"1200", QSerialPort::Baud1200},
};

constexpr Choice<QSerialPort::DataBits> kDataBits[] = {
    {"8", QSerialPort::Data8},
    {"7", QSerialPort::Data7},
    {"6", QSerialPort::Data6},
    {"5", QSerialPort::Data5},
};

constexpr Choice<QSerialPort::StopBits> kStopBits[] = {
    {"1", QSerialPort::OneStop},
    {"1.5", QSerialPort::OneAndHalfStop},
    {"2", QSerialPort::TwoStop},
};

constexpr Choice<QSerialPort::Parity> kParities[] = {
    {"None", QSerialPort::NoParity},
    {"Odd", QSerialPort::OddParity},
    {"Even", QSerialPort::EvenParity},
};

template <typename Value, std::size_t Count>
Value lookUp(const Choice<Value> (&choices)[Count], const QString& text)
{
    for (const Choice<Value>& choice : choices) {
        if (text == QLatin1String(choice.text))
            return choice.value;
    }
    return choices[0].value;
}

template <typename Value, std::size_t Count> QStringList textsOf(const Choice<Value> (&choices)[Count])
{
    QStringList texts;
    for (const Choice<Value>& choice : choices)
        texts << QString::fromLatin1(choice.text);
    return texts;
}

} // namespace

SerialSettings::SerialSettings(const QString& baudRate, const QString& dataBits, const QString& stopBits,
                               const QString& parity)
    : m_baudRate(baudRateFor(baudRate)), m_dataBits(dataBitsFor(dataBits)), m_stopBits(stopBitsFor(stopBits)),
      m_parity(parityFor(parity))
{
}

void SerialSettings::applyTo(QSerialPort& port) const
{
    port.setBaudRate(m_baudRate, QSerialPort::AllDirections);
    port.setDataBits(m_dataBits);
    port.setStopBits(m_stopBits);
    port.setParity(m_parity);
}

qint64 SerialSettings::characterNs() const
{
    const int stopHalves = m_stopBits == QSerialPort::TwoStop          ? 4
                           : m_stopBits == QSerialPort::OneAndHalfStop ? 3
                                                                       : 2;
    return characterNs(m_baudRate, int(m_dataBits), m_parity != QSerialPort::NoParity, stopHalves);
}

qint64 SerialSettings::characterNs(qint64 baud, int dataBits, bool parity, int stopHalfBits)
{
    if (baud <= 0)
        return 0;
    const qint64 halfBits = 2 * (1 + dataBits + (parity ? 1 : 0)) + stopHalfBits;
    // Rounded up: a character never takes less than the line's own time.
    return (halfBits * 1000000000LL + 2 * baud - 1) / (2 * baud);
}

QStringList SerialSettings::baudRateTexts()
{
    return textsOf(kBaudRates);
}

QStringList SerialSettings::dataBitsTexts()
{
    return textsOf(kDataBits);
}

QStringList SerialSettings::stopBitsTexts()
{
    return textsOf(kStopBits);
}

QStringList SerialSettings::parityTexts()
{
    return textsOf(kParities);
}

QList<SerialSettings::Choice> SerialSettings::choices()
{
    return {{"baud", baudRateTexts()},
            {"data-bits", dataBitsTexts()},
            {"stop-bits", stopBitsTexts()},
            {"parity", parityTexts()}};
}

QString SerialSettings::refusal(const Choice& choice, const QString& text)
{
    if (choice.texts.contains(text))
        return QString();
    return QStringLiteral("--%1: \"%2\" is not one of %3")
        .arg(QLatin1String(choice.option), text, choice.texts.join(QLatin1Char(' ')));
}

qint32 SerialSettings::baudRateFor(const QString& text)
{
    return lookUp(kBaudRates, text);
}

QSerialPort::DataBits SerialSettings::dataBitsFor(const QString& text)
{
    return lookUp(kDataBits, text);
}

QSerialPort::StopBits SerialSettings::stopBitsFor(const QString& text)
{
    return lookUp(kStopBits, text);
}

QSerialPort::Parity SerialSettings::parityFor(const QString& text)
{
    return lookUp(kParities, text);
}
