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
    // The local date, time and offset change once a second at most: worked out once per
    // second and thread, the zone lookup being most of the cost.
    struct Second
    {
        qint64 second = -1;
        QString date;   // "2026-12-08T18:03:11"
        QString offset; // "+00:00"
    };
    thread_local Second cached;
    const qint64 second = timeUs / 1000000;
    if (second != cached.second) {
        const QDateTime local = QDateTime::fromSecsSinceEpoch(second);
        const int offset = local.offsetFromUtc();
        const int minutes = (offset < 0 ? -offset : offset) / 60;
        cached.second = second;
        cached.date = local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
        cached.offset = QStringLiteral("%1%2:%3")
                            .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                            .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                            .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    }
    return cached.date + QLatin1Char('.') +
           QStringLiteral("%1").arg(timeUs % 1000000, 6, 10, QLatin1Char('0')) + cached.offset;
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

namespace {

void appendString(QByteArray& line, const QString& text)
{
    static const char kHex[] = "0123456789abcdef";
    line += '"';
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            line += '\\';
            line += c;
        } else if (byte < 0x20) {
            line += "\\u00";
            line += kHex[byte >> 4];
            line += kHex[byte & 0xF];
        } else {
            line += c;
        }
    }
    line += '"';
}

void appendKey(QByteArray& line, const char* key)
{
    line += ",\"";
    line += key;
    line += "\":";
}

void appendNumber(QByteArray& line, const char* key, qint64 value)
{
    appendKey(line, key);
    line += QByteArray::number(value);
}

} // namespace

QByteArray JournalEvent::toJsonLine() const
{
    // The frequent events are written directly, the rest through a document: the same JSON.
    const bool frame = type == Type::Request || type == Type::Reply || type == Type::Record;
    if (!(frame && keys.isEmpty()) && type != Type::Discard) {
        QByteArray line = QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
        line.append('\n');
        return line;
    }
    QByteArray line;
    line.reserve(160 + bytes.size() * 2);
    line += "{\"seq\":";
    line += QByteArray::number(qulonglong(seq));
    appendKey(line, "t");
    appendString(line, timestamp(timeUs));
    appendNumber(line, "unit", unit);
    appendKey(line, "type");
    line += '"';
    line += typeName(type);
    line += '"';
    if (type == Type::Request || type == Type::Reply) {
        const std::optional<FrameView> view = FrameView::of(bytes);
        const std::uint8_t command = view ? view->command() : 0;
        appendNumber(line, "cmd", command);
        appendKey(line, "name");
        appendString(line, commandGloss(command));
        appendKey(line, "hex");
        line += '"' + bytes.toHex() + '"';
        appendKey(line, "fields");
        line += '[';
        if (view) {
            const std::optional<DecodedContent> decoded = ContentCodec::decode(
                command, type == Type::Request ? FrameDirection::Request : FrameDirection::Response,
                view->content());
            bool first = true;
            for (const ContentField& field : decoded ? decoded->fields : std::vector<ContentField>()) {
                line += first ? "[" : ",[";
                first = false;
                appendString(line, field.label);
                line += ',';
                appendString(line, field.value);
                if (!field.group.isEmpty()) {
                    line += ',';
                    appendString(line, field.group);
                }
                line += ']';
            }
        }
        line += ']';
        if (type == Type::Reply) {
            appendNumber(line, "request_seq", qint64(requestSeq));
            appendNumber(line, "latency_us", latencyUs);
        }
    } else if (type == Type::Record) {
        appendNumber(line, "sequence", sequence);
        appendNumber(line, "request_seq", qint64(requestSeq));
        appendKey(line, "hex");
        line += '"' + bytes.toHex() + '"';
    } else {
        appendKey(line, "hex");
        line += '"' + bytes.toHex() + '"';
        for (auto it = keys.begin(); it != keys.end(); ++it) {
            appendKey(line, it.key().toUtf8().constData());
            appendString(line, it.value().toString());
        }
    }
    line += "}\n";
    return line;
}
