#include "emulator/ScenarioReadJob.h"

#include "emulator/ScenarioLoader.h"
#include "scenario/ScenarioFile.h"

#include <QMetaObject>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// Enough for the units' thread to win the CPU whenever it wants it, not so low that a busy
// machine starves the reading for minutes.
constexpr int kReadNice = 5;

// Reading is the units' thread's lesser: on a busy machine it takes what that thread leaves.
// A thread of its own, as a lowered priority cannot be raised again.
void lowerThisThread()
{
#ifdef Q_OS_LINUX
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kReadNice);
#endif
}

} // namespace

ScenarioReadJob::ScenarioReadJob(const QString& path, QObject* parent) : QObject(parent), m_path(path) {}

ScenarioReadJob::~ScenarioReadJob()
{
    m_cancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

void ScenarioReadJob::start()
{
    m_thread = std::thread([this] {
        lowerThisThread();
        m_ok = ScenarioFile::read(m_path, &m_scenario, &m_error, &m_cancel) &&
               ScenarioLoader::check(m_scenario, &m_error);
        // Queued to this object: a job destroyed first has joined this thread and drops the call.
        QMetaObject::invokeMethod(this, &ScenarioReadJob::done, Qt::QueuedConnection);
    });
}

void ScenarioReadJob::done()
{
    // The thread has handed over its result; joined, its writes are seen here.
    if (m_thread.joinable())
        m_thread.join();
    emit finished();
}

bool ScenarioReadJob::parse(const QByteArray& json, const QString& name, Scenario* scenario, QString* error,
                            const std::atomic<bool>* cancel)
{
    bool ok = false;
    std::thread reader([&] {
        lowerThisThread();
        ok = ScenarioFile::parse(json, name, scenario, error, cancel) &&
             ScenarioLoader::check(*scenario, error);
    });
    reader.join();
    return ok;
}
