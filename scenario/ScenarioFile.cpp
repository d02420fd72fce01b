#include "scenario/ScenarioFile.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/ContentCodec.h"
#include "protocol/RecordLayout.h"
#include "protocol/WireFormat.h"
#include "scenario/RecordCsvFormat.h"
#include "scenario/RecordCsvReader.h"
#include "scenario/Scenario.h"
#include "util/BoundedFile.h"
#include "util/Conversions.h"
#include "util/MessageQuote.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTextCodec>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace {

struct TextKey
{
    const char* key;
    UnitState::Text text;
    int maxSize;
    bool gb2312; // names as the PC program sends them; the numbers are ASCII
};

// Longer than any path a system opens; such a name is a mistake, not a file.
constexpr int kMaxFileNameCharacters = 4096;

// A clock offset of a century either way is already no clock of a unit.
constexpr double kMaxClockOffsetMs = 100 * 366 * 86400000.0;

const TextKey kTextKeys[] = {
    {"serial-number", UnitState::Text::SerialNumber, wire::kMaxSerialNumberSize, false},
    {"device-name", UnitState::Text::DeviceName, wire::kMaxDeviceNameSize, true},
    {"device-number", UnitState::Text::DeviceNumber, wire::kMaxDeviceNumberSize, false},
    {"operator", UnitState::Text::Operator, wire::kMaxOperatorSize, true},
};

// The GB2312 bytes of `text`; false with `missing` set to the first character GB2312 lacks.
// The codec also takes code-page extensions (€ becomes 0x80), which no GB2312 reader decodes,
// so each character must come out as ASCII or as a two-byte code of the GB2312 rows.
bool gb2312Bytes(const QString& text, QByteArray* bytes, QString* missing)
{
    QTextCodec* codec = QTextCodec::codecForName("gb2312");
    QByteArray out;
    for (int i = 0; i < text.size(); ++i) {
        // One character: a surrogate pair stays whole.
        const int length =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate() ? 2 : 1;
        const QString character = text.mid(i, length);
        i += length - 1;
        QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull);
        const QByteArray encoded = codec->fromUnicode(character.constData(), character.size(), &state);
        const auto byte = [&encoded](int at) { return static_cast<std::uint8_t>(encoded.at(at)); };
        const bool ascii = encoded.size() == 1 && byte(0) < 0x80;
        const bool twoByte =
            encoded.size() == 2 && byte(0) >= 0xA1 && byte(0) <= 0xF7 && byte(1) >= 0xA1 && byte(1) <= 0xFE;
        if (state.invalidChars > 0 || !(ascii || twoByte) || codec->toUnicode(encoded) != character) {
            *missing = character;
            return false;
        }
        out += encoded;
    }
    *bytes = out;
    return true;
}

// One pass over one file; the first problem ends it.
class Reader
{
public:
    Reader(const QString& path, Scenario* scenario, const std::atomic<bool>* cancel)
        : m_path(path), m_scenario(scenario), m_cancel(cancel)
    {
    }

    bool run(const QByteArray& json);
    QString error() const { return m_error; }

private:
    bool fail(const QString& key, const QString& what)
    {
        m_error = QStringLiteral("%1: %2: %3").arg(QDir::toNativeSeparators(m_path), key, what);
        return false;
    }
    bool wrongType(const QString& key, const QString& expected, const QJsonValue& value)
    {
        return fail(key, QStringLiteral("expected %1, got %2").arg(expected, ScenarioFile::typeName(value)));
    }
    bool onlyKeys(const QJsonObject& object, const QString& prefix, const QStringList& known);
    bool wholeNumber(const QString& key, const QJsonValue& value, double max, double* number);

    bool readTexts(const QJsonValue& value);
    bool readText(const TextKey& key, const QJsonValue& value);
    bool readRecords(const QJsonValue& value);
    bool readField(const QString& name, const QJsonValue& value);
    bool fixedValue(const QString& key, const RecordLayout::Field& field, const QJsonValue& value,
                    QByteArray* bytes);
    bool readCsv(const QJsonValue& value);
    bool readFaults(const QJsonValue& value);
    bool readReplies(const QJsonValue& value);
    bool readTiming(const QJsonValue& value);
    bool readSamples(const QString& key, const QJsonValue& value, std::vector<double>* samples);
    bool readClockOffset(const QJsonValue& value);
    // A command by its command-line name.
    bool command(const QString& key, const QString& name, std::uint8_t* code);
    bool hexBytes(const QString& key, const QString& text, QByteArray* bytes);

