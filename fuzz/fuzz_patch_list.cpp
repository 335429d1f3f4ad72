// Fuzzes the patch list: an input is the text of a list file.
//
// Each input is parsed under two installations: a short directory with the usual base
// directory and counters at zero, and a directory so long that only a few dozen
// characters of local name fit, with a 255-character base directory and counters near
// their limit. Both hold a few files stamped at 2002-06-02 09:00 local time, so that
// lines find current, stale and missing files. Every queued entry is then checked:
//  - every text field ends within its buffer, every path within its capacity;
//  - the entry is exactly what one line of the list says, in the order of the file:
//    kind, date, time and size as written, the local name whole in the local and
//    staging paths, the remote name whole in the listed name and remote path, so a
//    column or path that did not fit was refused, never cut and used;
//  - the local path stays inside the installation and the staging path inside its
//    Update directory: no rooted name, no drive, no component of dots only beyond a
//    single one (".." climbs; "..." is ".." to Windows), no backslash left on Linux;
//    and nothing Windows cannot hold as a plain file: no colon (a stream of another
//    file), no device name, no component ending in a dot or blank, no control
//    character or < > " | ? *;
//  - sizes are the counts the column states and never negative; the counters grew by
//    exactly the number and the download sizes of the queued entries other than
//    deletions, held at INT32_MAX;
//  - a queued 'C', 'P' or 'Z' entry needs its update, and the freshness test agrees
//    with the rule (missing, or listed date or time of day later, or size different)
//    on the files the entries name;
//  - the list's links and count agree.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "patchlist/entry_list.h"
#include "patchlist/patch_entry.h"
#include "patchlist/patch_list.h"
#include "platform/files.h"

namespace {

using zdfuzz::Printable;

constexpr int64_t kInt32Max = 2147483647;
// The longest line read (a line buffer of 4096); a longer line is skipped whole.
constexpr size_t kLongestLine = 4095;

struct Installation {
  std::string installDir;
  std::string baseDirectory;
  int32_t startBytes = 0;
  int32_t startFiles = 0;
};

struct Fixture {
  std::string listPath;
  Installation installations[2];
};

// Files each installation holds, with their sizes.
const struct {
  const char* name;
  size_t size;
} kInstalled[] = {
    {"a.dat", 3}, {"Sub/b.dat", 4}, {"Data/Map01.dat", 10}, {"Data/Big.pak", 100}, {"Updater.exe", 5},
};

void Populate(const std::string& installDir) {
  zdfuzz::MakeDirs(installDir + "/Update");
  for (const auto& file : kInstalled) {
    const std::string path = installDir + "/" + file.name;
    zdfuzz::MakeDirs(path.substr(0, path.rfind('/')));
    const std::string contents(file.size, 'x');
    zdfuzz::WriteWholeFile(path, contents.data(), contents.size());
    zdfuzz::StampLocal(path, 2002, 6, 2, 9, 0);
  }
}

const Fixture& TheFixture() {
  static const Fixture fixture = [] {
    // A zone without daylight saving time and a non-zero offset, so the freshness
    // test's conversion is exercised and stamps read back the same all year.
    ::setenv("TZ", "<+09>-9", 1);
    ::tzset();
    Fixture f;
    const std::string& scratch = zdfuzz::ScratchDir();
    f.listPath = scratch + "/list.txt";

    Installation& small = f.installations[0];
    small.installDir = scratch + "/Play";
    small.baseDirectory = "/patch/";

    // 980 characters: 42 left for a local name, 35 in the staging path, 32 for 'Z'.
    Installation& large = f.installations[1];
    large.installDir = scratch;
    while (large.installDir.size() < 980) {
      const size_t room = 980 - large.installDir.size() - 1;
      large.installDir += "/" + std::string(room < 200 ? room : 200, 'L');
    }
    large.baseDirectory = "/" + std::string(253, 'b') + "/";
    large.startBytes = static_cast<int32_t>(kInt32Max - 1000);
    large.startFiles = static_cast<int32_t>(kInt32Max - 2);

    for (const Installation& i : f.installations) Populate(i.installDir);
    return f;
  }();
  return fixture;
}

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// One line as the parser sees it: the first character, then up to five runs of
// non-blank characters.
struct Line {
  std::string columns[6];
  int count = 0;
};

// The lines of the list text, without their line ends (LF or CR LF; the last line may
// have none), each cut at its first NUL as a C string is. A line of more than
// kLongestLine bytes is no line at all.
std::vector<Line> SplitList(const uint8_t* data, size_t size) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < size) {
    const uint8_t* lf = static_cast<const uint8_t*>(std::memchr(data + pos, '\n', size - pos));
    size_t end = lf != nullptr ? static_cast<size_t>(lf - data) : size;
    std::string piece(reinterpret_cast<const char*>(data + pos), end - pos);
    pos = lf != nullptr ? end + 1 : size;
    if (lf != nullptr && !piece.empty() && piece.back() == '\r') piece.pop_back();
    if (piece.size() > kLongestLine) continue;
    piece.resize(std::strlen(piece.c_str()));
    Line line;
    if (!piece.empty()) {
      line.columns[0] = piece.substr(0, 1);
      line.count = 1;
      size_t p = 1;
      while (line.count < 6) {
        while (p < piece.size() && IsBlank(piece[p])) ++p;
        if (p == piece.size()) break;
        const size_t start = p;
        while (p < piece.size() && !IsBlank(piece[p])) ++p;
        line.columns[line.count++] = piece.substr(start, p - start);
      }
    }
    lines.push_back(line);
  }
  return lines;
}

