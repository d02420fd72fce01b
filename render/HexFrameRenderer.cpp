#include "render/HexFrameRenderer.h"

#include "device/CommandCatalogue.h"
#include "device/RecordLayout.h"
#include "device/WireFormat.h"
#include "render/HexContentText.h"

#include <stdexcept>
#include <string>

namespace {

constexpr int kHeaderChars = 2 * wire::kPrefixSize;

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

using namespace hexcontent;

QStringList HexFrameRenderer::render(const QString& input, Direction direction)
{
    m_bOK = true;
    QStringList paragraphs{withoutFinalBreak(parseHeader(input))};
    if (!m_bOK)
        return paragraphs;
    const int contentChars = 2 * int(m_dataLen);
    const QString content = input.left(kHeaderChars + contentChars).right(contentChars);
    const QString text = withoutFinalBreak(parseContent(content, direction));
    if (!text.isEmpty())
        paragraphs << text;
    if (m_bOK)
        paragraphs << input.right(4) + QStringLiteral("    -- CRC");
    return paragraphs;
}

QString HexFrameRenderer::parseHeader(const QString& input)
{
    return guarded([&] { return readHeader(input.left(kHeaderChars)); });
}

QString HexFrameRenderer::readHeader(const QString& header)
{
    const QString head = header.left(4);
    const QString address = header.mid(4, 4);
    if (head.compare(hex4(wire::kHeader), Qt::CaseInsensitive) != 0) {
        m_bOK = false;
        return QStringLiteral("Head异常！\n");
    }
    if (address.compare(hex4(wire::kAddress), Qt::CaseInsensitive) != 0) {
        m_bOK = false;
        return QStringLiteral("Addr异常！\n");
    }
    const QString command = header.mid(8, 2);
    m_cmd = u8(command);
    if (!isCommand(m_cmd)) {
        m_bOK = false;
        return QStringLiteral("Cmd异常！\n");
    }
    const QString length = header.mid(10, 4);
    m_dataLen = u16(length);
    return QStringLiteral("%1 %2 %3 %4    -- 命令：[%5]%6， 长度：%7")
        .arg(head, address, command, length, QString::number(m_cmd), cmdName(m_cmd), dec(m_dataLen));
}

QString HexFrameRenderer::parseContent(const QString& content, Direction direction)
{
    if (!isCommand(m_cmd)) {
        m_bOK = false;
        return QStringLiteral("Cmd异常！\n");
    }
    return (this->*rendererFor(direction))(content, m_dataLen);
}

HexFrameRenderer::ContentRenderer HexFrameRenderer::rendererFor(Direction direction) const
{
#define VARNEL_COMMAND_RENDERERS(name, code, protocol, renderer, dialog, cli, request, response, handler,    \
                                 requestRenderer, responseRenderer)                                          \
    {&HexFrameRenderer::requestRenderer, &HexFrameRenderer::responseRenderer},
    static constexpr ContentRenderer table[][2] = {VARNEL_COMMAND_TABLE(VARNEL_COMMAND_RENDERERS)};
#undef VARNEL_COMMAND_RENDERERS
    return table[m_cmd - 1][direction == Direction::Response ? 1 : 0];
}

QString HexFrameRenderer::cmdName(quint8 code)
{
    const CommandCatalogue::Entry* entry = CommandCatalogue::find(code);
    return entry ? QString::fromUtf8(entry->rendererName) : QString();
}

QString HexFrameRenderer::guarded(const std::function<QString()>& body)
{
    try {
        return body();
    } catch (const OutsideContent&) {
        m_bOK = false;
        return QStringLiteral("Frame Content异常！\n");
    } catch (const std::logic_error&) {
        // "odd length", "not a hex digit", "length not enough" or an empty field.
        m_bOK = false;
        return QStringLiteral("Hex异常！\n");
    }
}

QString HexFrameRenderer::parseEmpty(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == 0);
        return QString();
    });
}

QString HexFrameRenderer::parseDateTime(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == 7);
        return dateDigits(content) + QStringLiteral("    -- ") + dateValue(content);
    });
}

QString HexFrameRenderer::parseSerialNumber(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        return textContent(content, dataLen, wire::kMaxSerialNumberSize, QStringLiteral("出厂编号"),
                           utf8Whole);
    });
}

QString HexFrameRenderer::parseDeviceName(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        return textContent(content, dataLen, wire::kMaxDeviceNameSize, QStringLiteral("设备名称"), gb2312);
    });
}

QString HexFrameRenderer::parseDeviceNumber(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        return textContent(content, dataLen, wire::kMaxDeviceNumberSize, QStringLiteral("设备编号"),
                           utf8Whole);
    });
}

QString HexFrameRenderer::parseOperator(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        return textContent(content, dataLen, wire::kMaxOperatorSize, QStringLiteral("操作人"), gb2312);
    });
}

QString HexFrameRenderer::parsePassword(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        return textContent(content, dataLen, wire::kMaxPasswordSize, QStringLiteral("密码"), utf8Whole);
    });
}

// The lock password is shown as its digits only, never converted.
QString HexFrameRenderer::parseLockStatus(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen >= 1 && dataLen <= 9);
        const QString state = field(content, 0, 2);
        QString text = state + QStringLiteral("    -- ") +
                       (u8(state) != 0 ? QStringLiteral("加锁") : QStringLiteral("解锁")) + QLatin1Char('\n');
        if (dataLen > 1)
            text += content.mid(2) + QStringLiteral("    -- 密码\n");
        return text;
    });
}

QString HexFrameRenderer::parseUsageCount(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == 4);
        return fieldLine(content, QStringLiteral("使用次数"), dec(u32(content)));
    });
}

QString HexFrameRenderer::parseAngleMode(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == 2);
        return fieldLine(content, QStringLiteral("角度"), dec(u16(content)));
    });
}

QString HexFrameRenderer::parseFallback(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == 3);
        const QString angle = field(content, 0, 4);
        const QString current = field(content, 4, 2);
        return QStringLiteral("%1 %2    -- 回退信息，角度：%3，电流：%4\n")
            .arg(angle, current, dec(u16(angle)), dec(u8(current)));
    });
}

QString HexFrameRenderer::parseRecord(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen >= 1);
        switch (static_cast<wire::RecordMark>(u8(field(content, 0, 2)))) {
        case wire::RecordMark::Start:
            return parseRecordStart(content, dataLen);
        case wire::RecordMark::Data:
            return parseRecordData(content, dataLen);
        case wire::RecordMark::End:
            return parseRecordEnd(content, dataLen);
        }
        return QString();
    });
}

QString HexFrameRenderer::parseRecordStart(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == wire::kRecordStartSize);
        return withoutFinalBreak(recordStartLines(content));
    });
}

QString HexFrameRenderer::parseRecordData(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == RecordLayout::size());
        return recordDataLines(content);
    });
}

QString HexFrameRenderer::parseRecordEnd(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == wire::kRecordEndSize);
        return withoutFinalBreak(recordEndLines(content));
    });
}

QString HexFrameRenderer::parseTorqueMode(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, true);
        return torqueLines(content);
    });
}

QString HexFrameRenderer::parseBoltMode(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, true);
        return boltContent(content);
    });
}

QString HexFrameRenderer::parseGearMode(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, true);
        return gearLines(content);
    });
}

QString HexFrameRenderer::parseSensorMode(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, true);
        return sensorLines(content);
    });
}