    QString m_path;
    Scenario* m_scenario;
    const std::atomic<bool>* m_cancel;
    QString m_error;
};

bool Reader::onlyKeys(const QJsonObject& object, const QString& prefix, const QStringList& known)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key()))
            return fail(prefix + it.key(),
                        QStringLiteral("unknown key (known: %1)").arg(known.join(QStringLiteral(", "))));
    }
    return true;
}

bool Reader::wholeNumber(const QString& key, const QJsonValue& value, double max, double* number)
{
    if (!value.isDouble())
        return wrongType(key, QStringLiteral("a whole number from 0 to %1").arg(max, 0, 'f', 0), value);
    const double d = value.toDouble();
    if (d != std::floor(d))
        return fail(key, QStringLiteral("%1 is not a whole number").arg(ScenarioFile::numberText(d)));
    if (d < 0 || d > max)
        return fail(
            key,
            QStringLiteral("%1 is outside 0 to %2").arg(ScenarioFile::numberText(d)).arg(max, 0, 'f', 0));
    *number = d;
    return true;
}

bool Reader::run(const QByteArray& json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const QByteArray before = json.left(parseError.offset);
        const int line = before.count('\n') + 1;
        const int column = parseError.offset - (before.lastIndexOf('\n') + 1) + 1;
        m_error = QStringLiteral("%1: line %2, column %3: %4")
                      .arg(QDir::toNativeSeparators(m_path))
                      .arg(line)
                      .arg(column)
                      .arg(parseError.errorString());
        return false;
    }
    if (!document.isObject()) {
        m_error = QStringLiteral("%1: expected a JSON object").arg(QDir::toNativeSeparators(m_path));
        return false;
    }
    const QJsonObject top = document.object();
    if (!onlyKeys(top, QString(),
                  {QStringLiteral("texts"), QStringLiteral("stateful"), QStringLiteral("records"),
                   QStringLiteral("faults"), QStringLiteral("seed"), QStringLiteral("replies"),
                   QStringLiteral("timing"), QStringLiteral("clock_offset_ms"),
                   QStringLiteral("on_dtr_drop")}))
        return false;
    if (top.contains(QLatin1String("on_dtr_drop"))) {
        QString problem;
        const auto stops = ScenarioFile::onDtrDrop(top.value(QLatin1String("on_dtr_drop")), &problem);
        if (!stops)
            return fail(QStringLiteral("on_dtr_drop"), problem);
        m_scenario->stopUploadOnDtrDrop = *stops;
    }
    if (top.contains(QLatin1String("seed"))) {
        double seed = 0;
        if (!wholeNumber(QStringLiteral("seed"), top.value(QLatin1String("seed")), 4294967295.0, &seed))
            return false;
        m_scenario->seed = static_cast<quint32>(seed);
    }
    m_scenario->records.setSeed(m_scenario->seed.value_or(0));
    if (top.contains(QLatin1String("stateful"))) {
        const QJsonValue stateful = top.value(QLatin1String("stateful"));
        if (!stateful.isBool())
            return wrongType(QStringLiteral("stateful"), QStringLiteral("true or false"), stateful);
        m_scenario->unit.setStateful(stateful.toBool());
    }
    if (top.contains(QLatin1String("texts")) && !readTexts(top.value(QLatin1String("texts"))))
        return false;
    if (top.contains(QLatin1String("records")) && !readRecords(top.value(QLatin1String("records"))))
        return false;
    if (top.contains(QLatin1String("replies")) && !readReplies(top.value(QLatin1String("replies"))))
        return false;
    if (top.contains(QLatin1String("timing")) && !readTiming(top.value(QLatin1String("timing"))))
        return false;
    if (top.contains(QLatin1String("clock_offset_ms")) &&
        !readClockOffset(top.value(QLatin1String("clock_offset_ms"))))
        return false;
    return !top.contains(QLatin1String("faults")) || readFaults(top.value(QLatin1String("faults")));
}

bool Reader::readTexts(const QJsonValue& value)
{
    if (!value.isObject())
        return wrongType(QStringLiteral("texts"), QStringLiteral("an object"), value);
    const QJsonObject texts = value.toObject();
    QStringList known;
    for (const TextKey& key : kTextKeys)
        known << QLatin1String(key.key);
    if (!onlyKeys(texts, QStringLiteral("texts."), known))
        return false;
    for (const TextKey& key : kTextKeys) {
        if (texts.contains(QLatin1String(key.key)) && !readText(key, texts.value(QLatin1String(key.key))))
            return false;
    }
    return true;
}

