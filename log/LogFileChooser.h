#pragma once

#include <QDate>
#include <QDir>
#include <QString>

// Picks the day's log file: "varnelTest<yyyyMMdd>.log", or the first numbered
// "varnelTest<yyyyMMdd>(<n>).log" that opens for appending.
class LogFileChooser
{
public:
    static constexpr int kMaxNumberedNames = 100;

    // An empty result means no name could be opened within the bound.
    static QString choose(const QDate& date, const QDir& directory = QDir::current(),
                          int maxNumberedNames = kMaxNumberedNames);

    static QString baseName(const QDate& date);
    static QString numberedName(const QDate& date, int number);
};
