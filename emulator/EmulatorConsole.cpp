#include "emulator/EmulatorConsole.h"

#include "emulator/ScenarioReadJob.h"
#include "emulator/UnitHost.h"
#include "emulator/UnitSession.h"
#include "fault/FaultRules.h"
#include "log/Log.h"
#include "log/LogContext.h"
#include "log/LogFileWriter.h"
#include "log/LogManager.h"
#include "unit/EmulatedUnit.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

EmulatorConsole::EmulatorConsole(UnitHost* host, LogManager* log, QObject* parent)
    : QObject(parent), m_host(host), m_log(log)
{
}

void EmulatorConsole::watchStandardInput()
{
    m_stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_stdinNotifier, &QSocketNotifier::activated, this, &EmulatorConsole::readStandardInput);
}

EmulatorConsole::~EmulatorConsole()
{
    m_scenarioRead.reset();
    writePendingLines();
}

void EmulatorConsole::slot_logAdded(QString log)
{
    m_pendingLines.append(log);
    if (m_pendingLines.size() == 1)
        scheduleWrite();
    else if (m_pendingLines.size() >= kMaxPendingLines) // a long turn's lines are not all held
        writePendingLines();
}

void EmulatorConsole::writePendingLines()
{
    // Taken first: a line logged by a write below lands in the next batch, in order. The
    // batch's last line flushes both streams.
    const QStringList lines = takePendingLines();
    for (const QString& log : lines)
        writeLine(log, "EmulatorConsole::slot_logAdded", __LINE__);
}

void EmulatorConsole::answer(const QStringList& lines)
{
    writePendingLines();
    for (const QString& text : lines)
        writeLine(LogManager::paneLine(text), "EmulatorConsole::answer", __LINE__);
}

void EmulatorConsole::scheduleWrite()
{
    // A zero timer rather than a posted call: it needs no wake-up of the event loop, which is
    // about to look at its timers anyway.
    if (!m_writeTimer.isSingleShot()) {
        m_writeTimer.setSingleShot(true);
        m_writeTimer.setInterval(0);
        connect(&m_writeTimer, &QTimer::timeout, this, &EmulatorConsole::writePendingLines);
    }
    m_writeTimer.start();
}

QStringList EmulatorConsole::takePendingLines()
{
    QStringList lines = std::exchange(m_pendingLines, {});
    m_unflushedLines = lines.size();
    if (m_unflushedLines > 0)
        LogFileWriter::instance()->beginBatch();
    return lines;
}

void EmulatorConsole::writeLine(const QString& paneLine, const char* function, int line)
{
    const QByteArray bytes = paneLine.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
    LogFileWriter::instance()->write(2, __FILE__, function, line, 0, "%s", bytes.constData());
    // One flush per stream for a batch, by its last line; a line on its own flushes itself.
    if (m_unflushedLines > 0 && --m_unflushedLines > 0)
        return;
    std::fflush(stdout);
    LogFileWriter::instance()->endBatch();
}

void EmulatorConsole::readStandardInput()
{
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        // End of input is not a quit: the emulator keeps serving.
        m_stdinNotifier->setEnabled(false);
        return;
    }
    m_pending.append(buffer, static_cast<int>(n));
    runPendingCommands();
}

void EmulatorConsole::runPendingCommands()
{
    int end;
    while (!m_scenarioRead && (end = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.left(end)).trimmed();
        m_pending.remove(0, end + 1);
        runCommand(line);
    }
}

