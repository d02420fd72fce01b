#pragma once

#include <QtGlobal>

namespace util {

// The resident memory of process `pid` (0: this one) in KiB, from /proc; -1 when unreadable.
long residentKb(qint64 pid = 0);

} // namespace util
