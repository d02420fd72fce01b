#include "util/JsonDuplicateKey.h"

#include <QSet>

#include <algorithm>
#include <cstring>

#include <vector>

namespace {

struct Level
{
    bool object = false;
    QString path; // where this object or array is, "" at the top
    QSet<QString> keys;
    QString lastKey;
    bool expectKey = true;
    int index = 0;
};

// A hex digit's value; anything else reads as 0, as a broken \u escape is taken.
int hexDigit(char c)
{
    static const char kDigits[] = "0123456789abcdefABCDEF";
    const char* at = c == '\0' ? nullptr : std::strchr(kDigits, c);
    if (!at)
        return 0;
    const int index = int(at - kDigits);
    return index < 16 ? index : index - 6;
}

// The string starting at the quote at `i`, decoded; `i` ends after the closing quote.
QString readString(const QByteArray& json, int& i)
{
    QString text;
    int run = ++i;
    const auto flush = [&](int end) { text += QString::fromUtf8(json.constData() + run, end - run); };
    while (i < json.size() && json.at(i) != '"') {
        if (json.at(i) != '\\') {
            ++i;
            continue;
        }
        flush(i);
        const char escape = i + 1 < json.size() ? json.at(i + 1) : '\0';
        i += 2;
        switch (escape) {
        case 'b':
            text += QLatin1Char('\b');
            break;
        case 'f':
            text += QLatin1Char('\f');
            break;
        case 'n':
            text += QLatin1Char('\n');
            break;
        case 'r':
            text += QLatin1Char('\r');
            break;
        case 't':
            text += QLatin1Char('\t');
            break;
        case 'u': {
            // A surrogate pair arrives as two of these and joins in the string.
            ushort unit = 0;
            for (int k = 0; k < 4 && i < json.size(); ++k, ++i)
                unit = ushort(unit * 16 + hexDigit(json.at(i)));
            text += QChar(unit);
            break;
        }
        default:
            text += QLatin1Char(escape);
            break;
        }
        run = i;
    }
    flush(i);
    ++i;
    return text;
}

QString childPath(const Level& parent)
{
    if (parent.object)
        return parent.path.isEmpty() ? parent.lastKey : parent.path + QLatin1Char('.') + parent.lastKey;
    return parent.path + QStringLiteral("[%1]").arg(parent.index);
}

} // namespace

QString JsonDuplicateKey::find(const QByteArray& json)
{
    std::vector<Level> levels;
    int i = 0;
    while (i < json.size()) {
        const char c = json.at(i);
        if (c == '{' || c == '[') {
            Level level;
            level.object = c == '{';
            if (!levels.empty())
                level.path = childPath(levels.back());
            levels.push_back(std::move(level));
            ++i;
        } else if (c == '}' || c == ']') {
            if (!levels.empty())
                levels.pop_back();
            ++i;
        } else if (c == ',') {
            if (!levels.empty()) {
                levels.back().expectKey = true;
                ++levels.back().index;
            }
            ++i;
        } else if (c == ':') {
            if (!levels.empty())
                levels.back().expectKey = false;
            ++i;
        } else if (c == '"') {
            const QString text = readString(json, i);
            if (levels.empty() || !levels.back().object || !levels.back().expectKey)
                continue;
            Level& level = levels.back();
            level.lastKey = text;
            if (level.keys.contains(text))
                return childPath(level);
            level.keys.insert(text);
        } else {
            ++i; // white space, a number, true, false, null
        }
    }
    return QString();
}
