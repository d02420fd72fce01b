#pragma once

#include "control/ControlReply.h"

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

#include <optional>

namespace httplib {
struct Request;
}

// A request's body as the handlers take it, or the 400 that says what is wrong with it.
class ControlRequestBody
{
public:
    // The body as a JSON object with exactly these keys (no keys: any).
    static std::optional<ControlReply> readObject(const httplib::Request& request, const QStringList& keys,
                                                  QJsonObject* object);
    // The body as text, a UTF-8 byte order mark taken off; refused when it is not UTF-8.
    static std::optional<ControlReply> readText(const httplib::Request& request, QByteArray* body);
    // Refused when an object of the body's JSON gives a key twice.
    static std::optional<ControlReply> checkKeys(const QByteArray& body);
};
