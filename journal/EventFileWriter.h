#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class Journal;

// Appends the events of one or more journals to a file as JSON Lines, one whole line per
// event, from a thread of its own: the units never wait for the file. The file may be a FIFO
// (opened once a reader is there). The first write error is reported once, and writing stops;
// a regular file then ends with its last whole line, and a deleted one is such an error.
class EventFileWriter : public QObject
{
    Q_OBJECT

public:
    explicit EventFileWriter(QObject* parent = nullptr);
    ~EventFileWriter() override;

    // Creates or appends to a regular file now (false with the reason in *error); a FIFO is
    // opened by the writer thread when a reader comes. Events of followed journals are written
    // from then on.
    bool open(const QString& path, QString* error);
    // Writes every event of the journal from its next one on. Before open(); the journal must
    // outlive close().
    void follow(Journal* journal);
    // Writes what is still due for at most boundMs, then stops the thread. Idempotent.
    void close(int boundMs = 1000);

    // Events no longer kept by their journal when the writer came to them (a slow reader).
    std::uint64_t missed() const { return m_missed; }

signals:
    // Once, from the writer thread: why the file takes no more events.
    void failed(QString reason);

private:
    struct Cursor
    {
        Journal* journal;
        std::uint64_t written;
    };

    void wake();
    void run();
    bool openFifo();
    bool stillThere();
    bool writeAll(const QByteArray& bytes);
    void fail(const QString& reason);

    QString m_path;
    int m_fd = -1;
    bool m_fifo = false;
    std::vector<Cursor> m_cursors; // fixed once the thread runs
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_pending = false;        // guarded by m_mutex
    bool m_stopping = false;       // guarded by m_mutex
    std::int64_t m_deadlineMs = 0; // guarded by m_mutex: the end of the bound after close()
    std::atomic<bool> m_failed{false};
    std::atomic<std::uint64_t> m_missed{0};
};
