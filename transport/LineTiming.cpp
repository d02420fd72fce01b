#include "transport/LineTiming.h"

#include <QStringList>

bool LineTiming::parseTiming(const QString& text, LineTiming* timing, QString* error)
{
    if (!text.isEmpty() && text != QLatin1String("both")) {
        if (error)
            *error = QStringLiteral("--line-timing: \"%1\" is not both (or nothing: the unit's bytes only)")
                         .arg(text);
        return false;
    }
    timing->toPc = true;
    timing->fromPc = timing->fromPc || !text.isEmpty();
    return true;
}

bool LineTiming::parseAdapter(const QString& text, LineTiming* timing, QString* error)
{
    const auto fail = [&](const QString& what) {
        if (error)
            *error = QStringLiteral("--adapter: \"%1\": %2").arg(text, what);
        return false;
    };
    int latency = kFtdiLatencyMs;
    int packet = kFtdiPacketBytes;
    const QStringList parts = text.split(QLatin1Char(','));
    for (const QString& part : parts) {
        if (part == QLatin1String("ftdi")) {
            latency = kFtdiLatencyMs;
            packet = kFtdiPacketBytes;
            continue;
        }
        const int equals = part.indexOf(QLatin1Char('='));
        const QString key = part.left(equals);
        const QString value = part.mid(equals + 1);
        bool ok = equals > 0 && !value.isEmpty() && value.at(0).isDigit();
        const int number = ok ? value.toInt(&ok, 10) : 0;
        if (key == QLatin1String("latency") && equals > 0) {
            if (!ok || number < 1 || number > kMaxLatencyMs)
                return fail(QStringLiteral("latency=%1 is not a number of milliseconds from 1 to %2")
                                .arg(value)
                                .arg(kMaxLatencyMs));
            latency = number;
        } else if (key == QLatin1String("packet") && equals > 0) {
            if (!ok || number < 1 || number > kMaxPacketBytes)
                return fail(QStringLiteral("packet=%1 is not a number of bytes from 1 to %2")
                                .arg(value)
                                .arg(kMaxPacketBytes));
            packet = number;
        } else {
            return fail(QStringLiteral("\"%1\" is not ftdi, latency=MS or packet=BYTES").arg(part));
        }
    }
    timing->toPc = true;
    timing->adapterLatencyMs = latency;
    timing->adapterPacketBytes = packet;
    return true;
}

QString LineTiming::text() const
{
    QStringList parts;
    if (toPc)
        parts << QStringLiteral("toward the PC");
    if (fromPc)
        parts << QStringLiteral("from the PC");
    if (hasAdapter())
        parts << QStringLiteral("USB adapter %1 ms / %2 bytes").arg(adapterLatencyMs).arg(adapterPacketBytes);
    return QStringLiteral("line timing: ") + parts.join(QStringLiteral(", "));
}