// The count a size text states, or -1 when it is negative or beyond INT32_MAX: an
// optional sign, then digits up to the first other character; no digits give 0.
int64_t StatedCount(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kInt32Max) return -1;
  }
  return negative && value != 0 ? -1 : value;
}

std::string WithSeparator(std::string name) {
  const char separator = plat::PathSeparator();
  for (char& c : name) {
    if (c == '\\') c = separator;
  }
  return name;
}

std::string Describe(const PatchEntry& e) {
  return "kind '" + Printable(std::string(1, e.kind)) + "' date '" + Printable(e.date) + "' time '" +
         Printable(e.time) + "' size " + std::to_string(e.size) + "/" + std::to_string(e.unpackedSize) +
         " local '" + Printable(e.localPath) + "' staging '" + Printable(e.stagingPath) + "' remote '" +
         Printable(e.remotePath) + "' listed '" + Printable(e.listedName) + "'";
}

// True when `entry` is exactly what `line` says under `at`.
bool Says(const Line& line, const PatchEntry& entry, const Installation& at) {
  if (line.count < 6) return false;
  const char first = line.columns[0][0];
  if (first == '#' || first == '\'' || first == '/') return false;
  const char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(first)));
  if (kind != entry.kind) return false;
  if (line.columns[1] != entry.date || line.columns[2] != entry.time) return false;

  const std::string& sizeColumn = line.columns[3];
  if (kind == 'Z') {
    const size_t colon = sizeColumn.find(':');
    if (colon == std::string::npos || sizeColumn.substr(0, colon) != entry.sizeText) return false;
    if (StatedCount(sizeColumn.substr(0, colon)) != entry.unpackedSize) return false;
    if (StatedCount(sizeColumn.substr(colon + 1)) != entry.size) return false;
  } else if (kind != 'D') {
    // A deletion's size column is not used after parsing; how it is read is left open.
    if (sizeColumn != entry.sizeText || StatedCount(sizeColumn) != entry.size) return false;
  }

  const char separator = plat::PathSeparator();
  const std::string local = WithSeparator(line.columns[4]);
  if (at.installDir + separator + local != entry.localPath) return false;
  if (at.installDir + separator + "Update" + separator + local + (kind == 'Z' ? ".gz" : "") != entry.stagingPath)
    return false;

  const std::string& remote = line.columns[5];
  if (remote != entry.listedName) return false;
  std::string base = at.baseDirectory;
  if (!base.empty() && base.back() == '/') base.pop_back();
  return base + (remote[0] == '/' ? "" : "/") + remote == entry.remotePath;
}

