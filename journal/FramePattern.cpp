#include "journal/FramePattern.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"
#include "scenario/ScenarioFile.h"
#include "util/MessageQuote.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>
#include <limits>

namespace {

const QString kCommandHelp = QStringLiteral("a command name such as set-device-name or a code from %1 to %2");

QString typeName(const QJsonValue& value)
{
    return ScenarioFile::typeName(value);
}

std::optional<std::uint8_t> commandOf(const QJsonValue& value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number == std::floor(number) && number >= 0 && number <= 0xFF && isCommand(std::uint8_t(number)))
            return std::uint8_t(number);
        return std::nullopt;
    }
    const QString text = value.toString();
    if (const std::optional<Command> command = commandFromGloss(text))
        return toCode(*command);
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) && text.size() <= 4) {
        bool valid = false;
        const uint code = text.mid(2).toUInt(&valid, 16);
        if (valid && code <= 0xFF && isCommand(std::uint8_t(code)))
            return std::uint8_t(code);
    }
    return std::nullopt;
}

// Hex digits, blanks between them allowed, in lower case; nothing for anything else.
std::optional<QByteArray> hexOf(const QString& text)
{
    QString digits = text;
    digits.remove(QLatin1Char(' '));
    if (digits.size() % 2 != 0)
        return std::nullopt;
    for (const QChar c : digits)
        if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
            return std::nullopt;
    return digits.toLower().toLatin1();
}

// A label or group of the codec's, "%1" standing for an entry's number, as a whole-text pattern.
QRegularExpression templatePattern(const QString& text)
{
    QString pattern = QRegularExpression::escape(text);
    pattern.replace(QRegularExpression::escape(QStringLiteral("%1")), QStringLiteral("\\d{1,9}"));
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern));
}

bool isNumber(ContentField::Encoding encoding)
{
    return encoding == ContentField::Encoding::Number;
}

QString fieldList(const std::vector<ContentFieldName>& names)
{
    QStringList shown;
    for (const ContentFieldName& name : names) {
        QString text = name.group.isEmpty() ? name.label : name.group + QLatin1Char('.') + name.label;
        if (text.isEmpty())
            text = QStringLiteral("\"\"");
        if (!name.key.isEmpty())
            text += QStringLiteral(" or ") + name.key;
        shown << text;
    }
    return shown.isEmpty() ? QStringLiteral("none") : shown.join(QStringLiteral(", "));
}

} // namespace

const QStringList FramePattern::kKeys{QStringLiteral("command"), QStringLiteral("fields"), QStringLiteral("hex"),
                                      QStringLiteral("type")};

