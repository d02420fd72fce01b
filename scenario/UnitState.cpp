#include "scenario/UnitState.h"

#include "util/Conversions.h"

UnitState::UnitState()
    : m_texts{QByteArrayLiteral("SERIALNUMBER"), QByteArrayLiteral("DEVICENAME"),
              QByteArrayLiteral("DEVICENUMBER"), QByteArrayLiteral("OPERATOR")}
{
}

void UnitState::remember(Text text, const QByteArray& bytes)
{
    if (m_stateful)
        setText(text, bytes);
}

bool UnitState::setClock(const QByteArray& content)
{
    if (!m_stateful || content.size() < 7)
        return false;
    const std::string bytes = content.toStdString();
    const QDate date(util::peekU16(bytes.substr(0, 2)), util::peekU8(bytes.substr(2, 1)),
                     util::peekU8(bytes.substr(3, 1)));
    const QTime time(util::peekU8(bytes.substr(4, 1)), util::peekU8(bytes.substr(5, 1)),
                     util::peekU8(bytes.substr(6, 1)));
    const QDateTime set(date, time);
    if (!date.isValid() || !time.isValid() || !set.isValid())
        return false;
    m_clockOffsetMs = QDateTime::currentDateTime().msecsTo(set);
    m_clockSet = true;
    return true;
}

QDateTime UnitState::now() const
{
    const QDateTime local = QDateTime::currentDateTime();
    return m_clockSet ? local.addMSecs(m_clockOffsetMs) : local;
}

void UnitState::setClockOffset(qint64 ms)
{
    m_clockOffsetMs = ms;
    m_clockSet = ms != 0;
}

const UnitState::FixedReply* UnitState::fixedReply(std::uint8_t command) const
{
    if (m_fixedReplies.empty())
        return nullptr;
    const auto it = m_fixedReplies.find(command);
    return it == m_fixedReplies.end() ? nullptr : &it->second;
}
