// Listed dates and times: the file's last-write time to the minute in the chosen zone,
// the clients' freshness rule on them, and moving a listed time forward until a client
// holding an older copy fetches the file.
#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace publish {

// A listed date ("YYYY-MM-DD") and time of day ("HH:MM"), as texts.
struct Stamp {
  std::string date;
  std::string time;
  bool operator==(const Stamp& other) const { return date == other.date && time == other.time; }
};

// Makes `zone` (a zone name such as "Europe/Berlin" or a POSIX TZ text such as
// "UTC0") the zone of every later conversion; an empty zone keeps the machine's.
// False, with a reason, for a zone that names nothing this machine knows.
bool UseZone(const std::string& zone, std::string* error);
// How the zone in use is named in a list's heading.
std::string ZoneName();

// A moment as local calendar time, to the minute, in the zone in use.
Stamp StampOf(time_t moment);

// The clients' freshness test: a listed file is fetched over a local copy carrying
// `local` and `localSize` when the listed date is greater, or the listed time of day is
// greater (each compared on its own, as text), or the sizes differ.
bool ClientFetches(const Stamp& listed, int64_t listedSize, const Stamp& local, int64_t localSize);

// The first minute at or after `candidate` (a well-formed stamp) that a client whose
// copy carries `old` fetches whatever the sizes, and that exists as local time in the
// zone in use (not inside the hour a clock change skips). Empty when there is none
// within two centuries.
std::optional<Stamp> NextFetchingStamp(const Stamp& candidate, const Stamp& old);

}  // namespace publish