bool Reader::readText(const TextKey& key, const QJsonValue& value)
{
    const QString name = QStringLiteral("texts.") + QLatin1String(key.key);
    if (!value.isString())
        return wrongType(name, QStringLiteral("a text"), value);
    const QString text = value.toString();
    QByteArray bytes;
    if (text.startsWith(QLatin1String("hex:"))) {
        if (!hexBytes(name, text, &bytes))
            return false;
    } else {
        for (const QChar c : text) {
            if (c.category() == QChar::Other_Control)
                return fail(name, QStringLiteral("%1 holds a control character; write such bytes as hex:")
                                      .arg(MessageQuote::of(text)));
        }
        if (key.gb2312) {
            QString missing;
            if (!gb2312Bytes(text, &bytes, &missing))
                return fail(name, QStringLiteral("%1 cannot be written in GB2312: it has no \"%2\" (U+%3)")
                                      .arg(MessageQuote::of(text), missing)
                                      .arg(QString::number(missing.toUcs4().value(0), 16)
                                               .toUpper()
                                               .rightJustified(4, QLatin1Char('0'))));
        } else {
            for (const QChar c : text) {
                if (c.unicode() > 0x7E)
                    return fail(name, QStringLiteral("%1 is not ASCII").arg(MessageQuote::of(text)));
            }
            bytes = text.toLatin1();
        }
    }
    if (bytes.size() > key.maxSize)
        return fail(name, QStringLiteral("%1 is %2 bytes, at most %3")
                              .arg(MessageQuote::of(text))
                              .arg(bytes.size())
                              .arg(key.maxSize));
    m_scenario->unit.setText(key.text, bytes);
    return true;
}

bool Reader::readRecords(const QJsonValue& value)
{
    if (!value.isObject())
        return wrongType(QStringLiteral("records"), QStringLiteral("an object"), value);
    const QJsonObject records = value.toObject();
    if (!onlyKeys(records, QStringLiteral("records."),
                  {QStringLiteral("count"), QStringLiteral("fields"), QStringLiteral("csv")}))
        return false;
    if (records.contains(QLatin1String("count"))) {
        double count = 0;
        if (!wholeNumber(QStringLiteral("records.count"), records.value(QLatin1String("count")),
                         ScenarioFile::kMaxRecordCount, &count))
            return false;
        m_scenario->recordCount = static_cast<int>(count);
    }
    if (records.contains(QLatin1String("fields"))) {
        const QJsonValue fields = records.value(QLatin1String("fields"));
        if (!fields.isObject())
            return wrongType(QStringLiteral("records.fields"), QStringLiteral("an object"), fields);
        const QJsonObject object = fields.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!readField(it.key(), it.value()))
                return false;
        }
    }
    return !records.contains(QLatin1String("csv")) || readCsv(records.value(QLatin1String("csv")));
}

bool Reader::fixedValue(const QString& key, const RecordLayout::Field& field, const QJsonValue& value,
                        QByteArray* bytes)
{
    if (field.encoding == RecordLayout::Encoding::Text) {
        if (!value.isString())
            return wrongType(key, QStringLiteral("a text"), value);
        QString problem;
        if (!RecordCsvFormat::textBytes(value.toString(), field.width, bytes, &problem))
            return fail(key, problem);
        return true;
    }
    double number = 0;
    if (!wholeNumber(key, value, RecordCsvFormat::maxNumber(field.encoding), &number))
        return false;
    *bytes = RecordCsvFormat::numberBytes(field.encoding, static_cast<quint32>(number));
    return true;
}