std::optional<FramePattern> FramePattern::parse(const QJsonObject& object, const QString& where,
                                                QString* error)
{
    FramePattern pattern;
    pattern.m_json = object;
    const auto refuse = [&](const QString& key, const QString& what) {
        *error = where + key + QStringLiteral(": ") + what;
        return std::nullopt;
    };

    const QJsonValue type = object.value(QStringLiteral("type"));
    if (!type.isUndefined()) {
        const QString name = type.toString();
        if (name == QLatin1String("reply"))
            pattern.m_type = JournalEvent::Type::Reply;
        else if (name == QLatin1String("record"))
            pattern.m_type = JournalEvent::Type::Record;
        else if (name != QLatin1String("request") || !type.isString())
            return refuse(QStringLiteral("type"),
                          QStringLiteral("expected request, reply or record, got %1")
                              .arg(type.isString() ? MessageQuote::of(name) : typeName(type)));
    }

    const QJsonValue command = object.value(QStringLiteral("command"));
    if (!command.isUndefined()) {
        if (!command.isString() && !command.isDouble())
            return refuse(QStringLiteral("command"), QStringLiteral("expected %1, got %2")
                                                         .arg(kCommandHelp.arg(toCode(kFirstCommand))
                                                                  .arg(toCode(kLastCommand)),
                                                              typeName(command)));
        pattern.m_command = commandOf(command);
        if (!pattern.m_command)
            return refuse(QStringLiteral("command"),
                          QStringLiteral("unknown command %1 (%2)")
                              .arg(command.isString() ? MessageQuote::of(command.toString())
                                                      : QString::number(command.toDouble()),
                                   kCommandHelp.arg(toCode(kFirstCommand)).arg(toCode(kLastCommand))));
        if (pattern.m_type == JournalEvent::Type::Record && *pattern.m_command != toCode(Command::GetFileRecords))
            return refuse(QStringLiteral("command"),
                          QStringLiteral("records are sent for get-file-records only, not %1")
                              .arg(commandGloss(*pattern.m_command)));
    }
    if (pattern.m_type == JournalEvent::Type::Record)
        pattern.m_command = toCode(Command::GetFileRecords);

    const QJsonValue hex = object.value(QStringLiteral("hex"));
    if (!hex.isUndefined()) {
        pattern.m_hex = hex.isString() ? hexOf(hex.toString()) : std::nullopt;
        if (!pattern.m_hex)
            return refuse(QStringLiteral("hex"),
                          QStringLiteral("expected a text of hex digit pairs, got %1")
                              .arg(hex.isString() ? MessageQuote::of(hex.toString()) : typeName(hex)));
    }

    const QJsonValue fields = object.value(QStringLiteral("fields"));
    if (!fields.isUndefined()) {
        if (!fields.isObject())
            return refuse(QStringLiteral("fields"),
                          QStringLiteral("expected an object of labels and values, got %1").arg(typeName(fields)));
        if (!pattern.m_command && !fields.toObject().isEmpty())
            return refuse(QStringLiteral("fields"), QStringLiteral("the fields are a command's: name the command"));
        std::optional<ContentLayout> layout;
        if (pattern.m_type == JournalEvent::Type::Record)
            layout = ContentLayout::RecordData;
        else if (pattern.m_command)
            layout = ContentCodec::layoutFor(*pattern.m_command, pattern.m_type == JournalEvent::Type::Request
                                                                     ? FrameDirection::Request
                                                                     : FrameDirection::Response);
        const QJsonObject given = fields.toObject();
        for (auto it = given.begin(); it != given.end(); ++it) {
            const std::optional<Field> checked = field(layout, it.key(), it.value(), where, error);
            if (!checked)
                return std::nullopt;
            pattern.m_fields.push_back(*checked);
        }
    }
    return pattern;
}

std::optional<FramePattern::Field> FramePattern::field(std::optional<ContentLayout> layout, const QString& name,
                                                       const QJsonValue& value, const QString& where,
                                                       QString* error)
{
    const QString key = where + QStringLiteral("fields.") + name;
    const std::vector<ContentFieldName> names = layout ? ContentCodec::fieldNames(*layout)
                                                       : std::vector<ContentFieldName>();
    Field field;
    field.name = name;
    const ContentFieldName* found = nullptr;
    for (const ContentFieldName& candidate : names) {
        if (!candidate.key.isEmpty() && candidate.key == name) {
            field.label = candidate.label;
            found = &candidate;
            break;
        }
    }
    // "group.label" names a list entry's field; a bare label the first field that has it.
    const int dot = name.indexOf(QLatin1Char('.'));
    const QString group = dot < 0 ? QString() : name.left(dot);
    const QString label = dot < 0 ? name : name.mid(dot + 1);
    for (std::size_t i = 0; !found && i < names.size(); ++i) {
        const ContentFieldName& candidate = names[i];
        if (!templatePattern(candidate.label).match(label).hasMatch())
            continue;
        if (dot >= 0 && (candidate.group.isEmpty() || !templatePattern(candidate.group).match(group).hasMatch()))
            continue;
        field.group = group;
        field.label = label;
        found = &candidate;
    }
    if (!found) {
        *error = QStringLiteral("%1: no such field (the fields: %2)").arg(key, fieldList(names));
        return std::nullopt;
    }
    if (!readValue(value, found->encoding, key, &field.value, error))
        return std::nullopt;
    return field;
}