// `relative` (what follows the directory it must stay in) names something inside it.
void CheckStaysInside(const std::string& relative, const char* what, const PatchEntry& entry) {
  const auto isSeparator = [](char c) { return c == '/' || c == '\\'; };
  ZD_FUZZ_CHECK(!relative.empty(), std::string(what) + " names the directory itself: " + Describe(entry));
  ZD_FUZZ_CHECK(!isSeparator(relative[0]), std::string(what) + " is rooted: " + Describe(entry));
  ZD_FUZZ_CHECK(!(relative.size() >= 2 && relative[1] == ':' && std::isalpha(static_cast<unsigned char>(relative[0]))),
                std::string(what) + " names a drive: " + Describe(entry));
  if (plat::PathSeparator() == '/') {
    ZD_FUZZ_CHECK(relative.find('\\') == std::string::npos,
                  std::string(what) + " keeps a backslash: " + Describe(entry));
  }
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = start;
    while (end < relative.size() && !isSeparator(relative[end])) ++end;
    const std::string component = relative.substr(start, end - start);
    const bool dotsOnly = component.find_first_not_of('.') == std::string::npos;
    ZD_FUZZ_CHECK(!(dotsOnly && component.size() >= 2),
                  std::string(what) + " climbs with '" + component + "': " + Describe(entry));
    ZD_FUZZ_CHECK(std::none_of(component.begin(), component.end(),
                               [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127 ||
                                                   std::strchr("<>:\"|?*", c) != nullptr; }),
                  std::string(what) + " holds a character Windows forbids: " + Describe(entry));
    ZD_FUZZ_CHECK(component.empty() || component == "." || (component.back() != '.' && component.back() != ' '),
                  std::string(what) + " has a component Windows trims: " + Describe(entry));
    std::string device = component.substr(0, component.find('.'));
    while (!device.empty() && device.back() == ' ') device.pop_back();
    for (char& c : device) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const bool numbered = device.size() == 4 && device[3] >= '1' && device[3] <= '9' &&
                          (device.compare(0, 3, "COM") == 0 || device.compare(0, 3, "LPT") == 0);
    ZD_FUZZ_CHECK(!numbered && device != "CON" && device != "PRN" && device != "AUX" && device != "NUL" &&
                      device != "CONIN$" && device != "CONOUT$",
                  std::string(what) + " names a device: " + Describe(entry));
    start = end + 1;
  }
}

// The freshness rule, over the files service's view of the file: fetch when it is
// missing, when the listed date or the listed time of day is later than the file's
// local ones (compared as text, with the offset in force at the file's time), or when
// the sizes differ.
bool RuleSaysFetch(const PatchEntry& entry) {
  plat::FileStatus status;
  if (!plat::QueryFile(entry.localPath, &status)) return true;
  const int64_t unixSeconds = static_cast<int64_t>(status.lastWrite / 10000000u) - 11644473600LL;
  const time_t utc = static_cast<time_t>(unixSeconds);
  struct tm fields;
  if (::localtime_r(&utc, &fields) == nullptr) return true;
  char date[32];
  char timeOfDay[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday);
  std::snprintf(timeOfDay, sizeof timeOfDay, "%02d:%02d", fields.tm_hour, fields.tm_min);
  if (std::strcmp(entry.date, date) > 0 || std::strcmp(entry.time, timeOfDay) > 0) return true;
  const int32_t listed = entry.kind == 'Z' ? entry.unpackedSize : entry.size;
  return static_cast<uint32_t>(listed) != static_cast<uint32_t>(status.size);
}

template <size_t N>
void CheckTerminated(const char (&field)[N], const char* name, const PatchEntry& entry) {
  ZD_FUZZ_CHECK(std::memchr(field, '\0', N) != nullptr, std::string(name) + " runs past its buffer: " +
                                                            Printable(std::string(field, N)) + " in kind '" +
                                                            Printable(std::string(1, entry.kind)) + "'");
}

void CheckFits(const char* path, const char* name, const PatchEntry& entry) {
  ZD_FUZZ_CHECK(std::strlen(path) < PatchEntry::kPathCapacity, std::string(name) + " is beyond its capacity in kind '" +
                                                                   Printable(std::string(1, entry.kind)) + "'");
}