bool Reader::readField(const QString& name, const QJsonValue& value)
{
    const QString key = QStringLiteral("records.fields.") + name;
    const RecordLayout::Field* field = nullptr;
    QStringList columns;
    for (const RecordLayout::Field& f : RecordLayout::kFields) {
        if (!RecordCsvFormat::hasColumn(f))
            continue;
        columns << QLatin1String(f.csvColumn);
        if (name == QLatin1String(f.csvColumn))
            field = &f;
    }
    if (!field)
        return fail(key,
                    QStringLiteral("no such field (fields: %1)").arg(columns.join(QStringLiteral(", "))));
    if (field->value != RecordLayout::Value::Fixed)
        return fail(key, QStringLiteral("the sequence number and the date are always generated"));

    RecordSource::Rule rule;
    rule.offset = field->offset;
    rule.encoding = field->encoding;
    if (value.isObject()) {
        const QJsonObject range = value.toObject();
        if (field->encoding == RecordLayout::Encoding::Text)
            return fail(key, QStringLiteral("a range needs a number field"));
        if (!onlyKeys(range, key + QLatin1Char('.'), {QStringLiteral("from"), QStringLiteral("to")}))
            return false;
        const double max = RecordCsvFormat::maxNumber(field->encoding);
        double from = 0;
        double to = 0;
        if (!wholeNumber(key + QStringLiteral(".from"), range.value(QLatin1String("from")), max, &from) ||
            !wholeNumber(key + QStringLiteral(".to"), range.value(QLatin1String("to")), max, &to))
            return false;
        if (from > to)
            return fail(key,
                        QStringLiteral("from %1 is above to %2").arg(from, 0, 'f', 0).arg(to, 0, 'f', 0));
        rule.kind = RecordSource::Rule::Kind::Range;
        rule.from = static_cast<quint32>(from);
        rule.to = static_cast<quint32>(to);
    } else if (value.isArray()) {
        const QJsonArray list = value.toArray();
        if (list.isEmpty())
            return fail(key, QStringLiteral("the list is empty"));
        rule.kind = RecordSource::Rule::Kind::List;
        for (int i = 0; i < list.size(); ++i) {
            QByteArray bytes;
            if (!fixedValue(QStringLiteral("%1[%2]").arg(key).arg(i), *field, list.at(i), &bytes))
                return false;
            rule.values << bytes;
        }
    } else {
        QByteArray bytes;
        if (!fixedValue(key, *field, value, &bytes))
            return false;
        rule.kind = RecordSource::Rule::Kind::Fixed;
        rule.values << bytes;
    }
    m_scenario->records.addRule(rule);
    return true;
}

bool Reader::readCsv(const QJsonValue& value)
{
    const QString key = QStringLiteral("records.csv");
    if (!value.isString())
        return wrongType(key, QStringLiteral("a file name"), value);
    const QString name = value.toString();
    const bool control =
        std::any_of(name.begin(), name.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
    if (control || name.size() > kMaxFileNameCharacters)
        return fail(key, QStringLiteral("%1 is not a file name").arg(MessageQuote::of(name)));
    // Relative to the scenario's folder, so a scenario and its CSV travel together.
    const QString path = QDir(QFileInfo(m_path).absolutePath()).filePath(name);

    // One pass over the file as it is read: never whole in memory, as text or as cells, only
    // its records, packed. The first problem is told as if each check ran over the whole file
    // in turn: not UTF-8, then a broken quote, then the header, the row count, a row's cells.
    RecordSource& records = m_scenario->records;
    records.useRows();
    int rowCount = 0;
    bool headerWrong = false;
    QString rowProblem;
    RecordCsvReader csv([&](const RecordCsvFormat::Row& row) {
        if (headerWrong || !rowProblem.isEmpty())
            return; // only the quotes are still looked at
        if (rowCount++ == 0) {
            headerWrong = row.cells.join(QLatin1Char(',')) != RecordCsvFormat::header();
            return;
        }
        if (rowCount - 1 > ScenarioFile::kMaxRecordCount)
            return;
        QByteArray record;
        QString problem;
        if (!RecordCsvFormat::record(row.cells, &record, &problem)) {
            rowProblem = QStringLiteral("%1 row %2 (line %3): %4")
                             .arg(name)
                             .arg(rowCount - 1)
                             .arg(row.line)
                             .arg(problem);
            return;
        }
        records.appendRow(record);
    });
    QTextCodec* utf8 = QTextCodec::codecForName("utf-8");
    QTextCodec::ConverterState state;
    bool first = true;
    bool stopped = false;
    QString problem;
    const bool read = BoundedFile::readChunks(
        path, BoundedFile::kMaxInputBytes,
        [&](const QByteArray& chunk) {
            if (m_cancel && m_cancel->load()) {
                stopped = true;
                return false;
            }
            utf8->toUnicode(chunk.constData(), chunk.size(), &state);
            // The UTF-8 decoder would have left out a byte order mark at the start.
            const int skip = first && chunk.startsWith("\xEF\xBB\xBF") ? 3 : 0;
            first = false;
            csv.feed(chunk.constData() + skip, chunk.size() - skip);
            return true;
        },
        &problem);
    if (!read)
        return fail(key, QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(path), problem));
    if (stopped)
        return fail(key, QStringLiteral("reading %1 was stopped").arg(QDir::toNativeSeparators(path)));
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return fail(key, QStringLiteral("%1 is not UTF-8 text").arg(name));
    if (!csv.finish())
        return fail(key, QStringLiteral("%1 %2").arg(name, csv.problem()));
    if (headerWrong || rowCount == 0)
        return fail(
            key,
            QStringLiteral("%1 line 1: expected the header row %2").arg(name, RecordCsvFormat::header()));
    if (rowCount - 1 > ScenarioFile::kMaxRecordCount)
        return fail(key,
                    QStringLiteral("%1: more than %2 rows").arg(name).arg(ScenarioFile::kMaxRecordCount));
    if (!rowProblem.isEmpty())
        return fail(key, rowProblem);
    records.squeeze();
    return true;
}

