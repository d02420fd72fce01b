#pragma once

#include "protocol/UnitReply.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>

class LineWriter;

// One answer to a file-record request: a start frame, one data frame per step and an end
// frame, paced by a timer on the owner thread's event loop instead of nested event loops,
// so a modal dialog or a quit never holds it up.
class RecordUploadJob : public QObject
{
    Q_OBJECT

public:
    // One frame of the upload: its kind, its record number (data frames) and content.
    using Sender = std::function<void(UnitReply::Kind kind, std::uint32_t sequence, std::string content)>;
    // The data-frame content of the record with this sequence number (from 1).
    using RecordMaker = std::function<std::string(std::uint32_t sequence)>;
    // The writer the upload goes out through, or nullptr when no line is open.
    using LineFinder = std::function<LineWriter*()>;

    // `sending` is the unit's flag: cleared by a stop and by the end of any upload.
    RecordUploadJob(const QString& portName, int count, bool& sending, Sender send, RecordMaker make,
                    LineFinder line, QObject* parent = nullptr);

    static constexpr int kFramePauseMs = 10;

    // The pause after a frame, counted from its hand-over, given the kind of frame handed over
    // and kFramePauseMs in nanoseconds; without one every pause is kFramePauseMs.
    using Pause = std::function<qint64(UnitReply::Kind handedOver, qint64 minimumNs)>;
    void setPause(Pause pause) { m_pause = std::move(pause); }
    // An upload whose line has written nothing for this long (the PC side stopped reading)
    // ends with a line that says so.
    static constexpr int kStalledLineMs = 5000;

    void start();
    // A nested upload runs meanwhile; this one holds still until resumed.
    void suspend();
    void resume();
    // A stop should not wait for the line to drain.
    void wake();
    // Ends at once as a stop would: the remaining checks and the end frame, no pauses.
    void endNow();
    bool isFinished() const { return m_phase == Phase::Done; }
    // Records handed over so far, and how many the start frame announced.
    int sentCount() const { return m_index; }
    int announcedCount() const { return m_count; }
    // How a finished upload ended: "complete", "stopped" (a stop), "ended" (ended at once:
    // a fault's cut or the orderly end), "line-closed", "line-stalled" (the PC side stopped
    // reading); empty while it runs.
    QString endReason() const { return m_endReason; }

signals:
    void progress(int sent, int total, double recordsPerSecond);
    void finished();

private:
    enum class Phase
    {
        Pause,
        Drain,
        Done
    };

    // Hands a frame to the port; the pause that follows it is counted from here.
    void handOver(UnitReply::Kind kind, std::uint32_t sequence, const std::string& frame);
    void pause();
    void onTimer();
    void drainThenStep();
    void step();
    void finish();
    void stopWaitingForDrain();
    void reportProgress(bool force);
    LineWriter* openWriter() const;

    QString m_portName;
    int m_count;
    int m_index = 0;
    bool& m_sending;
    Sender m_send;
    RecordMaker m_make;
    LineFinder m_line;
    Pause m_pause;
    Phase m_phase = Phase::Pause;
    bool m_suspended = false;
    bool m_dataLineLogged = false;
    bool m_endedAtOnce = false;
    QString m_endReason;
    QTimer m_timer;
    QDeadlineTimer m_pauseEnd;
    QMetaObject::Connection m_drainConnection;
    QElapsedTimer m_started;
    QElapsedTimer m_lastProgress;
    QElapsedTimer m_drainStalled; // since the line last took a byte while draining
    qint64 m_drainPending = 0;
};
