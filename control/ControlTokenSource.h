#pragma once

#include <QString>

// Where the control API's token comes from: --control-token TOKEN, --control-token-file FILE
// or the environment's VARNEL_CONTROL_TOKEN. The last two keep it off the command line, which
// every user of the machine can read (ps).
class ControlTokenSource
{
public:
    static constexpr const char* kEnvironmentName = "VARNEL_CONTROL_TOKEN";
    static constexpr qint64 kMaxFileBytes = 4096;

    // The token, or a null text when none is given; a usage error naming the option in
    // `problem`. `tokenOption` and `fileOption` are null when not given; they exclude each
    // other. The environment counts only when the API is served (`control`) and neither is given.
    static QString resolve(const QString& tokenOption, const QString& fileOption, bool control,
                           QString* problem);
};