bool Reader::readFaults(const QJsonValue& value)
{
    if (!value.isArray())
        return wrongType(QStringLiteral("faults"), QStringLiteral("a list of texts"), value);
    const QJsonArray faults = value.toArray();
    for (int i = 0; i < faults.size(); ++i) {
        if (!faults.at(i).isString())
            return wrongType(QStringLiteral("faults[%1]").arg(i), QStringLiteral("a text"), faults.at(i));
        m_scenario->faults << faults.at(i).toString();
    }
    return true;
}

bool Reader::hexBytes(const QString& key, const QString& text, QByteArray* bytes)
{
    try {
        *bytes = QByteArray::fromStdString(util::hexToBytes(text.mid(4).toUpper().toStdString()));
    } catch (const std::invalid_argument& e) {
        return fail(key,
                    QStringLiteral("%1: %2 after hex:").arg(MessageQuote::of(text), QLatin1String(e.what())));
    }
    return true;
}

bool Reader::command(const QString& key, const QString& name, std::uint8_t* code)
{
    const std::optional<Command> command = commandFromGloss(name);
    if (!command)
        return fail(key, QStringLiteral("no such command (varnel-pc commands lists their names)"));
    *code = toCode(*command);
    return true;
}

bool Reader::readReplies(const QJsonValue& value)
{
    if (!value.isObject())
        return wrongType(QStringLiteral("replies"), QStringLiteral("an object"), value);
    const QJsonObject replies = value.toObject();
    for (auto it = replies.begin(); it != replies.end(); ++it) {
        const QString key = QStringLiteral("replies.") + it.key();
        std::uint8_t code = 0;
        if (!command(key, it.key(), &code))
            return false;
        if (code == toCode(Command::GetFileRecords))
            return fail(key, QStringLiteral("an upload's frames come from records, not from replies"));
        const QString expected = QStringLiteral("\"none\" or \"hex:\" and the content's bytes");
        if (!it.value().isString())
            return wrongType(key, expected, it.value());
        const QString text = it.value().toString();
        UnitState::FixedReply reply;
        if (text == QLatin1String("none")) {
            reply.silent = true;
        } else if (text.startsWith(QLatin1String("hex:"))) {
            if (!hexBytes(key, text, &reply.content))
                return false;
            const int largest =
                ContentCodec::largestContent(*ContentCodec::layoutFor(code, FrameDirection::Response));
            if (reply.content.size() > largest)
                return fail(key, QStringLiteral("%1 is %2 bytes, at most %3")
                                     .arg(MessageQuote::of(text))
                                     .arg(reply.content.size())
                                     .arg(largest));
        } else {
            return fail(key, QStringLiteral("expected %1, got %2").arg(expected, MessageQuote::of(text)));
        }
        m_scenario->unit.setFixedReply(code, reply);
    }
    return true;
}

bool Reader::readSamples(const QString& key, const QJsonValue& value, std::vector<double>* samples)
{
    const QString expected = QStringLiteral("a list of milliseconds from 0 to %1")
                                 .arg(ScenarioFile::numberText(ReplyTiming::kMaxMs));
    if (!value.isArray())
        return wrongType(key, expected, value);
    const QJsonArray list = value.toArray();
    if (list.isEmpty())
        return fail(key, QStringLiteral("the list is empty"));
    if (list.size() > ReplyTiming::kMaxSamples)
        return fail(key,
                    QStringLiteral("%1 samples, at most %2").arg(list.size()).arg(ReplyTiming::kMaxSamples));
    samples->reserve(std::size_t(list.size()));
    for (int i = 0; i < list.size(); ++i) {
        const QString item = QStringLiteral("%1[%2]").arg(key).arg(i);
        if (!list.at(i).isDouble())
            return wrongType(item, QStringLiteral("a number of milliseconds"), list.at(i));
        const double ms = list.at(i).toDouble();
        if (!(ms >= 0 && ms <= ReplyTiming::kMaxMs))
            return fail(
                item, QStringLiteral("%1 is outside 0 to %2")
                          .arg(ScenarioFile::numberText(ms), ScenarioFile::numberText(ReplyTiming::kMaxMs)));
        samples->push_back(ms);
    }
    return true;
}

