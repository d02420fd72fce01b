#include "tools/varnel-pc/LearnCommand.h"

#include "capture/CaptureReader.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/FrameExtractor.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "tools/varnel-pc/ConsoleText.h"
#include "tools/varnel-pc/UnitLearner.h"
#include "util/BoundedFile.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <array>
#include <ostream>

namespace {

// The order a person reads a learned unit in; any other key follows.
const char* const kKeyOrder[] = {"texts", "stateful", "clock_offset_ms", "records", "replies", "timing"};

QByteArray compact(const QJsonValue& value)
{
    // A document holds an object or a list; a plain value is taken out of a list of one.
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

QByteArray keyText(const QString& key)
{
    return compact(QJsonValue(key));
}

} // namespace

LearnCommand::LearnCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

QString LearnCommand::usage() const
{
    return QStringLiteral(
        "  learn [--out DIR] [--name NAME] [--report FILE.json] CAPTURE...\n"
        "      learn the unit of one or more captures of its line: write DIR/NAME.json, a\n"
        "      scenario for varnel-emu --scenario, and DIR/NAME-records.csv when they hold an\n"
        "      upload; print per command what was learned, the texts, the clock, the records\n"
        "      and the reply timing\n"
        "  learn --check CAPTURE LEARNED.json\n"
        "      list the requests of a capture the learned unit cannot vouch for: their command,\n"
        "      or the set before a get, was not seen while learning (exit 4 when there are any)\n"
        "  --out DIR          the folder to write to (default: the current one)\n"
        "  --name NAME        the scenario's file name without .json (default learned)\n"
        "  --report FILE      also write the report as JSON to FILE\n");
}

int LearnCommand::run(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption out(QStringLiteral("out"), QString(), QStringLiteral("DIR"),
                                 QStringLiteral("."));
    const QCommandLineOption name(QStringLiteral("name"), QString(), QStringLiteral("NAME"),
                                  QStringLiteral("learned"));
    const QCommandLineOption report(QStringLiteral("report"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption checkOption(QStringLiteral("check"));
    parser.addOptions({out, name, report, checkOption});
    if (!parser.parse(QStringList{QStringLiteral("learn")} + args)) {
        ConsoleText::usageError(m_err, "learn", parser.errorText());
        return UsageError;
    }
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(checkOption)) {
        if (parser.isSet(out) || parser.isSet(name) || parser.isSet(report) || positional.size() != 2) {
            ConsoleText::usageError(m_err, "learn",
                                    QStringLiteral("--check takes CAPTURE LEARNED.json only"));
            return UsageError;
        }
        m_captures = QStringList{positional.at(0)};
        m_scenarioPath = positional.at(1);
        return check();
    }
    if (positional.isEmpty()) {
        ConsoleText::usageError(m_err, "learn", QStringLiteral("expected one or more CAPTURE files"));
        return UsageError;
    }
    m_name = parser.value(name);
    if (m_name.isEmpty() || m_name.contains(QLatin1Char('/')) || m_name.contains(QLatin1Char('\\')) ||
        m_name == QLatin1String(".") || m_name == QLatin1String("..")) {
        ConsoleText::usageError(
            m_err, "learn",
            QStringLiteral("--name \"%1\" is no file name (no folder, no slash)").arg(m_name));
        return UsageError;
    }
    m_outDir = parser.value(out);
    m_reportPath = parser.value(report);
    m_captures = positional;
    return learn();
}

bool LearnCommand::write(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    ConsoleText::write(
        m_err, QStringLiteral("varnel-pc learn: cannot write %1: %2\n").arg(path, file.errorString()));
    return false;
}

int LearnCommand::learn()
{
    if (!QDir().mkpath(m_outDir)) {
        ConsoleText::write(m_err,
                           QStringLiteral("varnel-pc learn: cannot make the folder %1\n").arg(m_outDir));
        return Failure;
    }
    const QDir dir(m_outDir);
    const QString csvName = m_name + QStringLiteral("-records.csv");
    const QString scenarioPath = dir.filePath(m_name + QStringLiteral(".json"));
    UnitLearner learner(dir.filePath(csvName));
    for (const QString& capture : m_captures) {
        if (!learner.learn(capture)) {
            ConsoleText::write(m_err, QStringLiteral("varnel-pc learn: %1\n").arg(learner.error()));
            // A capture that is not one of this line is the caller's mistake; a file that
            // would not take the records is the system's.
            return learner.error().startsWith(QStringLiteral("cannot write")) ? Failure : UsageError;
        }
    }
    if (!learner.finish()) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc learn: %1\n").arg(learner.error()));
        return Failure;
    }
    const QJsonObject report = learner.report();
    QJsonObject scenario = learner.scenario(csvName);
    if (!write(scenarioPath, scenarioText(scenario)))
        return Failure;
    // What was written must load as any scenario does; a CSV too large for a scenario is said so.
    const qint64 csvSize = learner.hasRecords() ? QFileInfo(dir.filePath(csvName)).size() : 0;
    if (csvSize > BoundedFile::kMaxInputBytes)
        scenario.remove(QStringLiteral("records"));
    Scenario loaded;
    QString problem;
    if (!ScenarioFile::parse(QJsonDocument(scenario).toJson(), scenarioPath, &loaded, &problem)) {
        ConsoleText::write(
            m_err, QStringLiteral("varnel-pc learn: the learned scenario does not load: %1\n").arg(problem));
        return Failure;
    }
    if (!m_reportPath.isEmpty() &&
        !write(m_reportPath, QJsonDocument(report).toJson(QJsonDocument::Indented)))
        return Failure;
    QString wrote = QStringLiteral("wrote %1").arg(QDir::toNativeSeparators(scenarioPath));
    if (learner.hasRecords())
        wrote += QStringLiteral(" and %1").arg(QDir::toNativeSeparators(dir.filePath(csvName)));
    if (csvSize > BoundedFile::kMaxInputBytes)
        wrote += QStringLiteral(
                     "; the CSV is %1 bytes, over the %2 a scenario reads: cut it down before serving it")
                     .arg(csvSize)
                     .arg(BoundedFile::kMaxInputBytes);
    ConsoleText::write(m_out, learner.reportText() + wrote + QLatin1Char('\n'));
    m_out.flush();
    return Success;
}

QByteArray LearnCommand::scenarioText(const QJsonObject& scenario)
{
    QStringList keys;
    for (const char* key : kKeyOrder) {
        if (scenario.contains(QLatin1String(key)))
            keys << QLatin1String(key);
    }
    for (const QString& key : scenario.keys()) {
        if (!keys.contains(key))
            keys << key;
    }
    QByteArray out = "{\n";
    for (int i = 0; i < keys.size(); ++i) {
        const QJsonValue value = scenario.value(keys.at(i));
        out += "  " + keyText(keys.at(i)) + ": ";
        if (keys.at(i) == QLatin1String("timing") && value.isObject() && !value.toObject().isEmpty()) {
            // One command a line.
            const QJsonObject timing = value.toObject();
            out += "{\n";
            for (auto it = timing.begin(); it != timing.end(); ++it)
                out += "    " + keyText(it.key()) + ": " + compact(it.value()) +
                       (std::next(it) == timing.end() ? "\n" : ",\n");
            out += "  }";
        } else {
            out += compact(value);
        }
        out += i + 1 < keys.size() ? ",\n" : "\n";
    }
    return out + "}\n";
}

int LearnCommand::check()
{
    Scenario scenario;
    QString problem;
    if (!ScenarioFile::read(m_scenarioPath, &scenario, &problem)) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc learn: %1\n").arg(problem));
        return UsageError;
    }
    // Whether the unit keeps what is set was decided only when the file says so either way.
    QByteArray json;
    BoundedFile::read(m_scenarioPath, BoundedFile::kMaxInputBytes, &json, &problem);
    const bool statefulKnown = QJsonDocument::fromJson(json).object().contains(QStringLiteral("stateful"));
    // A command was seen while learning when it was answered (its latencies) or never (a reply of none).
    const auto seen = [&scenario](std::uint8_t code) {
        return !scenario.timing.latencies(code).empty() || scenario.unit.fixedReply(code) != nullptr;
    };
    std::array<bool, CommandCatalogue::kCount + 1> setSent{};
    std::uint64_t requests = 0;
    std::uint64_t unvouched = 0;
    CaptureReader reader;
    const QString capture = m_captures.first();
    const bool read = reader.read(capture, [&](const CapturePacket& packet) {
        if (packet.direction != CapturePacket::Direction::PcToUnit)
            return true;
        ++requests;
        QByteArray bytes = packet.bytes;
        const ExtractionResult cut = FrameExtractor::extract(bytes, FrameExtractor::Incomplete::GiveUp);
        if (cut.frames.size() != 1 || cut.frames.front().raw != packet.bytes)
            return true; // no frame: no unit answers it, the emulator neither
        const std::uint8_t code = cut.frames.front().command;
        setSent[code] = true;
        const std::uint8_t before = UnitLearner::setBefore(code);
        QString why;
        if (!seen(code))
            why = QStringLiteral("not seen while learning: the emulator's default");
        else if (before && setSent[before] && !seen(before))
            why = QStringLiteral("after %1, which was not seen while learning").arg(commandGloss(before));
        else if (before && setSent[before] && !statefulKnown)
            why = QStringLiteral("after %1; whether the unit keeps what is set was not seen while learning")
                      .arg(commandGloss(before));
        if (!why.isEmpty()) {
            ++unvouched;
            ConsoleText::write(m_out,
                               QStringLiteral("#%1 %2: %3\n").arg(requests).arg(commandGloss(code), why));
        }
        return true;
    });
    if (!read) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc learn: %1: %2\n").arg(capture, reader.error()));
        return UsageError;
    }
    ConsoleText::write(m_out, QStringLiteral("check: %1 requests, %2 vouched for, %3 not\n")
                                  .arg(requests)
                                  .arg(requests - unvouched)
                                  .arg(unvouched));
    m_out.flush();
    return unvouched ? int(NotVouched) : int(Success);
}
