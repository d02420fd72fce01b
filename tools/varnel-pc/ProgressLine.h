#pragma once

#include <QElapsedTimer>
#include <QString>

#include <iosfwd>

// One line of upload progress (received / announced, rate, time left), redrawn in place.
// Meant for a terminal only: a disabled line writes nothing at all.
class ProgressLine
{
public:
    explicit ProgressLine(std::ostream& out);

    void setEnabled(bool enabled) { m_enabled = enabled; }
    // The start frame's count; -1 while none has arrived.
    void setAnnounced(long long announced);
    void setReceived(long long received);
    // Blanks the line so other output on the same terminal starts clean; the next update redraws it.
    void clear();
    // Draws the final state and ends the line; nothing when nothing was drawn.
    void finish();

    static QString text(long long received, long long announced, long long elapsedMs);

private:
    void draw();

    std::ostream& m_out;
    QElapsedTimer m_clock;
    qint64 m_lastDrawMs = 0;
    long long m_announced = -1;
    long long m_received = 0;
    int m_width = 0;
    bool m_enabled = false;
    bool m_shown = false; // on the screen now
    bool m_drawn = false; // drawn at least once
};
