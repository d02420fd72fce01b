#include "control/ControlReply.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <httplib.h>

ControlReply ControlReply::error(int status, const QString& what)
{
    return ControlReply{status, QJsonObject{{QStringLiteral("error"), what}}};
}

QByteArray ControlReply::bytes() const
{
    if (body.isObject())
        return QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact);
    if (body.isArray())
        return QJsonDocument(body.toArray()).toJson(QJsonDocument::Compact);
    return QByteArray();
}

void ControlReply::send(httplib::Response& response, const ControlReply& reply)
{
    response.status = reply.status;
    if (reply.status == 204)
        return;
    const QByteArray body = reply.bytes();
    response.set_content(body.constData(), std::size_t(body.size()), "application/json");
}
