// What a published file may be called: a local name (backslashes) that every client
// holds as the same plain file, and its name on the server.
#pragma once
#include <cstdint>
#include <string>

namespace publish {

// Room the clients have for composed paths (their fixed 1024-byte path fields).
struct NameLimits {
  int installDirMax = 255;  // the longest installation folder a client may have
  int baseDirMax = 255;     // BASEDIRECTORY holds at most 255 characters
};

// Characters a remote name adds to the local name: '.', 16 hex digits, ".gz".
constexpr int kRemoteSuffixMax = 20;

// Why a local name cannot be published, or "" when it can.
std::string NameFault(const std::string& local, const NameLimits& limits);

// The longest local name the limits allow.
int LongestLocalName(const NameLimits& limits);

// The name as Windows compares names: ASCII letters upper-cased.
std::string CaseKey(const std::string& name);

// The local name with forward slashes.
std::string ToSlashes(std::string name);

// The remote name of a file: its local name with slashes, a dot and the content hash
// in 16 hex digits, and ".gz" when it is stored packed. A new content gets a new name,
// so a list being replaced never has its files overwritten under it.
std::string RemoteName(const std::string& local, uint64_t hash, bool packed);

// The 16 lower-case hex digits of a hash, and back.
std::string HexOf(uint64_t value);
bool ParseHex(const std::string& text, uint64_t* value);

}  // namespace publish
