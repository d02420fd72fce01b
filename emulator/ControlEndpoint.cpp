#include "emulator/ControlEndpoint.h"

#include "control/ControlServer.h"
#include "control/ControlTokenSource.h"

namespace {

// A problem the option checks name by the option, said of the variable the value came from.
QString renamed(QString problem, const QString& option, const QString& name)
{
    if (name != option && problem.startsWith(option + QLatin1Char(':')))
        problem.replace(0, option.size(), name);
    return problem;
}

} // namespace

QString ControlEndpoint::check(const Options& options, Settings* settings)
{
    const QString tokenFileName = QStringLiteral("--control-token-file");
    const bool control = !options.control.isNull();
    QString tokenFile = options.tokenFile;
    QString fileName = tokenFileName;
    if (options.token.isNull() && options.tokenFile.isNull() && control &&
        qEnvironmentVariableIsSet(kTokenFileVariable)) {
        if (qEnvironmentVariableIsSet(ControlTokenSource::kEnvironmentName))
            return QStringLiteral("%1 and %2: give one of them")
                .arg(QLatin1String(ControlTokenSource::kEnvironmentName), QLatin1String(kTokenFileVariable));
        tokenFile = qEnvironmentVariable(kTokenFileVariable);
        fileName = QLatin1String(kTokenFileVariable);
    }
    QString problem;
    const QString token = ControlTokenSource::resolve(options.token, tokenFile, control, &problem);
    if (!problem.isEmpty())
        return renamed(problem, tokenFileName, fileName);
    ControlAddress address;
    problem = ControlAddress::checkOptions(options.control, token, &address);
    if (!problem.isEmpty())
        return renamed(problem, QStringLiteral("--control"), options.controlName);
    problem = ControlAddress::checkNames(options.hosts, control, &address);
    if (!problem.isEmpty())
        return renamed(problem, QStringLiteral("--control-host"), options.hostsName);
    settings->enabled = control;
    settings->address = address;
    settings->token = token;
    return QString();
}

ControlEndpoint::ControlEndpoint(UnitHost* host) : m_host(host) {}

ControlEndpoint::~ControlEndpoint()
{
    stop();
}

bool ControlEndpoint::bind(const Settings& settings, QString* error)
{
    auto server = std::make_unique<ControlServer>(m_host);
    server->setToken(settings.token);
    if (!server->bind(settings.address, error))
        return false;
    m_server = std::move(server);
    return true;
}

void ControlEndpoint::start()
{
    if (m_server)
        m_server->start();
}

void ControlEndpoint::stop()
{
    if (m_server)
        m_server->stop();
}
