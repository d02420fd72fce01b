#include "emulator/LineOutage.h"

#include "device/Device.h"
#include "log/Log.h"

LineOutage::LineOutage(std::function<Device*()> device, std::function<void(const QString& event)> note,
                       QObject* parent)
    : QObject(parent), m_device(std::move(device)), m_note(std::move(note))
{
    m_timer.setParent(this); // its events are known as this session's (its unit's log lines)
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &LineOutage::comeBack);
}

void LineOutage::start(int ms)
{
    Device* device = m_device();
    if (m_away || !device || !device->isOpen())
        return;
    m_away = true;
    m_failureLogged = false;
    VLOG(1, QStringLiteral("the line is gone for %1 ms").arg(ms));
    m_note(QStringLiteral("vanished"));
    device->Close();
    m_timer.start(ms);
}

void LineOutage::cancel()
{
    m_timer.stop();
    m_away = false;
}

void LineOutage::comeBack()
{
    Device* device = m_device();
    if (!device) {
        m_away = false;
        return;
    }
    if (!device->isOpen() && !device->Open()) {
        // Another program may have taken the port or its address meanwhile: said once, tried again.
        if (!m_failureLogged) {
            m_failureLogged = true;
            VLOG(1, QStringLiteral("the line does not come back: %1").arg(device->errorString()));
        }
        m_timer.start(kRetryMs);
        return;
    }
    m_away = false;
    VLOG(1, QStringLiteral("the line is back"));
    m_note(QStringLiteral("back"));
}
