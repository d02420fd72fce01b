#pragma once

#include "scenario/RecordSource.h"
#include "scenario/UnitState.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class EmulatedUnit;

// The window's emulated unit, reached process-wide: a facade over the one EmulatedUnit the
// window's session answers with. Tools with sessions of their own use those.
class SetupService : public QObject
{
    Q_OBJECT

public:
    static SetupService* instance();

    EmulatedUnit* unit() const { return m_unit; }

    static int maxSendRecordCount();
    bool isSending() const;
    bool isUploading() const;

    void waitProcessingEvents(int ms);

    // Ends every running upload at once, as the stop button would: each sends its end frame.
    void endUploads();

    // What the gets answer and where the records come from from now on; a running upload
    // keeps the records it began with.
    void setScenario(const UnitState& unit, const RecordSource& records);
    const UnitState& unitState() const;

signals:
    void recv_base_setup_rsp(QString portName, unsigned char cmd, QByteArray recvData);
    void recv_advance_setup_rsp(QString portName, unsigned char cmd, QByteArray recvData);
    // From the running upload, a few times a second and at its last record.
    void upload_progress(int sent, int total, double recordsPerSecond);
    // No upload runs any more.
    void upload_ended();

public slots:
    void slot_recvData(QString portName, unsigned char cmd, QByteArray data);
    void slot_recvTimeout(QString portName);
    void slot_stopSend();
    void slot_maxSendRecordCountChanged(int count);

private:
    SetupService();

    EmulatedUnit* m_unit;
};
