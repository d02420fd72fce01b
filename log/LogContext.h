#pragma once

#include <QString>

// What the code running now on this thread works for, as a prefix for its log lines ("[unit
// 2] " while one of several units handles an event). Empty by default: lines stay as they are.
class LogContext
{
public:
    static const QString& prefix();

    // Sets the prefix for its lifetime and restores the one before.
    class Scope
    {
    public:
        explicit Scope(const QString& prefix);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        QString m_previous;
    };
};
