#pragma once

#include <QByteArray>
#include <QJsonValue>

namespace httplib {
struct Response;
}

// One answer of the control API: a status and a JSON body (none for 204).
struct ControlReply
{
    int status = 200;
    QJsonValue body;

    static ControlReply json(int status, const QJsonValue& body) { return ControlReply{status, body}; }
    static ControlReply error(int status, const QString& what);
    static ControlReply empty() { return ControlReply{204, QJsonValue()}; }
    // The body as sent: compact JSON, nothing for null.
    QByteArray bytes() const;
    // The reply as the response's status and JSON body.
    static void send(httplib::Response& response, const ControlReply& reply);
};
