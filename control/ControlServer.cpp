#include "control/ControlServer.h"

#include "control/ControlPage.h"
#include "control/ControlHttpServer.h"
#include "control/ControlReply.h"
#include "control/ControlRouter.h"
#include "control/ControlStream.h"
#include "log/Log.h"
#include "util/MessageQuote.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <httplib.h>

#include <sys/socket.h>

namespace {

constexpr time_t kWriteTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 2;
// How long answers under way get to go out when the server stops.
constexpr int kStopGraceMs = 500;
// The methods a route may take; any other is answered 501.
const char* const kMethods[] = {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"};
const char* const kChanging[] = {"POST", "PUT", "PATCH", "DELETE"};

template <std::size_t N>
bool isOneOf(const std::string& method, const char* const (&list)[N])
{
    for (const char* entry : list)
        if (method == entry)
            return true;
    return false;
}

QString text(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

void sendError(httplib::Response& response, int status, const QString& what)
{
    const QByteArray body = ControlReply::error(status, what).bytes();
    response.status = status;
    response.set_content(body.constData(), std::size_t(body.size()), "application/json");
}

// What comes after the answer on this connection is not read: it closes.
void closeAfter(httplib::Response& response)
{
    response.set_header("Connection", "close");
    if (ControlStream* stream = ControlHttpServer::current())
        stream->setCloseAfterAnswer();
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

QString methodRefusal(const std::string& method)
{
    return QStringLiteral("%1 is not a method of this API (GET, HEAD, POST, PUT, DELETE)")
        .arg(MessageQuote::of(text(method)));
}

// A method the library's reader does not know leaves its request line refused as malformed.
bool isUnknownMethod(const httplib::Request& request)
{
    if (request.method.empty() || isOneOf(request.method, kMethods) ||
        (request.version != "HTTP/1.1" && request.version != "HTTP/1.0"))
        return false;
    for (const char c : request.method)
        if (c < 'A' || c > 'Z')
            return false;
    return true;
}

bool sameText(const std::string& a, const char* b)
{
    return QString::fromStdString(a).compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

// Debian's library compresses for any "br" in Accept-Encoding, at brotli's slowest setting: over
// a second of a worker for the metrics of many units or a page of the journal, where gzip takes
// a few milliseconds. A browser, which always offers br, is answered with gzip instead. The
// library hands its own (non-const) request over as const, so changing it here is sound.
void withoutBrotli(const httplib::Request& request)
{
    auto& headers = const_cast<httplib::Headers&>(request.headers);
    const auto offered = headers.equal_range("Accept-Encoding");
    for (auto header = offered.first; header != offered.second; ++header) {
        std::string kept;
        for (const QString& coding : QString::fromStdString(header->second).split(QLatin1Char(','))) {
            // The coding's name without its q-value: "br;q=0.9" is br, "gzip" and "x-brand" are not.
            const QString name = coding.section(QLatin1Char(';'), 0, 0).trimmed();
            if (name.isEmpty() || name.compare(QLatin1String("br"), Qt::CaseInsensitive) == 0)
                continue;
            kept += (kept.empty() ? "" : ", ") + coding.trimmed().toStdString();
        }
        header->second = kept;
    }
}

// The media type of a Content-Type value, without its parameters, in lower case.
std::string mediaType(const std::string& value)
{
    return QString::fromStdString(value.substr(0, value.find(';'))).trimmed().toLower().toStdString();
}

} // namespace

ControlServer::ControlServer(UnitHost* host)
    : m_router(std::make_unique<ControlRouter>(host)),
      m_server(std::make_unique<ControlHttpServer>(ControlHttpServer::Limits{
          kWorkerThreads, kConnectionsPerAddress, kRequestReadMs, int(kWriteTimeoutSeconds) * 1000}))
{
    httplib::Server& server = *m_server;
    server.set_payload_max_length(ControlRouter::kMaxBodyBytes);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_tcp_nodelay(true);
    // A connection that closes says so only.
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.get_header_value("Connection") == "close")
            response.headers.erase("Keep-Alive");
    });
    // The library's default takes SO_REUSEPORT: a second process would bind a port in use and
    // take half of its connections. SO_REUSEADDR only lets a restart bind past TIME_WAIT.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        withoutBrotli(request);
        return admit(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                        : httplib::Server::HandlerResponse::Handled;
    });
    // Also the library's own refusals (a malformed request, a body too large): JSON as every answer.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const httplib::Request& request, httplib::Response& response) {
            if (!response.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            const ControlStream* stream = ControlHttpServer::current();
            if (stream && stream->timedOut()) {
                sendError(response, 408,
                          QStringLiteral("the request did not arrive whole within %1 ms").arg(kRequestReadMs));
                closeAfter(response);
            } else if (response.status == 400 && isUnknownMethod(request)) {
                sendError(response, 501, methodRefusal(request.method));
                closeAfter(response);
            } else if (response.status == 404) {
                m_router->notFound(request, response);
            } else {
                sendError(response, response.status, statusText(response.status));
                closeAfter(response);
            }
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
    m_token = token.toUtf8();
}

bool ControlServer::authorized(const std::string& header) const
{
    if (m_token.isEmpty())
        return true;
    // The scheme in any case (RFC 7235), then one or more spaces, then the token.
    const std::size_t space = header.find(' ');
    const bool bearer = space != std::string::npos && sameText(header.substr(0, space), "Bearer");
    const std::size_t start = bearer ? header.find_first_not_of(' ', space) : std::string::npos;
    const std::string given = start == std::string::npos ? std::string() : header.substr(start);
    // Every byte is looked at whatever differs, so the time taken tells nothing of the token.
    const std::size_t length = std::size_t(m_token.size());
    unsigned char difference = bearer && given.size() == length ? 0 : 1;
    for (std::size_t i = 0; i < length; ++i)
        difference |= static_cast<unsigned char>(m_token.at(int(i)) ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

bool ControlServer::admit(const httplib::Request& request, httplib::Response& response)
{
    const ControlStream* stream = ControlHttpServer::current();
    const bool hasLength = request.has_header("Content-Length");
    const bool hasEncoding = request.has_header("Transfer-Encoding");
    const bool bodyPending = hasEncoding || (hasLength && request.get_header_value("Content-Length") != "0");
    const auto refuse = [&](int status, const QString& what) {
        sendError(response, status, what);
        if (bodyPending || status == 501 || status == 503)
            closeAfter(response);
        return false;
    };
    if (stream && !stream->refusal().empty())
        return refuse(503, text(stream->refusal()));
    if (!isOneOf(request.method, kMethods))
        return refuse(501, methodRefusal(request.method));

    // A web page may send requests here, or reach us under its own name (DNS rebinding): it
    // names another host or its own origin.
    const std::size_t hosts = request.get_header_value_count("Host");
    if (hosts > 1)
        return refuse(400, QStringLiteral("the request has %1 Host headers").arg(hosts));
    // A probe (a kubelet's, by the pod's address) names no host of ours and carries no token;
    // its answer tells nothing a web page could use.
    const bool probe = ControlRouter::isProbe(request);
    const QString local = text(request.local_addr);
    if (!probe && hosts == 1 && !m_address.acceptsHost(text(request.get_header_value("Host")), local))
        return refuse(403, QStringLiteral("Host %1 is not a name of this API (%2, localhost or a "
                                          "--control-host NAME)")
                               .arg(MessageQuote::of(text(request.get_header_value("Host"))), m_address.host()));
    if (!probe && request.has_header("Origin") &&
        !m_address.acceptsOrigin(text(request.get_header_value("Origin")), m_port, local))
        return refuse(403, QStringLiteral("Origin %1 is not this API's own (%2): requests from other web "
                                          "pages are refused")
                               .arg(MessageQuote::of(text(request.get_header_value("Origin"))), url()));

    // The page's own files come first, so it can ask for the token.
    if (!probe && !ControlPage::isPageRequest(request) &&
        !authorized(request.get_header_value("Authorization"))) {
        response.set_header("WWW-Authenticate", "Bearer");
        return refuse(401, QStringLiteral("a request needs the header \"Authorization: Bearer TOKEN\""));
    }

    // The library would read a length it cannot parse as some other number.
    if (hasLength) {
        const std::size_t lengths = request.get_header_value_count("Content-Length");
        const std::string length = request.get_header_value("Content-Length");
        bool digits = !length.empty() && length.size() <= 18;
        for (const char c : length)
            digits = digits && c >= '0' && c <= '9';
        if (lengths > 1)
            return refuse(400, QStringLiteral("the request has %1 Content-Length headers").arg(lengths));
        if (!digits)
            return refuse(400, QStringLiteral("the Content-Length header %1 is not a number of bytes")
                                   .arg(MessageQuote::of(text(length))));
        if (hasEncoding)
            return refuse(400, QStringLiteral("the request has both Content-Length and Transfer-Encoding"));
        if (std::stoull(length) > std::uint64_t(ControlRouter::kMaxBodyBytes))
            return refuse(413, statusText(413));
    }
    if (hasEncoding && !sameText(request.get_header_value("Transfer-Encoding"), "chunked"))
        return refuse(400, QStringLiteral("the Transfer-Encoding %1 is not taken (only chunked)")
                               .arg(MessageQuote::of(text(request.get_header_value("Transfer-Encoding")))));

    if (!m_router->knows(request)) {
        m_router->notFound(request, response);
        if (bodyPending)
            closeAfter(response);
        return false;
    }
    if (!isOneOf(request.method, kChanging))
        return true;
    // A web page's form or script may send text/plain or form data without asking first; only
    // JSON changes a unit.
    const bool typed = request.has_header("Content-Type");
    const std::string type = mediaType(request.get_header_value("Content-Type"));
    if ((bodyPending || typed) && type != "application/json")
        return refuse(403, QStringLiteral("a request that changes a unit sends its body as \"Content-Type: "
                                          "application/json\"; this one %1")
                               .arg(typed ? QStringLiteral("sends %1").arg(MessageQuote::of(text(type)))
                                          : QStringLiteral("names no type")));
    // No length and no chunks: an empty body (HTTP/1.1), not one that lasts until the connection closes.
    if (!hasLength && !hasEncoding) {
        m_router->handle(request, response);
        return false;
    }
    return true;
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
    m_server->widenBacklog();
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
    // A client that sends slowly or not at all holds nothing: its connection goes now.
    m_server->closeAll(kStopGraceMs);
    m_server->stop();
    m_thread.join();
}
