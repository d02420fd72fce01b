#include "scenario/Scenario.h"

#include <QFileInfo>

QString Scenario::fileName() const
{
    return QFileInfo(path).fileName();
}
