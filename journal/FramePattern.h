#pragma once

#include "journal/JournalEvent.h"
#include "protocol/ContentCodec.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// Which frames of a unit's journal a verification looks for: requests (the default), or the
// replies or upload records the unit sent; of one command; with field values named by their
// labels as the journal prints them (or a record's CSV column) and with given bytes.
class FramePattern
{
public:
    // The keys of a pattern's JSON object.
    static const QStringList kKeys;

    // How one field or the bytes of one event compared.
    struct Check
    {
        QString name; // as the pattern names it; "hex" for the bytes
        bool match = false;
        QJsonValue value; // what the event had (null: no such field)
    };

    struct Result
    {
        bool sameCommand = false;
        std::vector<Check> checks; // the pattern's fields in its order, then the bytes
        int matched = 0;           // checks that match
        bool all = false;          // the type, command and every check
    };

    // The pattern of a JSON object with keys out of `keys` (those of a pattern among them);
    // nothing, and `error` naming the key (after `where`, "sequence[2]." say) and what is wrong.
    static std::optional<FramePattern> parse(const QJsonObject& object, const QString& where, QString* error);

    JournalEvent::Type type() const { return m_type; }
    // Whether the event is of the pattern's type and command: cheap, no decoding.
    bool takesType(const JournalEvent& event) const { return event.type == m_type; }
    bool sameCommand(const JournalEvent& event) const;
    // The event against every part of the pattern (an event of the pattern's type).
    Result compare(const JournalEvent& event) const;
    // The pattern as given.
    const QJsonObject& json() const { return m_json; }

private:
    struct Value
    {
        enum class Kind
        {
            Text,
            Number,
            Range,
            Hex
        };
        Kind kind = Kind::Text;
        QString text;
        double number = 0; // Number; Range: from
        double to = 0;     // Range
        QByteArray hex;    // lower case
    };
    struct Field
    {
        QString name;  // as given
        QString group; // empty: the first field with the label, whatever its group
        QString label;
        Value value;
    };

    static std::optional<Field> field(std::optional<ContentLayout> layout, const QString& name,
                                      const QJsonValue& value, const QString& where, QString* error);
    static bool readValue(const QJsonValue& json, ContentField::Encoding encoding, const QString& where,
                          Value* value, QString* error);

    QJsonObject m_json;
    JournalEvent::Type m_type = JournalEvent::Type::Request;
    std::optional<std::uint8_t> m_command;
    std::vector<Field> m_fields;
    std::optional<QByteArray> m_hex; // the whole frame's or the content's bytes, lower case
};
