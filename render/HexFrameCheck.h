#pragma once

#include "render/HexFrameRenderer.h"

#include <QString>
#include <QStringList>

// What the renderer's lines leave unsaid about one frame typed as hex: text after the header
// that is no whole bytes of hex, a length field that does not fit the bytes, a checksum that
// does not hold. The renderer shows a frame as it stands; this names what is wrong with it.
class HexFrameCheck
{
public:
    // One line, empty when the frame is whole and its checksum holds. Nothing is said of text
    // whose header the renderer refuses: its own lines name that.
    static QString problem(const QString& input);
    // The problem, and for a frame that did not render (rendered false) but would in the
    // other direction, "it renders as a request (HINT)" with the hint of how to ask for that.
    static QStringList notes(const QString& input, HexFrameRenderer::Direction direction, bool rendered,
                             const QString& requestHint, const QString& responseHint);
};
