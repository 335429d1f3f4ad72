// What a published file may be called: a local name (backslashes) that every client
// holds as the same plain file, and its name on the server.
#pragma once
#include <cstdint>
#include <string>

namespace publish {

// Room the clients have for composed paths. The Windows program works with its files
// through the system's ANSI calls, whose paths stay under MAX_PATH, below an
// installation folder of up to installDirMax characters; the default leaves local names
// of 100 characters room.
struct NameLimits {
  int installDirMax = 140;  // the longest installation folder a client may have
  int baseDirMax = 255;     // BASEDIRECTORY holds at most 255 characters
};

// Characters a remote name adds to the local name: '.', 16 hex digits, ".gz".
constexpr int kRemoteSuffixMax = 20;

// Why a local name cannot be published, or "" when it can.
std::string NameFault(const std::string& local, const NameLimits& limits);

// The longest local name the limits allow, and the longest folder part of one (the
// characters before its last backslash).
int LongestLocalName(const NameLimits& limits);
int LongestFolderName(const NameLimits& limits);

// The name as Windows compares names: ASCII letters upper-cased.
std::string CaseKey(const std::string& name);

// The local name with forward slashes.
std::string ToSlashes(std::string name);

// The remote name of a file: its local name with slashes, a dot and the hash of the
// bytes stored on the server in 16 hex digits (for a plain file its content, for a
// packed one the gzip file), and ".gz" when it is stored packed. Other bytes get another
// name, whatever made them (a new content, another --level), so a list being replaced
// never has its files overwritten under it; the same bytes keep their name.
std::string RemoteName(const std::string& local, uint64_t storedHash, bool packed);

// The hash a remote name of this tool carries for `local` listed as `kind`, or false
// when the name is not of that form.
bool HashInRemoteName(const std::string& local, const std::string& remote, char kind, uint64_t* storedHash);

// The 16 lower-case hex digits of a hash, and back.
std::string HexOf(uint64_t value);
bool ParseHex(const std::string& text, uint64_t* value);

}  // namespace publish
