#include "tools/varnel-pc/ProgressLine.h"

#include <ostream>
#include <string>

namespace {

// Redrawing every frame would cost more terminal output than the upload itself.
constexpr qint64 kRedrawMs = 100;

QString duration(long long seconds)
{
    const QString mmss = QStringLiteral("%1:%2")
                             .arg(seconds / 60 % 60, seconds >= 3600 ? 2 : 1, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return seconds >= 3600 ? QStringLiteral("%1:%2").arg(seconds / 3600).arg(mmss) : mmss;
}

} // namespace

ProgressLine::ProgressLine(std::ostream& out) : m_out(out) {}

void ProgressLine::setAnnounced(long long announced)
{
    m_announced = announced;
    if (!m_clock.isValid())
        m_clock.start();
    draw();
}

void ProgressLine::setReceived(long long received)
{
    m_received = received;
    if (!m_clock.isValid())
        m_clock.start();
    if (!m_shown || m_clock.elapsed() - m_lastDrawMs >= kRedrawMs)
        draw();
}

void ProgressLine::clear()
{
    if (!m_shown)
        return;
    m_out << '\r' << std::string(static_cast<size_t>(m_width), ' ') << '\r';
    m_out.flush();
    m_width = 0;
    m_shown = false;
}

void ProgressLine::finish()
{
    if (!m_drawn)
        return;
    draw();
    m_out << '\n';
    m_out.flush();
    m_drawn = m_shown = false;
}

QString ProgressLine::text(long long received, long long announced, long long elapsedMs)
{
    QString line = announced >= 0 ? QStringLiteral("records %1/%2").arg(received).arg(announced)
                                  : QStringLiteral("records %1").arg(received);
    if (received <= 0 || elapsedMs <= 0)
        return line;
    const double rate = received * 1000.0 / elapsedMs;
    line += QStringLiteral(", %1/s").arg(rate, 0, 'f', 1);
    if (announced >= 0) {
        const long long left = announced > received ? announced - received : 0;
        line += QStringLiteral(", %1 left").arg(duration(static_cast<long long>(left / rate + 0.5)));
    }
    return line;
}

void ProgressLine::draw()
{
    if (!m_enabled)
        return;
    m_lastDrawMs = m_clock.elapsed();
    const QString line = text(m_received, m_announced, m_lastDrawMs);
    // Blanks over the rest of a longer earlier line.
    const QByteArray bytes = line.leftJustified(m_width).toUtf8();
    m_width = line.size();
    m_out << '\r';
    m_out.write(bytes.constData(), bytes.size());
    m_out.flush();
    m_drawn = m_shown = true;
}
