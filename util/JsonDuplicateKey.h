#pragma once

#include <QByteArray>
#include <QString>

// Finds a key given twice in one object of a JSON text. Qt's parser keeps one of the two
// silently, so a value the author wrote would be lost unseen; a reader refuses the text instead.
class JsonDuplicateKey
{
public:
    // Where the first repeated key is, as "units[1].endpoint" ("name" at the top), or an empty
    // text when no object repeats a key. Meant for a text QJsonDocument has accepted; any
    // other text is scanned without harm and gives no reliable answer.
    static QString find(const QByteArray& json);
};
