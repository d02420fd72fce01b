#pragma once

#include <QList>
#include <QSerialPort>
#include <QString>
#include <QStringList>

// The four line settings of a serial port, as the texts the window and the command-line
// tools offer them. A text outside a list gets that list's first entry, its default.
class SerialSettings
{
public:
    // 115200 baud, 8 data bits, 1 stop bit, no parity.
    SerialSettings() = default;
    SerialSettings(const QString& baudRate, const QString& dataBits, const QString& stopBits,
                   const QString& parity);

    qint32 baudRate() const { return m_baudRate; }
    QSerialPort::DataBits dataBits() const { return m_dataBits; }
    QSerialPort::StopBits stopBits() const { return m_stopBits; }
    QSerialPort::Parity parity() const { return m_parity; }

    // Baud rate for both directions, data bits, stop bits and parity, in that order.
    void applyTo(QSerialPort& port) const;

    // How long one character takes on a cable at these settings: the start bit, the data bits,
    // the parity bit if any and the stop bits, in nanoseconds.
    qint64 characterNs() const;
    // The same for any rate: stop bits in halves (2 one, 3 one and a half, 4 two).
    static qint64 characterNs(qint64 baud, int dataBits, bool parity, int stopHalfBits);

    // The texts in the order the window's combo boxes list them; the first is the default.
    static QStringList baudRateTexts();
    static QStringList dataBitsTexts();
    static QStringList stopBitsTexts();
    static QStringList parityTexts();

    // A line setting as the command-line tools take it: option name and its texts, default first.
    struct Choice
    {
        const char* option; // "baud", "data-bits", "stop-bits", "parity"
        QStringList texts;
    };
    // In that order.
    static QList<Choice> choices();
    // Empty when TEXT is one of the choice's texts, else "--OPTION: "TEXT" is not one of A B C".
    static QString refusal(const Choice& choice, const QString& text);

    static qint32 baudRateFor(const QString& text);
    static QSerialPort::DataBits dataBitsFor(const QString& text);
    static QSerialPort::StopBits stopBitsFor(const QString& text);
    static QSerialPort::Parity parityFor(const QString& text);

private:
    qint32 m_baudRate = baudRateFor(QString());
    QSerialPort::DataBits m_dataBits = dataBitsFor(QString());
    QSerialPort::StopBits m_stopBits = stopBitsFor(QString());
    QSerialPort::Parity m_parity = parityFor(QString());
};
