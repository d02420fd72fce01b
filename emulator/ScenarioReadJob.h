#pragma once

#include "scenario/Scenario.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <thread>

// Reads and checks a scenario file on a thread of its own at a lower priority, so a large
// records.csv never holds up the units' thread, which only takes the result over. `finished`
// comes on the thread that started it; the job going first stops the reading and waits for it.
class ScenarioReadJob : public QObject
{
    Q_OBJECT

public:
    explicit ScenarioReadJob(const QString& path, QObject* parent = nullptr);
    ~ScenarioReadJob() override;

    void start();
    // A scenario's JSON that came without a file (`name` stands for its path), read and checked
    // the same way while the caller (a request's thread) waits; `cancel` stops it.
    static bool parse(const QByteArray& json, const QString& name, Scenario* scenario, QString* error,
                      const std::atomic<bool>* cancel);
    QString path() const { return m_path; }
    // After finished: whether the file was taken, and what was read or why it was refused.
    bool isOk() const { return m_ok; }
    const Scenario& scenario() const { return m_scenario; }
    QString error() const { return m_error; }

signals:
    void finished();

private:
    void done();

    QString m_path;
    // Written by the thread, read after it was joined.
    Scenario m_scenario;
    QString m_error;
    bool m_ok = false;
    std::atomic<bool> m_cancel{false};
    std::thread m_thread;
};
