#include "render/HexFrameCheck.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"
#include "protocol/WireFormat.h"
#include "render/HexFrameRenderer.h"

#include <QByteArray>

namespace {

bool isHexDigit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
}

QString hex16(std::uint16_t value)
{
    return QString::number(value, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

// A character as a message can show it: itself, or its code when it would not show.
QString shown(QChar c)
{
    return c.isPrint() && !c.isSpace()
               ? QStringLiteral("'%1'").arg(c)
               : QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QString HexFrameCheck::problem(const QString& input)
{
    const QString hex = HexFrameRenderer::withoutByteSeparators(input);
    if (hex.size() < HexFrameRenderer::kHeaderChars)
        return {};
    for (int i = 0; i < HexFrameRenderer::kHeaderChars; ++i)
        if (!isHexDigit(hex.at(i)))
            return {};
    const QByteArray prefix = QByteArray::fromHex(hex.left(HexFrameRenderer::kHeaderChars).toLatin1());
    const auto byteAt = [&prefix](int i) { return static_cast<std::uint8_t>(prefix.at(i)); };
    if (((byteAt(0) << 8) | byteAt(1)) != wire::kHeader || ((byteAt(2) << 8) | byteAt(3)) != wire::kAddress ||
        !isCommand(byteAt(wire::kCommandOffset)))
        return {};

    for (int i = HexFrameRenderer::kHeaderChars; i < hex.size(); ++i)
        if (!isHexDigit(hex.at(i)))
            return QStringLiteral("character %1 (%2) is not a hex digit").arg(i + 1).arg(shown(hex.at(i)));
    if (hex.size() % 2 != 0)
        return QStringLiteral("%1 hex digits are no whole number of bytes").arg(hex.size());
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    const int needed =
        wire::kOverheadSize + ((byteAt(wire::kLengthOffset) << 8) | byteAt(wire::kLengthOffset + 1));
    if (FrameView::check(bytes) != FrameView::Fault::None)
        return QStringLiteral("the frame is %1 bytes, its length field needs %2")
            .arg(bytes.size())
            .arg(needed);
    const std::optional<FrameView> view = FrameView::of(bytes);
    if (!view->checksumOk())
        return QStringLiteral("checksum %1, computed %2")
            .arg(hex16(view->receivedChecksum()), hex16(view->computedChecksum()));
    return {};
}

QStringList HexFrameCheck::notes(const QString& input, HexFrameRenderer::Direction direction, bool rendered,
                                 const QString& requestHint, const QString& responseHint)
{
    QStringList notes;
    const QString found = problem(input);
    if (!found.isEmpty())
        notes << found;
    using Direction = HexFrameRenderer::Direction;
    const Direction other = direction == Direction::Response ? Direction::Request : Direction::Response;
    if (!rendered && HexFrameRenderer::rendersAs(input, other))
        notes << (other == Direction::Request
                      ? QStringLiteral("it renders as a request (%1)").arg(requestHint)
                      : QStringLiteral("it renders as a response (%1)").arg(responseHint));
    return notes;
}
