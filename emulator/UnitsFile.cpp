#include "emulator/UnitsFile.h"

#include "emulator/ScenarioLoader.h"
#include "fault/FaultRule.h"
#include "scenario/ScenarioFile.h"
#include "transport/Endpoint.h"
#include "transport/LineTiming.h"
#include "transport/SerialSettings.h"
#include "util/BoundedFile.h"
#include "util/MessageQuote.h"
#include "util/JsonDuplicateKey.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

const QStringList kKeys = {
    QStringLiteral("endpoint"),    QStringLiteral("scenario"), QStringLiteral("records"),
    QStringLiteral("faults"),      QStringLiteral("capture"),  QStringLiteral("baud"),
    QStringLiteral("line_timing"), QStringLiteral("adapter"),  QStringLiteral("on_dtr_drop")};

constexpr double kMaxRecords = 99999999;

// One pass; the first problem ends it.
class Reader
{
public:
    explicit Reader(const QString& path) : m_path(path), m_folder(QFileInfo(path).absoluteDir()) {}

    bool run(const QByteArray& json, std::vector<UnitsFile::Unit>* units);
    const QString& error() const { return m_error; }

private:
    bool fail(const QString& where, const QString& what)
    {
        m_error = QStringLiteral("%1: %2: %3").arg(QDir::toNativeSeparators(m_path), where, what);
        return false;
    }
    bool readUnit(int number, const QJsonValue& value, UnitsFile::Unit* unit);
    bool text(const QString& where, const QJsonValue& value, QString* out);
    QString resolved(const QString& path) const { return QDir::cleanPath(m_folder.absoluteFilePath(path)); }

    QString m_path;
    QDir m_folder;
    QString m_error;
};

bool Reader::text(const QString& where, const QJsonValue& value, QString* out)
{
    if (!value.isString() || value.toString().isEmpty())
        return fail(where, QStringLiteral("expected a text that is not empty, got %1")
                               .arg(value.isString() ? QStringLiteral("an empty text")
                                                     : ScenarioFile::typeName(value)));
    *out = value.toString();
    return true;
}

bool Reader::run(const QByteArray& json, std::vector<UnitsFile::Unit>* units)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(QStringLiteral("offset %1").arg(parseError.offset), parseError.errorString());
    if (!document.isObject())
        return fail(QStringLiteral("top"), QStringLiteral("expected a JSON object"));
    const QString repeated = JsonDuplicateKey::find(json);
    if (!repeated.isEmpty())
        return fail(repeated, QStringLiteral("the key is given twice"));
    const QJsonObject top = document.object();
    for (auto it = top.begin(); it != top.end(); ++it)
        if (it.key() != QLatin1String("units"))
            return fail(it.key(), QStringLiteral("unknown key (known: units)"));
    const QJsonValue list = top.value(QLatin1String("units"));
    if (!list.isArray())
        return fail(QStringLiteral("units"),
                    QStringLiteral("expected a list of units, got %1").arg(ScenarioFile::typeName(list)));
    const QJsonArray array = list.toArray();
    if (array.isEmpty())
        return fail(QStringLiteral("units"), QStringLiteral("the list is empty"));
    if (array.size() > UnitsFile::kMaxUnits)
        return fail(QStringLiteral("units"),
                    QStringLiteral("%1 units, at most %2").arg(array.size()).arg(UnitsFile::kMaxUnits));
    std::vector<UnitsFile::Unit> read(std::size_t(array.size()));
    QHash<QString, int> taken; // a line's key: the unit that has it
    for (int i = 0; i < array.size(); ++i) {
        if (!readUnit(i + 1, array.at(i), &read[std::size_t(i)]))
            return false;
        // Two units cannot share a port; port 0 is a fresh one each time.
        Endpoint mine;
        Endpoint::parse(read[std::size_t(i)].endpoint, &mine, nullptr);
        const QStringList keys = mine.lineKeys();
        for (const QString& key : keys)
            if (taken.contains(key))
                return fail(QStringLiteral("unit %1: endpoint").arg(i + 1),
                            QStringLiteral("%1 is unit %2's already").arg(mine.text()).arg(taken.value(key)));
        for (const QString& key : keys)
            taken.insert(key, i + 1);
    }
    *units = std::move(read);
    return true;
}

