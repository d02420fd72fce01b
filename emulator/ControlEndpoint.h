#pragma once

#include "control/ControlAddress.h"

#include <QString>

#include <memory>

class ControlServer;
class UnitHost;

// The control API as a program serves it: its options checked the one way both programs take
// them, then bound, started and stopped for a host's units. Owner thread only.
class ControlEndpoint
{
public:
    struct Settings
    {
        bool enabled = false;
        ControlAddress address;
        QString token; // empty: none asked for
    };

    static constexpr const char* kTokenFileVariable = "VARNEL_CONTROL_TOKEN_FILE";

    // --control, --control-token and --control-token-file as given (null: not given), the
    // token from VARNEL_CONTROL_TOKEN or the file VARNEL_CONTROL_TOKEN_FILE names when neither
    // option is: a usage error, or empty with `settings` filled. `controlName` is what a problem
    // with the address names (the option, or the variable it came from).
    static QString check(const QString& control, const QString& tokenOption, const QString& tokenFileOption,
                         Settings* settings, const QString& controlName = QStringLiteral("--control"));

    explicit ControlEndpoint(UnitHost* host);
    ~ControlEndpoint();
    ControlEndpoint(const ControlEndpoint&) = delete;
    ControlEndpoint& operator=(const ControlEndpoint&) = delete;

    // Binds the address (port 0: a free one) and serves nothing yet; false with `error` naming
    // the address and the reason.
    bool bind(const Settings& settings, QString* error);
    bool isBound() const { return bool(m_server); }
    // Logs "CONTROL URL", then serves.
    void start();
    // Every waiting request is answered, the server closes; before the host's units go.
    void stop();

private:
    UnitHost* m_host;
    std::unique_ptr<ControlServer> m_server;
};
