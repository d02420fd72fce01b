#include "emulator/ScenarioReadJob.h"

#include "emulator/ScenarioLoader.h"
#include "scenario/ScenarioFile.h"

#include <QMetaObject>

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