void CheckEntry(const PatchEntry& entry, const Installation& at) {
  CheckTerminated(entry.date, "date", entry);
  CheckTerminated(entry.time, "time", entry);
  CheckTerminated(entry.sizeText, "sizeText", entry);
  CheckFits(entry.localPath, "localPath", entry);
  CheckFits(entry.remotePath, "remotePath", entry);
  CheckFits(entry.listedName, "listedName", entry);
  CheckFits(entry.stagingPath, "stagingPath", entry);
  ZD_FUZZ_CHECK(std::strchr("ACPZD", entry.kind) != nullptr && entry.kind != '\0',
                "queued an entry of an unknown kind: " + Describe(entry));

  const char separator = plat::PathSeparator();
  const std::string localPath = entry.localPath;
  const std::string localRoot = at.installDir + separator;
  ZD_FUZZ_CHECK(localPath.compare(0, localRoot.size(), localRoot) == 0,
                "local path outside the installation: " + Describe(entry));
  const std::string localName = localPath.substr(localRoot.size());
  CheckStaysInside(localName, "local path", entry);

  const std::string stagingPath = entry.stagingPath;
  const std::string stagingRoot = at.installDir + separator + "Update" + separator;
  ZD_FUZZ_CHECK(stagingPath.compare(0, stagingRoot.size(), stagingRoot) == 0,
                "staging path outside the staging directory: " + Describe(entry));
  const std::string stagedName = stagingPath.substr(stagingRoot.size());
  CheckStaysInside(stagedName, "staging path", entry);
  ZD_FUZZ_CHECK(stagedName == localName + (entry.kind == 'Z' ? ".gz" : ""),
                "staging and local paths name different files: " + Describe(entry));

  if (entry.kind != 'D') {
    ZD_FUZZ_CHECK(entry.size >= 0, "negative download size: " + Describe(entry));
    ZD_FUZZ_CHECK(entry.kind != 'Z' || entry.unpackedSize >= 0, "negative unpacked size: " + Describe(entry));
  }

  // The decision taken while parsing, and the freshness test itself against the rule
  // for this entry's fields read as each kind that is tested.
  if (entry.kind == 'C' || entry.kind == 'P' || entry.kind == 'Z') {
    ZD_FUZZ_CHECK(NeedsUpdate(entry), "queued a current file: " + Describe(entry));
  }
  for (char kind : {'C', 'Z'}) {
    PatchEntry probe = entry;
    probe.kind = kind;
    ZD_FUZZ_CHECK(NeedsUpdate(probe) == RuleSaysFetch(probe),
                  std::string("freshness test disagrees with the rule (as '") + kind + "'): " + Describe(probe));
  }
}

void ParseAndCheck(const Fixture& fixture, const Installation& at, const std::vector<Line>& lines) {
  EntryList list;
  int32_t totalBytes = at.startBytes;
  int32_t fileCount = at.startFiles;
  ZD_FUZZ_CHECK(ParsePatchListFile(fixture.listPath.c_str(), at.installDir.c_str(), at.baseDirectory.c_str(), list,
                                   &totalBytes, &fileCount),
                std::string("an existing list was not read"));

  int32_t nodes = 0;
  int64_t downloads = 0;
  int64_t bytes = 0;
  size_t nextLine = 0;
  const EntryNode* previous = nullptr;
  for (const EntryNode* node = list.head; node != nullptr; node = node->next) {
    ZD_FUZZ_CHECK(node->prev == previous, std::string("a node's back link is wrong"));
    ZD_FUZZ_CHECK(node->value != nullptr, std::string("a node holds no entry"));
    previous = node;
    ++nodes;
    const PatchEntry& entry = *static_cast<const PatchEntry*>(node->value);
    CheckEntry(entry, at);

    while (nextLine < lines.size() && !Says(lines[nextLine], entry, at)) ++nextLine;
    ZD_FUZZ_CHECK(nextLine < lines.size(), "no line of the list, after the previous entry's, says " + Describe(entry));
    ++nextLine;

    if (entry.kind != 'D') {
      ++downloads;
      bytes += entry.size;
    }
  }
  ZD_FUZZ_CHECK(list.tail == previous, std::string("the tail is not the last node"));
  ZD_FUZZ_CHECK(list.count == nodes, "count " + std::to_string(list.count) + " for " + std::to_string(nodes) + " nodes");

  const int64_t expectedFiles = std::min<int64_t>(kInt32Max, at.startFiles + downloads);
  const int64_t expectedBytes = std::min<int64_t>(kInt32Max, at.startBytes + bytes);
  ZD_FUZZ_CHECK(fileCount == expectedFiles, "file count " + std::to_string(fileCount) + ", expected " +
                                                std::to_string(expectedFiles));
  ZD_FUZZ_CHECK(totalBytes == expectedBytes, "total bytes " + std::to_string(totalBytes) + ", expected " +
                                                 std::to_string(expectedBytes));
  ReleaseQueue(list);
  ZD_FUZZ_CHECK(list.head == nullptr && list.tail == nullptr && list.count == 0,
                std::string("the released list is not empty"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fixture& fixture = TheFixture();
  zdfuzz::WriteWholeFile(fixture.listPath, data, size);
  const std::vector<Line> lines = SplitList(data, size);
  for (const Installation& at : fixture.installations) ParseAndCheck(fixture, at, lines);
  return 0;
}
