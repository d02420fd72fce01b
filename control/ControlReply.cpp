#include "control/ControlReply.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
