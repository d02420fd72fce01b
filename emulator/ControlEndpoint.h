#pragma once

#include "control/ControlAddress.h"

#include <QString>
#include <QStringList>

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

    // What the control options were given as: null texts (and no hosts) when not given. Each
    // name is what a problem with the value names: the option, or the variable it came from.
    struct Options
    {
        QString control;
        QString token;
        QString tokenFile;
        QStringList hosts;
        QString controlName = QStringLiteral("--control");
        QString hostsName = QStringLiteral("--control-host");
    };

    // --control, --control-token, --control-token-file and --control-host, the token from
    // VARNEL_CONTROL_TOKEN or the file VARNEL_CONTROL_TOKEN_FILE names when neither token option
    // is given: a usage error, or empty with `settings` filled.
    static QString check(const Options& options, Settings* settings);

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