bool Reader::readUnit(int number, const QJsonValue& value, UnitsFile::Unit* unit)
{
    const QString where = QStringLiteral("unit %1").arg(number);
    if (!value.isObject())
        return fail(where, QStringLiteral("expected an object, got %1").arg(ScenarioFile::typeName(value)));
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!kKeys.contains(it.key()))
            return fail(where + QStringLiteral(": ") + it.key(),
                        QStringLiteral("unknown key (known: %1)").arg(kKeys.join(QStringLiteral(", "))));
    const auto key = [&](const char* name) { return where + QStringLiteral(": ") + QLatin1String(name); };

    if (!object.contains(QLatin1String("endpoint")))
        return fail(key("endpoint"), QStringLiteral("missing"));
    if (!text(key("endpoint"), object.value(QLatin1String("endpoint")), &unit->endpoint))
        return false;
    QString problem;
    if (!Endpoint::parse(unit->endpoint, nullptr, &problem))
        return fail(key("endpoint"), problem);

    if (object.contains(QLatin1String("scenario"))) {
        QString path;
        if (!text(key("scenario"), object.value(QLatin1String("scenario")), &path))
            return false;
        path = resolved(path);
        if (!ScenarioFile::read(path, &unit->scenario, &problem) ||
            !ScenarioLoader::check(unit->scenario, &problem))
            return fail(key("scenario"), problem);
        unit->scenarioPath = path;
    }
    if (object.contains(QLatin1String("records"))) {
        const QJsonValue records = object.value(QLatin1String("records"));
        const double d = records.toDouble(-1);
        if (!records.isDouble() || d != std::floor(d) || d < 0 || d > kMaxRecords)
            return fail(key("records"), QStringLiteral("expected a whole number from 0 to 99999999, got %1")
                                            .arg(records.isDouble() ? ScenarioFile::numberText(d)
                                                                    : ScenarioFile::typeName(records)));
        unit->records = int(d);
    }
    if (object.contains(QLatin1String("faults"))) {
        const QJsonValue faults = object.value(QLatin1String("faults"));
        if (!faults.isArray())
            return fail(
                key("faults"),
                QStringLiteral("expected a list of rules, got %1").arg(ScenarioFile::typeName(faults)));
        QStringList rules;
        const QJsonArray array = faults.toArray();
        for (int i = 0; i < array.size(); ++i) {
            const QString at = QStringLiteral("%1[%2]").arg(key("faults")).arg(i);
            if (!array.at(i).isString())
                return fail(
                    at,
                    QStringLiteral("expected a rule text, got %1").arg(ScenarioFile::typeName(array.at(i))));
            if (!FaultRule::parse(array.at(i).toString(), &problem))
                return fail(at, problem);
            rules << array.at(i).toString();
        }
        unit->faults = rules;
    }
    if (object.contains(QLatin1String("capture"))) {
        QString path;
        if (!text(key("capture"), object.value(QLatin1String("capture")), &path))
            return false;
        unit->capture = resolved(path);
    }
    if (object.contains(QLatin1String("baud"))) {
        QString baud;
        const QJsonValue value = object.value(QLatin1String("baud"));
        // A number is taken as its text, as on the command line.
        if (value.isDouble())
            baud = ScenarioFile::numberText(value.toDouble());
        else if (!text(key("baud"), value, &baud))
            return false;
        const QString refusal = SerialSettings::refusal(SerialSettings::choices().first(), baud);
        if (!refusal.isEmpty())
            return fail(key("baud"), refusal);
        unit->baud = baud;
    }
    if (object.contains(QLatin1String("line_timing"))) {
        const QJsonValue value = object.value(QLatin1String("line_timing"));
        if (value.isBool())
            unit->lineTiming = value.toBool() ? QString() : QStringLiteral("off");
        else if (value.isString() && value.toString() == QLatin1String("both"))
            unit->lineTiming = value.toString();
        else
            return fail(key("line_timing"), QStringLiteral("expected true, false or \"both\", got %1")
                                                .arg(value.isString() ? MessageQuote::of(value.toString())
                                                                      : ScenarioFile::typeName(value)));
    }
    if (object.contains(QLatin1String("adapter"))) {
        QString adapter;
        if (!text(key("adapter"), object.value(QLatin1String("adapter")), &adapter))
            return false;
        LineTiming timing;
        if (!LineTiming::parseAdapter(adapter, &timing, &problem))
            return fail(key("adapter"), problem);
        unit->adapter = adapter;
    }
    if (object.contains(QLatin1String("on_dtr_drop"))) {
        const auto stops = ScenarioFile::onDtrDrop(object.value(QLatin1String("on_dtr_drop")), &problem);
        if (!stops)
            return fail(key("on_dtr_drop"), problem);
        unit->stopUploadOnDtrDrop = *stops;
    }
    return true;
}

} // namespace

bool UnitsFile::read(const QString& path, std::vector<Unit>* units, QString* error)
{
    QByteArray json;
    if (!BoundedFile::read(path, BoundedFile::kMaxInputBytes, &json, error))
        return false;
    return parse(json, path, units, error);
}

bool UnitsFile::parse(const QByteArray& json, const QString& path, std::vector<Unit>* units, QString* error)
{
    Reader reader(path);
    if (reader.run(json, units))
        return true;
    if (error)
        *error = reader.error();
    return false;
}
