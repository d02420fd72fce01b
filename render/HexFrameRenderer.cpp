#include "render/HexFrameRenderer.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/WireFormat.h"
#include "render/HexContentText.h"

#include <QRegularExpression>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

using namespace hexcontent;

QStringList HexFrameRenderer::render(const QString& typed, Direction direction)
{
    const QString input = withoutByteSeparators(typed);
    m_ok = true;
    QStringList paragraphs{withoutFinalBreak(parseHeader(input))};
    if (!m_ok)
        return paragraphs;
    const int contentChars = 2 * int(m_dataLen);
    const QString content = input.left(HexFrameRenderer::kHeaderChars + contentChars).right(contentChars);
    const QString text = withoutFinalBreak(parseContent(content, direction));
    if (!text.isEmpty())
        paragraphs << text;
    if (m_ok)
        paragraphs << input.right(4) + QStringLiteral("    -- CRC");
    return paragraphs;
}

bool HexFrameRenderer::rendersAs(const QString& input, Direction direction)
{
    HexFrameRenderer renderer;
    renderer.render(input, direction);
    return renderer.isOk();
}

QString HexFrameRenderer::withoutByteSeparators(const QString& input)
{
    // Whole bytes on both sides of every separator, so text that was no frame stays as it is
    // and its failure is named as before.
    static const QRegularExpression separated(QRegularExpression::anchoredPattern(
        QStringLiteral("(?:[0-9A-Fa-f]{2})+(?:(?:\\s+|:|-)(?:[0-9A-Fa-f]{2})+)+")));
    const bool plain =
        std::all_of(input.cbegin(), input.cend(), [](QChar c) { return c.isLetterOrNumber(); });
    const QString trimmed = input.trimmed();
    if (plain || !separated.match(trimmed).hasMatch())
        return input;
    QString joined;
    joined.reserve(trimmed.size());
    // Dumps write lower case, which the content fields refuse; typed together, case stays as it is.
    for (const QChar c : trimmed)
        if (c.isLetterOrNumber())
            joined += c.toUpper();
    return joined;
}

QString HexFrameRenderer::parseHeader(const QString& input)
{
    return guarded([&] { return readHeader(input.left(HexFrameRenderer::kHeaderChars)); });
}

QString HexFrameRenderer::readHeader(const QString& header)
{
    const QString head = header.left(4);
    const QString address = header.mid(4, 4);
    if (head.compare(hex4(wire::kHeader), Qt::CaseInsensitive) != 0) {
        m_ok = false;
        return QStringLiteral("Head异常！\n");
    }
    if (address.compare(hex4(wire::kAddress), Qt::CaseInsensitive) != 0) {
        m_ok = false;
        return QStringLiteral("Addr异常！\n");
    }
    const QString command = header.mid(8, 2);
    m_cmd = u8(command);
    if (!isCommand(m_cmd)) {
        m_ok = false;
        return QStringLiteral("Cmd异常！\n");
    }
    const QString length = header.mid(10, 4);
    m_dataLen = u16(length);
    return QStringLiteral("%1 %2 %3 %4    -- 命令：[%5]%6， 长度：%7")
        .arg(head, address, command, length, QString::number(m_cmd), cmdName(m_cmd), dec(m_dataLen));
}

QString HexFrameRenderer::parseContent(const QString& content, Direction direction)
{
    const std::optional<ContentLayout> layout = ContentCodec::layoutFor(
        m_cmd, direction == Direction::Response ? FrameDirection::Response : FrameDirection::Request);
    if (!layout) {
        m_ok = false;
        return QStringLiteral("Cmd异常！\n");
    }
    return renderLayout(content, m_dataLen, *layout);
}

QString HexFrameRenderer::cmdName(quint8 code)
{
    const CommandCatalogue::Entry* entry = CommandCatalogue::find(code);
    return entry ? QString::fromUtf8(entry->rendererName) : QString();
}

QString HexFrameRenderer::failed(Failure failure)
{
    m_ok = false;
    return failure == Failure::OutsideContent ? QStringLiteral("Frame Content异常！\n")
                                              : QStringLiteral("Hex异常！\n");
}

QString HexFrameRenderer::guarded(const std::function<QString()>& body)
{
    try {
        return body();
    } catch (const std::logic_error&) {
        // "odd length", "not a hex digit", "length not enough" or an empty field.
        return failed(Failure::BadHex);
    }
}

QString HexFrameRenderer::renderLayout(const QString& content, quint16 dataLen, ContentLayout layout)
{
    const ContentText lines = contentLines(content, dataLen, layout);
    return lines.failure == Failure::None ? lines.text : failed(lines.failure);
}

QString HexFrameRenderer::parseEmpty(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::Empty);
}

QString HexFrameRenderer::parseDateTime(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::DateTime);
}

QString HexFrameRenderer::parseSerialNumber(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::SerialNumber);
}

QString HexFrameRenderer::parseDeviceName(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::DeviceName);
}

QString HexFrameRenderer::parseDeviceNumber(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::DeviceNumber);
}

QString HexFrameRenderer::parseLockStatus(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::LockStatus);
}

QString HexFrameRenderer::parsePassword(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::Password);
}

QString HexFrameRenderer::parseUsageCount(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::UsageCount);
}

QString HexFrameRenderer::parseOperator(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::Operator);
}

QString HexFrameRenderer::parseFallback(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::Fallback);
}

QString HexFrameRenderer::parseAngleMode(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::AngleMode);
}

QString HexFrameRenderer::parseRecord(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::Record);
}

QString HexFrameRenderer::parseRecordStart(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::RecordStart);
}

QString HexFrameRenderer::parseRecordData(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::RecordData);
}

QString HexFrameRenderer::parseRecordEnd(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::RecordEnd);
}

QString HexFrameRenderer::parseTorqueMode(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::TorqueMode);
}

QString HexFrameRenderer::parseBoltMode(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::BoltMode);
}

QString HexFrameRenderer::parseGearMode(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::GearMode);
}

QString HexFrameRenderer::parseSensorMode(const QString& content, quint16 dataLen)
{
    return renderLayout(content, dataLen, ContentLayout::SensorMode);
}
