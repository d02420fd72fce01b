#pragma once

#include <QString>

// A value as a message quotes it: in double quotes, control characters written as \uXXXX so
// a NUL or a line break cannot cut or split the message, and a long value cut to its first
// characters with "…" and its length, so a huge input never makes a huge message.
class MessageQuote
{
public:
    static constexpr int kMaxCharacters = 80;

    static QString of(const QString& value);
};