bool FramePattern::readValue(const QJsonValue& json, ContentField::Encoding encoding, const QString& where,
                             Value* value, QString* error)
{
    const bool number = isNumber(encoding);
    const QString expected = number ? QStringLiteral("a number, {\"from\": A, \"to\": B} or {\"hex\": ...}")
                                    : QStringLiteral("a text or {\"hex\": ...}");
    const auto refuse = [&](const QString& what) {
        *error = where + QStringLiteral(": ") + what;
        return false;
    };
    if (json.isString() && !number) {
        value->kind = Value::Kind::Text;
        value->text = json.toString();
        return true;
    }
    if (json.isDouble() && number) {
        const double given = json.toDouble();
        if (given != std::floor(given) || given < 0 || given > double(std::numeric_limits<std::uint32_t>::max()))
            return refuse(QStringLiteral("expected a whole number from 0 to 4294967295, got %1").arg(given));
        value->kind = Value::Kind::Number;
        value->number = given;
        return true;
    }
    if (!json.isObject())
        return refuse(QStringLiteral("expected %1, got %2").arg(expected, typeName(json)));
    const QJsonObject object = json.toObject();
    if (object.size() == 1 && object.contains(QStringLiteral("hex"))) {
        const QJsonValue hex = object.value(QStringLiteral("hex"));
        const std::optional<QByteArray> bytes = hex.isString() ? hexOf(hex.toString()) : std::nullopt;
        if (!bytes)
            return refuse(QStringLiteral("hex: expected a text of hex digit pairs, got %1")
                              .arg(hex.isString() ? MessageQuote::of(hex.toString()) : typeName(hex)));
        value->kind = Value::Kind::Hex;
        value->hex = *bytes;
        return true;
    }
    bool range = !object.isEmpty();
    for (auto it = object.begin(); it != object.end(); ++it)
        range = range && (it.key() == QLatin1String("from") || it.key() == QLatin1String("to"));
    if (!range)
        return refuse(QStringLiteral("expected %1, got an object with the keys %2")
                          .arg(expected, object.keys().join(QStringLiteral(", "))));
    if (!number)
        return refuse(QStringLiteral("from and to are for numbers; this field is a text"));
    value->kind = Value::Kind::Range;
    value->number = -std::numeric_limits<double>::infinity();
    value->to = std::numeric_limits<double>::infinity();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isDouble())
            return refuse(QStringLiteral("%1: expected a number, got %2").arg(it.key(), typeName(it.value())));
        (it.key() == QLatin1String("from") ? value->number : value->to) = it.value().toDouble();
    }
    if (value->number > value->to)
        return refuse(QStringLiteral("from %1 is above to %2").arg(value->number).arg(value->to));
    return true;
}

bool FramePattern::sameCommand(const JournalEvent& event) const
{
    if (!m_command)
        return true;
    const std::optional<FrameView> frame = FrameView::of(event.bytes);
    return frame && frame->command() == *m_command;
}

FramePattern::Result FramePattern::compare(const JournalEvent& event) const
{
    Result result;
    result.sameCommand = sameCommand(event);
    const std::optional<FrameView> frame = FrameView::of(event.bytes);
    const QByteArray content = frame ? frame->content() : QByteArray();
    std::optional<DecodedContent> decoded;
    if (frame && !m_fields.empty())
        decoded = ContentCodec::decode(frame->command(),
                                       m_type == JournalEvent::Type::Request ? FrameDirection::Request
                                                                             : FrameDirection::Response,
                                       content);
    const std::vector<ContentField> none;
    const std::vector<ContentField>& read = decoded ? decoded->fields : none;
    for (const Field& field : m_fields) {
        Check check{field.name, false, QJsonValue()};
        const ContentField* found = nullptr;
        for (const ContentField& candidate : read) {
            if (candidate.label == field.label && (field.group.isEmpty() || candidate.group == field.group)) {
                found = &candidate;
                break;
            }
        }
        if (found) {
            const QByteArray bytes = content.mid(found->offset, found->size).toHex();
            bool valid = false;
            const double number = found->value.toDouble(&valid);
            switch (field.value.kind) {
            case Value::Kind::Text:
                check.value = found->value;
                check.match = found->value == field.value.text;
                break;
            case Value::Kind::Number:
                check.value = valid ? QJsonValue(number) : QJsonValue(found->value);
                check.match = valid && number == field.value.number;
                break;
            case Value::Kind::Range:
                check.value = valid ? QJsonValue(number) : QJsonValue(found->value);
                check.match = valid && number >= field.value.number && number <= field.value.to;
                break;
            case Value::Kind::Hex:
                check.value = QString::fromLatin1(bytes);
                check.match = bytes == field.value.hex;
                break;
            }
        }
        result.checks.push_back(check);
    }
    if (m_hex) {
        // Shown as given: the whole frame's bytes, or the content's for a pattern of a content.
        const QByteArray whole = event.bytes.toHex();
        const QByteArray shown = frame && m_hex->size() != whole.size() ? content.toHex() : whole;
        const bool match = whole == *m_hex || (frame && content.toHex() == *m_hex);
        result.checks.push_back({QStringLiteral("hex"), match, QString::fromLatin1(shown)});
    }
    for (const Check& check : result.checks)
        result.matched += check.match ? 1 : 0;
    result.all = takesType(event) && result.sameCommand && result.matched == int(result.checks.size());
    return result;
}
