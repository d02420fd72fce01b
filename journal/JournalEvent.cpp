#include "journal/JournalEvent.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"

#include <QDateTime>
#include <QJsonDocument>

const char* JournalEvent::typeName(Type type)
{
    switch (type) {
    case Type::Request:
        return "request";
    case Type::Reply:
        return "reply";
    case Type::Record:
        return "record";
    case Type::Discard:
        return "discard";
    case Type::Fault:
        return "fault";
    case Type::UploadStart:
        return "upload-start";
    case Type::UploadEnd:
        return "upload-end";
    case Type::Line:
        return "line";
    case Type::Scenario:
        return "scenario";
    case Type::StateReset:
        return "state-reset";
    }
    return "unknown";
}

QString JournalEvent::timestamp(qint64 timeUs)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(timeUs / 1000);
    const int offset = local.offsetFromUtc();
    const int offsetMinutes = (offset < 0 ? -offset : offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           QStringLiteral(".%1%2%3:%4")
               .arg(timeUs % 1000000, 6, 10, QLatin1Char('0'))
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(offsetMinutes / 60, 2, 10, QLatin1Char('0'))
               .arg(offsetMinutes % 60, 2, 10, QLatin1Char('0'));
}

QJsonArray JournalEvent::fieldsJson(std::uint8_t command, FrameDirection direction, const QByteArray& content)
{
    QJsonArray fields;
    const std::optional<DecodedContent> decoded = ContentCodec::decode(command, direction, content);
    if (!decoded)
        return fields;
    for (const ContentField& field : decoded->fields) {
        QJsonArray pair{field.label, field.value};
        if (!field.group.isEmpty())
            pair.append(field.group);
        fields.append(pair);
    }
    return fields;
}

QJsonObject JournalEvent::toJson() const
{
    QJsonObject object = keys;
    object.insert(QStringLiteral("seq"), qint64(seq));
    object.insert(QStringLiteral("t"), timestamp(timeUs));
    object.insert(QStringLiteral("unit"), unit);
    object.insert(QStringLiteral("type"), QLatin1String(typeName(type)));
    const QString hex = QString::fromLatin1(bytes.toHex());
    switch (type) {
    case Type::Request:
    case Type::Reply: {
        const std::optional<FrameView> frame = FrameView::of(bytes);
        const std::uint8_t command = frame ? frame->command() : 0;
        object.insert(QStringLiteral("cmd"), command);
        object.insert(QStringLiteral("name"), commandGloss(command));
        object.insert(QStringLiteral("hex"), hex);
        object.insert(
            QStringLiteral("fields"),
            frame ? fieldsJson(command,
                               type == Type::Request ? FrameDirection::Request : FrameDirection::Response,
                               frame->content())
                  : QJsonArray());
        if (type == Type::Reply) {
            object.insert(QStringLiteral("request_seq"), qint64(requestSeq));
            object.insert(QStringLiteral("latency_us"), latencyUs);
        }
        break;
    }
    case Type::Record:
        object.insert(QStringLiteral("sequence"), qint64(sequence));
        object.insert(QStringLiteral("request_seq"), qint64(requestSeq));
        object.insert(QStringLiteral("hex"), hex);
        break;
    case Type::Discard:
        object.insert(QStringLiteral("hex"), hex);
        break;
    default:
        break;
    }
    return object;
}

QByteArray JournalEvent::toJsonLine() const
{
    QByteArray line = QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
    line.append('\n');
    return line;
}
