#include "log/LogContext.h"

namespace {

thread_local QString t_prefix;

} // namespace

const QString& LogContext::prefix()
{
    return t_prefix;
}

LogContext::Scope::Scope(const QString& prefix) : m_previous(t_prefix)
{
    t_prefix = prefix;
}

LogContext::Scope::~Scope()
{
    t_prefix = m_previous;
}
