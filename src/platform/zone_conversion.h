// For the clock implementations only: the system's own conversion of a local file time
// to UTC by the rules of the process's zone (Linux: mktime with tm_isdst = -1; Windows:
// TzSpecificLocalTimeToSystemTime). What it makes of a local time that a clock change
// repeats or skips is the system's choice; LocalToUtcFileTime settles those by the rule
// of clock.h (local_time.cpp).
#pragma once
#include "platform/files.h"

namespace plat {

bool SystemLocalToUtc(FileTime local, FileTime* utc);

}  // namespace plat
