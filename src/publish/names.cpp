// Published names (names.h). The list's own check of local names (local_name.h) gives
// the reasons Windows has; this adds what the list's columns and the clients' path
// fields demand.
#include "publish/names.h"

#include <cstdio>

#include "patchlist/local_name.h"

namespace publish {

namespace {
// A client's path fields hold 1023 characters: installDir + "\Update\" + name + ".gz"
// for the staging path, base directory + "/" + remote name for the remote path.
constexpr int kPathField = 1023;
constexpr int kStagingExtra = 8 + 3;
}  // namespace

int LongestLocalName(const NameLimits& limits) {
  const int byStaging = kPathField - limits.installDirMax - kStagingExtra;
  const int byRemote = kPathField - limits.baseDirMax - 1 - kRemoteSuffixMax;
  return byStaging < byRemote ? byStaging : byRemote;
}

std::string NameFault(const std::string& local, const NameLimits& limits) {
  const LocalNameFault fault = CheckLocalName(local.c_str(), local.size());
  if (fault != LocalNameFault::kNone) return DescribeLocalNameFault(fault);
  if (local.find(' ') != std::string::npos) return "holds a blank, which separates the columns of the list";
  const int longest = LongestLocalName(limits);
  if (static_cast<int>(local.size()) > longest) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "is %zu characters long; clients hold at most %d (installation folder up to %d "
                  "characters, base directory up to %d)",
                  local.size(), longest, limits.installDirMax, limits.baseDirMax);
    return text;
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

std::string RemoteName(const std::string& local, uint64_t hash, bool packed) {
  return ToSlashes(local) + "." + HexOf(hash) + (packed ? ".gz" : "");
}

}  // namespace publish
