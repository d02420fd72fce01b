#pragma once

#include <QByteArray>
#include <QString>

// Qt's JSON reader keeps only the last of two equal keys in an object; this finds the first
// key given twice in a JSON text that reader took, so a refusal can name it.
class JsonDuplicateKey
{
public:
    // The repeated key with the path to its object ("texts.device-name", "units[2].endpoint"),
    // or an empty string when every object's keys differ. Keys are compared as decoded
    // ("a" and "\u0061" are one key).
    static QString find(const QByteArray& json);
};
