#pragma once

#include "protocol/ContentCodec.h"
#include "protocol/WireFormat.h"
#include "render/HexContentText.h"

#include <QString>
#include <QStringList>

#include <functional>

// Turns one frame, typed as hex text, into readable paragraphs: the header line,
// the content lines and the checksum line. The checksum is shown, never verified (HexFrameCheck
// says what is wrong with a frame). Byte pairs may stand apart, as hex dumps show them.
// No function throws: bad hex text ends the parse with "Hex异常！". The content's fields come
// from the protocol's content codec; this class only writes them as text.
class HexFrameRenderer
{
public:
    // The header as typed: two hex digits a byte.
    static constexpr int kHeaderChars = 2 * wire::kPrefixSize;
    enum class Direction
    {
        Request = 0,
        Response = 1
    };

    // One whole parse; the paragraphs in the order the output pane receives them.
    QStringList render(const QString& input, Direction direction);
    // Whether the last parse got through to its checksum line.
    bool isOk() const { return m_ok; }
    // Whether the frame gets through to its checksum line when read in that direction.
    static bool rendersAs(const QString& input, Direction direction);
    // The hex with the blanks, colons or dashes between its byte pairs taken out, in upper case
    // ("5a:a5:12" and "5aa5 1234" as Wireshark and hex dumps copy them); any other text as it is.
    static QString withoutByteSeparators(const QString& input);

    QString parseHeader(const QString& input);
    QString parseContent(const QString& content, Direction direction);
    static QString cmdName(quint8 code);

    // Content renderers: each takes the content text and N, returns its lines.
    QString parseEmpty(const QString& content, quint16 dataLen);
    QString parseDateTime(const QString& content, quint16 dataLen);
    QString parseSerialNumber(const QString& content, quint16 dataLen);
    QString parseDeviceName(const QString& content, quint16 dataLen);
    QString parseDeviceNumber(const QString& content, quint16 dataLen);
    QString parseLockStatus(const QString& content, quint16 dataLen);
    QString parsePassword(const QString& content, quint16 dataLen);
    QString parseUsageCount(const QString& content, quint16 dataLen);
    QString parseOperator(const QString& content, quint16 dataLen);
    QString parseFallback(const QString& content, quint16 dataLen);
    QString parseAngleMode(const QString& content, quint16 dataLen);
    QString parseRecord(const QString& content, quint16 dataLen);
    QString parseRecordStart(const QString& content, quint16 dataLen);
    QString parseRecordData(const QString& content, quint16 dataLen);
    QString parseRecordEnd(const QString& content, quint16 dataLen);
    QString parseTorqueMode(const QString& content, quint16 dataLen);
    QString parseBoltMode(const QString& content, quint16 dataLen);
    QString parseGearMode(const QString& content, quint16 dataLen);
    QString parseSensorMode(const QString& content, quint16 dataLen);

    quint8 cmd() const { return m_cmd; }
    quint16 dataLen() const { return m_dataLen; }

private:
    // Runs the header reading and turns a bad hex digit into the failure text.
    QString guarded(const std::function<QString()>& body);
    QString readHeader(const QString& header);
    QString renderLayout(const QString& content, quint16 dataLen, ContentLayout layout);
    QString failed(hexcontent::Failure failure);

    bool m_ok = true;
    quint8 m_cmd = 0;
    quint16 m_dataLen = 0;
};