bool Reader::readTiming(const QJsonValue& value)
{
    if (!value.isObject())
        return wrongType(QStringLiteral("timing"), QStringLiteral("an object"), value);
    const QJsonObject timing = value.toObject();
    for (auto it = timing.begin(); it != timing.end(); ++it) {
        const QString key = QStringLiteral("timing.") + it.key();
        // The upload's pauses, or one command's latencies.
        const bool records = it.key() == QLatin1String("records");
        std::uint8_t code = 0;
        if (!records && !command(key, it.key(), &code))
            return false;
        if (!it.value().isObject())
            return wrongType(key, QStringLiteral("an object"), it.value());
        const QString name = records ? QStringLiteral("interval_ms") : QStringLiteral("latency_ms");
        const QJsonObject entry = it.value().toObject();
        if (!onlyKeys(entry, key + QLatin1Char('.'), {name}))
            return false;
        std::vector<double> samples;
        if (!readSamples(key + QLatin1Char('.') + name, entry.value(name), &samples))
            return false;
        if (records)
            m_scenario->timing.setIntervals(std::move(samples));
        else
            m_scenario->timing.setLatencies(code, std::move(samples));
    }
    return true;
}

bool Reader::readClockOffset(const QJsonValue& value)
{
    const QString key = QStringLiteral("clock_offset_ms");
    const QString range = QStringLiteral("-%1 to %1").arg(kMaxClockOffsetMs, 0, 'f', 0);
    if (!value.isDouble())
        return wrongType(key, QStringLiteral("a whole number from %1").arg(range), value);
    const double ms = value.toDouble();
    if (ms != std::floor(ms))
        return fail(key, QStringLiteral("%1 is not a whole number").arg(ScenarioFile::numberText(ms)));
    if (std::fabs(ms) > kMaxClockOffsetMs)
        return fail(key, QStringLiteral("%1 is outside %2").arg(ScenarioFile::numberText(ms), range));
    m_scenario->unit.setClockOffset(qint64(ms));
    return true;
}

} // namespace

std::optional<bool> ScenarioFile::onDtrDrop(const QJsonValue& value, QString* error)
{
    if (value.isString() && value.toString() == QLatin1String("stop-upload"))
        return true;
    if (value.isString() && value.toString() == QLatin1String("ignore"))
        return false;
    if (error)
        *error = QStringLiteral("expected \"stop-upload\" or \"ignore\", got %1")
                     .arg(value.isString() ? MessageQuote::of(value.toString()) : typeName(value));
    return std::nullopt;
}

QString ScenarioFile::textKey(UnitState::Text text)
{
    for (const TextKey& key : kTextKeys) {
        if (key.text == text)
            return QLatin1String(key.key);
    }
    return QString();
}

QString ScenarioFile::typeName(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("true or false");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a text");
    case QJsonValue::Array:
        return QStringLiteral("a list");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

// A number as the file most likely wrote it: the shortest decimal that reads back to it
// ("12345678.9", not "1.23457e+07"), in exponent form only where plain digits would run long.
QString ScenarioFile::numberText(double value)
{
    if (std::fabs(value) < 1e15)
        return QString::number(value, 'f', QLocale::FloatingPointShortest);
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

bool ScenarioFile::read(const QString& path, Scenario* scenario, QString* error,
                        const std::atomic<bool>* cancel)
{
    QByteArray json;
    QString problem;
    if (!BoundedFile::read(path, BoundedFile::kMaxInputBytes, &json, &problem)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(QDir::toNativeSeparators(path), problem);
        return false;
    }
    return parse(json, path, scenario, error, cancel);
}

bool ScenarioFile::parse(const QByteArray& json, const QString& path, Scenario* scenario, QString* error,
                         const std::atomic<bool>* cancel)
{
    Scenario parsed;
    parsed.path = path;
    Reader reader(path, &parsed, cancel);
    if (!reader.run(json)) {
        *error = reader.error();
        return false;
    }
    *scenario = parsed;
    return true;
}
