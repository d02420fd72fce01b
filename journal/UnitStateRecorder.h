#pragma once

#include "protocol/CommandCatalogue.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <map>
#include <mutex>

// What the PC program set and asked of one unit, whatever the unit answers: for every
// command its request count and last content, the texts in force, the settings it wrote and
// the clock offset it set. Noted from the unit's threads, read from any thread.
class UnitStateRecorder
{
public:
    void setUnit(int unit);
    void setEndpoint(const QString& endpoint);

    // One request frame (header to checksum) as it came off the line, at `arrivalMs` since the epoch.
    void noteRequest(const QByteArray& frame, qint64 arrivalMs);
    // The text the unit answers the get of a set command with, until the PC program sets one.
    void setUnitText(Command setCommand, const QByteArray& text);
    // DTR and RTS as the PC side last set them; shown as "control_lines" once one changed.
    void setControlLines(bool dtr, bool rts);
    // Forgets every request noted; the unit's own texts and the control lines stay.
    void reset();

    // {"unit", "endpoint", "received": {name: {count, last_hex, last_fields}}, "texts": {...},
    //  "settings": {...}, "clock_offset_ms", "clock_set"}.
    QJsonObject toJson() const;

private:
    struct Received
    {
        std::uint64_t count = 0;
        QByteArray frame; // taken apart only when shown
        qint64 arrivalMs = 0;
    };

    const Received* find(Command command) const;

    mutable std::mutex m_mutex;
    int m_unit = 0;
    QString m_endpoint;
    std::map<std::uint8_t, Received> m_received;
    std::map<std::uint8_t, QByteArray> m_unitTexts; // by set command
    bool m_controlLinesSeen = false;
    bool m_dtr = true;
    bool m_rts = true;
};
