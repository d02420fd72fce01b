#pragma once

#include <QString>

#include <ostream>

class QCommandLineOption;
class QCommandLineParser;

// A number option that must be positive (--timeout MS, --baud): the sub-commands that talk to a
// port check it the same way and refuse it with the same message.
class PositiveOption
{
public:
    // False, with the usage error "--NAME needs a positive number[ UNIT], got 'VALUE'" on err,
    // when the option is given and is not a positive number; *value is left alone when not given.
    static bool read(const QCommandLineParser& parser, const QCommandLineOption& option, const char* command,
                     const char* unit, int* value, std::ostream& err);
};
