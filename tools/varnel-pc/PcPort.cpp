#include "tools/varnel-pc/PcPort.h"

#include "transport/SerialSettings.h"
#include "tools/varnel-pc/ConsoleText.h"

#include <QSerialPort>

bool PcPort::open(QSerialPort& port, const QString& name, int baud, const char* command, std::ostream& err)
{
    port.setPortName(name);
    if (!port.open(QIODevice::ReadWrite)) {
        ConsoleText::write(err, QStringLiteral("varnel-pc %1: cannot open %2: %3\n")
                                    .arg(QString::fromLatin1(command), name, port.errorString()));
        return false;
    }
    const SerialSettings line;
    port.setBaudRate(baud);
    port.setDataBits(line.dataBits());
    port.setStopBits(line.stopBits());
    port.setParity(line.parity());
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.readAll();
    return true;
}
