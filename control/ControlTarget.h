#pragma once

#include <QStringList>

namespace httplib {
struct Request;
}

class UnitSession;

// What a matched route is asked for: the path's pieces and, under /units/{id}, the unit.
struct ControlTarget
{
    const httplib::Request& request;
    QStringList segments;
    int id = 0;
    UnitSession* session = nullptr;
};
