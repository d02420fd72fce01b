#include "render/HexFrameRenderer.h"

#include "render/HexContentText.h"

#include <stdexcept>
#include <string>

namespace {

constexpr int kHeaderChars = 14;
constexpr int kCommandCount = 21;

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
    if (head.compare(QLatin1String("5AA5"), Qt::CaseInsensitive) != 0) {
        m_bOK = false;
        return QStringLiteral("Head异常！\n");
    }
    if (address.compare(QLatin1String("1234"), Qt::CaseInsensitive) != 0) {
        m_bOK = false;
        return QStringLiteral("Addr异常！\n");
    }
    const QString command = header.mid(8, 2);
    m_cmd = u8(command);
    if (m_cmd == 0 || m_cmd > kCommandCount) {
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
    if (m_cmd == 0 || m_cmd > kCommandCount) {
        m_bOK = false;
        return QStringLiteral("Cmd异常！\n");
    }
    return (this->*rendererFor(direction))(content, m_dataLen);
}

HexFrameRenderer::ContentRenderer HexFrameRenderer::rendererFor(Direction direction) const
{
    using R = HexFrameRenderer;
    static const ContentRenderer table[kCommandCount][2] = {
        {&R::parseDateTime, &R::parseEmpty},     {&R::parseEmpty, &R::parseDateTime},
        {&R::parseSerialNumber, &R::parseEmpty}, {&R::parseEmpty, &R::parseSerialNumber},
        {&R::parseDeviceName, &R::parseEmpty},   {&R::parseEmpty, &R::parseDeviceName},
        {&R::parseDeviceNumber, &R::parseEmpty}, {&R::parseEmpty, &R::parseDeviceNumber},
        {&R::parseLockStatus, &R::parseEmpty},   {&R::parsePassword, &R::parseEmpty},
        {&R::parseUsageCount, &R::parseEmpty},   {&R::parseEmpty, &R::parseRecord},
        {&R::parseEmpty, &R::parseEmpty},        {&R::parseFallback, &R::parseEmpty},
        {&R::parseOperator, &R::parseEmpty},     {&R::parseEmpty, &R::parseOperator},
        {&R::parseTorqueMode, &R::parseEmpty},   {&R::parseBoltMode, &R::parseEmpty},
        {&R::parseAngleMode, &R::parseEmpty},    {&R::parseGearMode, &R::parseEmpty},
        {&R::parseSensorMode, &R::parseEmpty},
    };
    return table[m_cmd - 1][direction == Direction::Response ? 1 : 0];
}

QString HexFrameRenderer::cmdName(quint8 code)
{
    static const char* const names[kCommandCount] = {
        "设置时间",       "获取时间",         "设置出厂编号",     "获取出厂编号",     "设置设备名称",
        "获取设备名称",   "设置设备编号",     "获取设备编号",     "设置锁定状态",     "设置密码",
        "设置使用次数",   "获取文件记录",     "清除文件记录",     "设置回退参数",     "设置操作人名",
        "获取操作人名",   "设置扭矩模式参数", "设置螺栓模式参数", "设置角度模式参数", "设置挡位预设参数",
        "设置传感器参数",
    };
    if (code == 0 || code > kCommandCount)
        return QString();
    return QString::fromUtf8(names[code - 1]);
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
    return guarded([&] { return textContent(content, dataLen, 16, QStringLiteral("出厂编号"), utf8Whole); });
}

QString HexFrameRenderer::parseDeviceName(const QString& content, quint16 dataLen)
{
    return guarded([&] { return textContent(content, dataLen, 16, QStringLiteral("设备名称"), gb2312); });
}

QString HexFrameRenderer::parseDeviceNumber(const QString& content, quint16 dataLen)
{
    return guarded([&] { return textContent(content, dataLen, 8, QStringLiteral("设备编号"), utf8Whole); });
}

QString HexFrameRenderer::parseOperator(const QString& content, quint16 dataLen)
{
    return guarded([&] { return textContent(content, dataLen, 16, QStringLiteral("操作人"), gb2312); });
}

QString HexFrameRenderer::parsePassword(const QString& content, quint16 dataLen)
{
    return guarded([&] { return textContent(content, dataLen, 8, QStringLiteral("密码"), utf8Whole); });
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
        switch (u8(field(content, 0, 2))) {
        case 0:
            return parseRecordStart(content, dataLen);
        case 1:
            return parseRecordData(content, dataLen);
        case 2:
            return parseRecordEnd(content, dataLen);
        default:
            return QString();
        }
    });
}

QString HexFrameRenderer::parseRecordStart(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == 5);
        return withoutFinalBreak(recordStartLines(content));
    });
}

QString HexFrameRenderer::parseRecordData(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == 110);
        return recordDataLines(content);
    });
}

QString HexFrameRenderer::parseRecordEnd(const QString& content, quint16 dataLen)
{
    return guarded([&] {
        requireSize(content, dataLen, dataLen == 1);
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
