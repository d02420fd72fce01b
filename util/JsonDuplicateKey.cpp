#include "util/JsonDuplicateKey.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <vector>

namespace {

// One open object or array, from the outside in.
struct Level
{
    bool object = false;
    QSet<QString> keys;
    QString key;   // an object's: the key whose value comes next
    int index = 0; // an array's: the element being read
    bool wantKey = true;
};

// A key as the parser reads it, so "a" and "\u0061" are one key.
QString decoded(const QByteArray& quoted)
{
    if (!quoted.contains('\\'))
        return QString::fromUtf8(quoted.mid(1, quoted.size() - 2));
    return QJsonDocument::fromJson('[' + quoted + ']').array().at(0).toString();
}

QString place(const std::vector<Level>& levels, const QString& key)
{
    QString path;
    for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
        const Level& level = levels[i];
        if (!level.object)
            path += QStringLiteral("[%1]").arg(level.index);
        else
            path += (path.isEmpty() ? QString() : QStringLiteral(".")) + level.key;
    }
    return path.isEmpty() ? key : path + QLatin1Char('.') + key;
}

} // namespace

QString JsonDuplicateKey::find(const QByteArray& json)
{
    std::vector<Level> levels;
    const char* text = json.constData();
    const qsizetype size = json.size();
    for (qsizetype i = 0; i < size; ++i) {
        switch (text[i]) {
        case '{':
        case '[':
            levels.emplace_back();
            levels.back().object = text[i] == '{';
            break;
        case '}':
        case ']':
            if (!levels.empty())
                levels.pop_back();
            break;
        case ',':
            if (levels.empty())
                break;
            if (levels.back().object)
                levels.back().wantKey = true;
            else
                ++levels.back().index;
            break;
        case '"': {
            qsizetype end = i + 1;
            while (end < size && text[end] != '"')
                end += text[end] == '\\' ? 2 : 1;
            if (end >= size)
                return QString();
            if (!levels.empty() && levels.back().object && levels.back().wantKey) {
                Level& level = levels.back();
                const QString key = decoded(json.mid(i, end - i + 1));
                if (level.keys.contains(key))
                    return place(levels, key);
                level.keys.insert(key);
                level.key = key;
                level.wantKey = false;
            }
            i = end;
            break;
        }
        default:
            break;
        }
    }
    return QString();
}
