// Published names (names.h). The list's own check of local names (local_name.h) gives
// the reasons Windows has; this adds what the list's columns and the clients' path
// fields demand.
#include "publish/names.h"

#include <cstdio>

#include "patchlist/local_name.h"

namespace publish {

namespace {
// The Windows program's paths for a local name, below its installation folder: the file
// itself ("<dir>\<name>"), its staging copy ("<dir>\Update\<name>", ".gz" added for a
// packed file) and, longest, the download's temporary file beside the staging copy
// (".part" added). The system's ANSI file calls take paths of at most MAX_PATH - 1
// characters, and CreateDirectoryA folders of at most 247 (MAX_PATH - 12, room for an
// 8.3 name and the terminator). A name is judged as if packed: whether it is packed
// depends on its content, which a later version may change.
constexpr int kMaxPath = 259;
constexpr int kMaxFolder = 247;
constexpr int kStagingFolder = 8;  // "\Update\"
constexpr int kDownloadSuffix = 3 + 5;  // ".gz", ".part"
// Both clients' path fields hold 1023 characters: base directory + "/" + remote name.
constexpr int kPathField = 1023;
// A server's file systems hold 255 characters a component; the remote name adds its
// hash and ".gz" to the last one.
constexpr int kComponentMax = 255 - kRemoteSuffixMax;
}  // namespace

int LongestLocalName(const NameLimits& limits) {
  const int byWindows = kMaxPath - limits.installDirMax - kStagingFolder - kDownloadSuffix;
  const int byRemote = kPathField - limits.baseDirMax - 1 - kRemoteSuffixMax;
  return byWindows < byRemote ? byWindows : byRemote;
}

int LongestFolderName(const NameLimits& limits) { return kMaxFolder - limits.installDirMax - kStagingFolder; }

std::string NameFault(const std::string& local, const NameLimits& limits) {
  const LocalNameFault fault = CheckLocalName(local.c_str(), local.size());
  if (fault != LocalNameFault::kNone) return DescribeLocalNameFault(fault);
  if (local.find(' ') != std::string::npos) return "holds a blank, which separates the columns of the list";
  char text[320];
  const int longest = LongestLocalName(limits);
  if (static_cast<int>(local.size()) > longest) {
    std::snprintf(text, sizeof text,
                  "is %zu characters long; the patchers' paths hold names of at most %d (an installation folder "
                  "of up to %d characters, --install-dir-max; a base directory of up to %d)",
                  local.size(), longest, limits.installDirMax, limits.baseDirMax);
    return text;
  }
  const size_t folder = local.rfind('\\');
  if (folder != std::string::npos && static_cast<int>(folder) > LongestFolderName(limits)) {
    std::snprintf(text, sizeof text,
                  "lies in a folder name of %zu characters; the Windows patcher creates folders of at most %d "
                  "below an installation folder of up to %d characters (--install-dir-max)",
                  folder, LongestFolderName(limits), limits.installDirMax);
    return text;
  }
  size_t start = 0;
  for (size_t end = local.find('\\'); start <= local.size(); end = local.find('\\', start)) {
    if (end == std::string::npos) end = local.size();
    if (static_cast<int>(end - start) > kComponentMax) {
      std::snprintf(text, sizeof text,
                    "has a component of %zu characters; with its hash and \".gz\" on the server it would pass "
                    "the 255 a file system holds (at most %d)",
                    end - start, kComponentMax);
      return text;
    }
    start = end + 1;
  }
  return "";
}

std::string CaseKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

std::string ToSlashes(std::string name) {
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  return name;
}

std::string HexOf(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

bool ParseHex(const std::string& text, uint64_t* value) {
  if (text.size() != 16) return false;
  uint64_t v = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    v = v << 4 | static_cast<uint64_t>(digit);
  }
  *value = v;
  return true;
}

std::string RemoteName(const std::string& local, uint64_t storedHash, bool packed) {
  return ToSlashes(local) + "." + HexOf(storedHash) + (packed ? ".gz" : "");
}

bool HashInRemoteName(const std::string& local, const std::string& remote, char kind, uint64_t* storedHash) {
  const std::string stem = ToSlashes(local) + ".";
  const std::string tail = kind == 'Z' ? ".gz" : "";
  if (remote.size() != stem.size() + 16 + tail.size() || remote.compare(0, stem.size(), stem) != 0 ||
      remote.compare(stem.size() + 16, std::string::npos, tail) != 0)
    return false;
  return ParseHex(remote.substr(stem.size(), 16), storedHash);
}

}  // namespace publish
