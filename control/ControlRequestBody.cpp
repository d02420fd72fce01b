#include "control/ControlRequestBody.h"

#include "util/JsonDuplicateKey.h"
#include "util/MessageQuote.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QString>

#include <httplib.h>

std::optional<ControlReply> ControlRequestBody::readText(const httplib::Request& request, QByteArray* body)
{
    *body = QByteArray::fromStdString(request.body);
    // What some editors and tools put first; it says nothing more than UTF-8.
    if (body->startsWith("\xEF\xBB\xBF"))
        body->remove(0, 3);
    // Qt's parser would take some malformed sequences; the round trip takes none.
    if (QString::fromUtf8(*body).toUtf8() != *body)
        return ControlReply::error(400, QStringLiteral("the body is not UTF-8 text"));
    return std::nullopt;
}

std::optional<ControlReply> ControlRequestBody::checkKeys(const QByteArray& body)
{
    // Qt keeps the last of two equal keys; a JSON error is the reader's to tell.
    QJsonParseError problem{};
    QJsonDocument::fromJson(body, &problem);
    if (problem.error != QJsonParseError::NoError)
        return std::nullopt;
    const QString twice = JsonDuplicateKey::find(body);
    if (twice.isEmpty())
        return std::nullopt;
    return ControlReply::error(400, QStringLiteral("the key %1 is given twice").arg(MessageQuote::of(twice)));
}

std::optional<ControlReply> ControlRequestBody::readObject(const httplib::Request& request,
                                                           const QStringList& keys, QJsonObject* object)
{
    QByteArray body;
    if (const auto refusal = readText(request, &body))
        return refusal;
    QJsonParseError problem{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &problem);
    if (problem.error != QJsonParseError::NoError)
        return ControlReply::error(400, QStringLiteral("the body is not JSON: %1 at byte %2")
                                            .arg(problem.errorString())
                                            .arg(problem.offset));
    if (!document.isObject())
        return ControlReply::error(400, QStringLiteral("the body is not a JSON object"));
    if (const auto refusal = checkKeys(body))
        return refusal;
    *object = document.object();
    for (auto it = object->constBegin(); it != object->constEnd() && !keys.isEmpty(); ++it)
        if (!keys.contains(it.key()))
            return ControlReply::error(400,
                                       QStringLiteral("unknown key %1 (expected: %2)")
                                           .arg(MessageQuote::of(it.key()), keys.join(QStringLiteral(", "))));
    for (const QString& key : keys)
        if (!object->contains(key))
            return ControlReply::error(400, QStringLiteral("missing key \"%1\"").arg(key));
    return std::nullopt;
}