bool EmulatorConsole::isRecordCount(const QString& text)
{
    // The same rule as the record-count field: up to eight digits.
    static const QRegularExpression digits(QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{1,8}")));
    return digits.match(text).hasMatch();
}

void EmulatorConsole::runCommand(const QString& line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return;
    // What the command logs shows now, even when it repeats the line of the same command typed before.
    m_log->breakRepeatRun();
    if (words.first() == QLatin1String("unit")) {
        bool valid = false;
        const int id = words.size() >= 3 ? words.at(1).toInt(&valid, 10) : 0;
        UnitSession* session = valid ? m_host->session(id) : nullptr;
        if (!session) {
            std::fprintf(stderr, "unit: expected \"unit N COMMAND\" with N from %d to %d, got \"%s\"\n",
                         m_host->firstUnit(), m_host->lastUnit(), qPrintable(line));
            return;
        }
        // The rest of the line as typed, so a scenario path keeps its spaces.
        const QString rest =
            line.trimmed().mid(words.at(0).size()).trimmed().mid(words.at(1).size()).trimmed();
        runUnitCommand(session, id, rest);
        return;
    }
    if (words.first() == QLatin1String("quit") && words.size() == 1) {
        shutdown();
        return;
    }
    if (words.first() == QLatin1String("scenario") && words.size() >= 2) {
        // Read once for every unit.
        readScenario(line.trimmed().mid(words.first().size()).trimmed(), 0);
        return;
    }
    // Refused for the first unit, it is refused for all: said once.
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        if (!runUnitCommand(m_host->session(id), id, line))
            break;
}

bool EmulatorConsole::runUnitCommand(UnitSession* session, int id, const QString& line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return true;
    const LogContext::Scope unitScope(session->logPrefix());
    // Several units: an answer says whose it is, as their log lines do.
    const auto answer = [&](QStringList lines) {
        for (QString& text : lines)
            text.prepend(session->logPrefix());
        this->answer(lines);
    };
    const QString& verb = words.first();
    if (verb == QLatin1String("stop") && words.size() == 1) {
        EmulatedUnit* unit = session->unit();
        const bool uploading = unit->isUploading();
        unit->stopUpload();
        answer({uploading ? QStringLiteral("stop: the upload ends at the next record")
                          : QStringLiteral("stop: no upload is running")});
    } else if (verb == QLatin1String("records") && words.size() == 2) {
        if (!isRecordCount(words.at(1))) {
            std::fprintf(stderr, "records: expected 1 to 8 digits, got \"%s\"\n", qPrintable(words.at(1)));
            return false;
        }
        const int count = words.at(1).toInt(nullptr, 10);
        session->unit()->setRecordCount(count);
        const QString taken = session->unit()->csvRowsTaken();
        answer({taken.isEmpty() ? QStringLiteral("records per upload: %1").arg(count)
                                : QStringLiteral("records per upload: %1 (%2)").arg(count).arg(taken)});
    } else if (verb == QLatin1String("fault") && words.size() == 2 && words.at(1) == QLatin1String("clear")) {
        session->faults()->clear(); // logs "fault rules cleared"
    } else if (verb == QLatin1String("fault") && words.size() == 2) {
        QString problem;
        if (!session->faults()->addRule(words.at(1), &problem)) {
            std::fprintf(stderr, "%s\n", qPrintable(problem));
            return false;
        }
    } else if (verb == QLatin1String("faults") && words.size() == 1) {
        answer(session->faults()->listing());
    } else if (verb == QLatin1String("scenario") && words.size() >= 2) {
        // The rest of the line, so a path may hold spaces.
        readScenario(line.trimmed().mid(verb.size()).trimmed(), id);
    } else if (verb == QLatin1String("state") && words.size() == 1) {
        answer({QString::fromUtf8(
            QJsonDocument(session->recordedState()->toJson()).toJson(QJsonDocument::Compact))});
    } else if (verb == QLatin1String("state") && words.size() == 2 && words.at(1) == QLatin1String("reset")) {
        session->reset();
        answer({QStringLiteral("state: cleared")});
    } else if (verb == QLatin1String("journal") && words.size() <= 2) {
        int count = kDefaultJournalLines;
        if (words.size() == 2) {
            if (!isRecordCount(words.at(1)) || words.at(1).toInt(nullptr, 10) == 0) {
                std::fprintf(stderr, "journal: expected 1 to 8 digits, not 0, got \"%s\"\n",
                             qPrintable(words.at(1)));
                return false;
            }
            count = words.at(1).toInt(nullptr, 10);
        }
        QStringList lines;
        for (const JournalEvent& event : session->journal()->last(std::size_t(count)))
            lines << QString::fromUtf8(QJsonDocument(event.toJson()).toJson(QJsonDocument::Compact));
        if (lines.isEmpty())
            lines << QStringLiteral("journal: no events");
        answer(lines);
    } else {
        std::fprintf(stderr,
                     "unknown command \"%s\" (commands: stop, records N, fault RULE, fault clear, faults, "
                     "scenario FILE, state, state reset, journal [N], quit)\n",
                     qPrintable(line));
        return false;
    }
    return true;
}

void EmulatorConsole::readScenario(const QString& path, int id)
{
    m_scenarioUnit = id;
    m_scenarioRead = std::make_unique<ScenarioReadJob>(path);
    connect(m_scenarioRead.get(), &ScenarioReadJob::finished, this, &EmulatorConsole::scenarioRead);
    markScenarioRead(true);
    m_scenarioRead->start();
}

void EmulatorConsole::markScenarioRead(bool reading)
{
    const int first = m_scenarioUnit > 0 ? m_scenarioUnit : m_host->firstUnit();
    const int last = m_scenarioUnit > 0 ? m_scenarioUnit : m_host->lastUnit();
    for (int id = first; id <= last; ++id)
        reading ? m_host->session(id)->beginScenarioRead() : m_host->session(id)->endScenarioRead();
}

void EmulatorConsole::scenarioRead()
{
    // Inside its own signal: it goes when the event loop gets back.
    ScenarioReadJob* job = m_scenarioRead.release();
    job->deleteLater();
    QString error = job->error();
    bool taken = job->isOk();
    // Refused for one unit, it is refused for the rest: said once. Loaded, it logs "加载场景: FILE".
    // Units numbered from --first-unit are every unit too.
    const int first = m_scenarioUnit > 0 ? m_scenarioUnit : m_host->firstUnit();
    const int last = m_scenarioUnit > 0 ? m_scenarioUnit : m_host->lastUnit();
    for (int id = first; taken && id <= last; ++id)
        taken = m_host->applyScenario(id, job->scenario(), &error);
    markScenarioRead(false);
    if (!taken)
        std::fprintf(stderr, "scenario: %s (the active scenario stays)\n", qPrintable(error));
    runPendingCommands();
}

void EmulatorConsole::shutdown()
{
    if (m_scenarioRead) {
        m_scenarioRead.reset(); // a read still going is stopped
        markScenarioRead(false);
    }
    emit shutting_down();
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        m_host->session(id)->unit()->stopUpload();
    m_host->shutdown();
    VLOG(1, QStringLiteral("关闭串口"));
    writePendingLines();
    QCoreApplication::quit();
}
