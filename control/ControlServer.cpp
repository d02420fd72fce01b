#include "control/ControlServer.h"

#include "control/ControlPage.h"
#include "control/ControlReply.h"
#include "control/ControlRouter.h"
#include "log/Log.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <httplib.h>

#include <sys/socket.h>

namespace {

// Short: a request that stops arriving holds a worker, and shutdown waits for it, this long.
constexpr time_t kReadTimeoutSeconds = 2;
constexpr time_t kWriteTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 2;

void sendError(httplib::Response& response, int status, const QString& what)
{
    const QByteArray body = ControlReply::error(status, what).bytes();
    response.status = status;
    response.set_content(body.constData(), std::size_t(body.size()), "application/json");
}

QString statusText(int status)
{
    switch (status) {
    case 400:
        return QStringLiteral("malformed request");
    case 413:
        return QStringLiteral("the body is over %1 bytes").arg(ControlRouter::kMaxBodyBytes);
    case 414:
        return QStringLiteral("the request line is too long");
    case 431:
        return QStringLiteral("the request's headers are too large");
    case 500:
        return QStringLiteral("internal error");
    default:
        return QStringLiteral("HTTP status %1").arg(status);
    }
}

} // namespace

ControlServer::ControlServer(UnitHost* host)
    : m_router(std::make_unique<ControlRouter>(host)), m_server(std::make_unique<httplib::Server>())
{
    httplib::Server& server = *m_server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server.set_payload_max_length(ControlRouter::kMaxBodyBytes);
    server.set_read_timeout(kReadTimeoutSeconds, 0);
    server.set_write_timeout(kWriteTimeoutSeconds, 0);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    // The library's default takes SO_REUSEPORT: a second process would bind a port in use and
    // take half of its connections. SO_REUSEADDR only lets a restart bind past TIME_WAIT.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        // The page's own files come first, so it can ask for the token.
        if (ControlPage::isPageRequest(request) || authorized(request.get_header_value("Authorization")))
            return httplib::Server::HandlerResponse::Unhandled;
        response.set_header("WWW-Authenticate", "Bearer");
        sendError(response, 401,
                  QStringLiteral("a request needs the header \"Authorization: Bearer TOKEN\""));
        return httplib::Server::HandlerResponse::Handled;
    });
    // Also the library's own refusals (a malformed request, a body too large): JSON as every answer.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const httplib::Request& request, httplib::Response& response) {
            if (!response.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            if (response.status == 404)
                m_router->notFound(request, response);
            else
                sendError(response, response.status, statusText(response.status));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            sendError(response, 500, QStringLiteral("internal error"));
        });
    m_router->install(server);
}

ControlServer::~ControlServer()
{
    stop();
}

void ControlServer::setToken(const QString& token)
{
    m_expected = token.isEmpty() ? QByteArray() : QByteArray("Bearer ") + token.toUtf8();
}

bool ControlServer::authorized(const std::string& header) const
{
    if (m_expected.isEmpty())
        return true;
    // Every byte is looked at whatever differs, so the time taken tells nothing of the token.
    const std::size_t length = std::size_t(m_expected.size());
    unsigned char difference = header.size() == length ? 0 : 1;
    for (std::size_t i = 0; i < length; ++i)
        difference |= static_cast<unsigned char>(m_expected.at(int(i)) ^ (i < header.size() ? header[i] : 0));
    return difference == 0;
}

bool ControlServer::bind(const ControlAddress& address, QString* error)
{
    m_address = address;
    const std::string host = address.host().toStdString();
    errno = 0;
    const int port = address.port() == 0
                         ? m_server->bind_to_any_port(host)
                         : (m_server->bind_to_port(host, address.port()) ? address.port() : -1);
    if (port <= 0) {
        if (error)
            *error = QStringLiteral("cannot listen on %1:%2: %3")
                         .arg(address.host())
                         .arg(address.port())
                         .arg(errno ? QString::fromLocal8Bit(std::strerror(errno))
                                    : QStringLiteral("the address cannot be bound"));
        return false;
    }
    m_port = port;
    return true;
}

void ControlServer::start()
{
    VLOG(1, QStringLiteral("CONTROL %1").arg(url()));
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        m_listenEnded = true;
    });
}

void ControlServer::stop()
{
    // The router first: waiting requests are released and answered, so the workers end.
    m_router->close();
    if (!m_thread.joinable())
        return;
    // A stop before the listening loop began would be lost and the join would wait forever.
    while (!m_server->is_running() && !m_listenEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_server->stop();
    m_thread.join();
}
