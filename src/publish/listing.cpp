// Reading and writing published versions (listing.h).
#include "publish/listing.h"

#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "patchlist/patch_list.h"
#include "publish/names.h"

namespace publish {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kManifestFormat = 1;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool ReadAll(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool LooksLikeManifest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char c = 0;
  while (in.get(c)) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return c == '{';
  }
  return false;
}

}  // namespace

ScratchFolder::ScratchFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zdp-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

std::string BelowBase(const std::string& remote) {
  return remote.empty() || remote[0] != '/' ? remote : remote.substr(1);
}

std::string ManifestPathFor(const std::string& listPath) { return listPath + ".manifest.json"; }

namespace {

// Parses one piece of a list with the clients' parser and appends what it kept.
bool ReadPiece(const std::string& piecePath, const std::string& installDir, std::vector<ListedFile>* out,
               std::string* error) {
  EntryList list;
  if (!ParsePatchListFile(piecePath.c_str(), installDir.c_str(), "/", list, nullptr, nullptr)) {
    *error = Errno("cannot read " + piecePath);
    return false;
  }
  const size_t prefix = installDir.size() + 1;
  for (EntryNode* node = list.head; node != nullptr; node = node->next) {
    const PatchEntry& entry = *static_cast<const PatchEntry*>(node->value);
    ListedFile file;
    file.kind = entry.kind;
    file.stamp = {entry.date, entry.time};
    file.size = entry.size;
    file.unpackedSize = entry.unpackedSize;
    file.local = std::string(entry.localPath).substr(prefix);
    for (char& c : file.local) {
      if (c == '/') c = '\\';
    }
    file.remote = entry.listedName;
    out->push_back(std::move(file));
  }
  ReleaseQueue(list);
  return true;
}

}  // namespace

bool ReadList(const std::string& listPath, std::vector<ListedFile>* out, std::string* error) {
  // An empty folder poses as the installation: every listed file is missing there, so
  // the parser keeps every line it accepts. The parser keeps a record of some KiB per
  // line, so a long list goes to it in pieces of whole lines (it reads line by line,
  // so a piece reads as the same lines would in the whole).
  ScratchFolder installation;
  ScratchFolder pieces;
  std::string text;
  if (installation.path().empty() || pieces.path().empty()) {
    *error = Errno("cannot create a temporary folder");
    return false;
  }
  if (!ReadAll(listPath, &text)) {
    *error = Errno("cannot read " + listPath);
    return false;
  }
  constexpr int kLinesPerPiece = 2000;
  const std::string piece = pieces.path() + "/piece";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    for (int lines = 0; lines < kLinesPerPiece && end < text.size(); ++lines) {
      const size_t newline = text.find('\n', end);
      end = newline == std::string::npos ? text.size() : newline + 1;
    }
    std::ofstream file(piece, std::ios::binary | std::ios::trunc);
    file.write(text.data() + start, static_cast<std::streamsize>(end - start));
    file.close();
    if (!file) {
      *error = Errno("cannot write " + piece);
      return false;
    }
    if (!ReadPiece(piece, installation.path(), out, error)) return false;
    start = end;
  }
  return true;
}

bool HashFile(const std::string& path, uint64_t* hash, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Errno("cannot read " + path);
    return false;
  }
  XXH3_state_t* state = XXH3_createState();
  XXH3_64bits_reset(state);
  std::vector<char> buffer(1 << 20);
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Errno("cannot read " + path);
      ok = false;
      break;
    }
    if (n == 0) break;
    XXH3_64bits_update(state, buffer.data(), static_cast<size_t>(n));
  }
  *hash = XXH3_64bits_digest(state);
  XXH3_freeState(state);
  ::close(fd);
  return ok;
}

namespace {

// What a manifest records of one file.
struct ManifestRecord {
  std::string remote;
  uint64_t hash = 0;
  uint64_t packedHash = 0;
  bool valid = false;
  bool historyKnown = false;  // a manifest of an earlier build of this tool has none
  NameHistory history;
};

// A record's "history": {"date", "time", "sizes": [...], "some_sizes_unknown": true}.
bool ParseHistory(const json& value, NameHistory* out) {
  if (!value.is_object() || !value.contains("date") || !value["date"].is_string() || !value.contains("time") ||
      !value["time"].is_string() || !value.contains("sizes") || !value["sizes"].is_array())
    return false;
  NameHistory history;
  history.highest = {value["date"].get<std::string>(), value["time"].get<std::string>()};
  for (const json& size : value["sizes"]) {
    if (!size.is_number_integer()) return false;
    history.Add(history.highest, size.get<int64_t>());
  }
  history.sizesKnown = !value.value("some_sizes_unknown", false);
  *out = std::move(history);
  return true;
}

json HistoryJson(const NameHistory& history) {
  json out = {{"date", history.highest.date}, {"time", history.highest.time}, {"sizes", history.sizes}};
  if (!history.sizesKnown) out["some_sizes_unknown"] = true;
  return out;
}

// Parses a manifest: its head (format, list, hash of the list) in *head, and its file
// records by local name. Each record is taken out as soon as it is parsed, so a
// manifest of 100,000 files never stands in memory as one JSON tree.
bool ParseManifest(const std::string& path, json* head, std::map<std::string, ManifestRecord>* records) {
  std::string text;
  if (!ReadAll(path, &text)) return false;
  const json::parser_callback_t take = [records](int, json::parse_event_t event, json& parsed) {
    if (event != json::parse_event_t::object_end || !parsed.is_object() || !parsed.contains("local")) return true;
    if (records != nullptr && parsed["local"].is_string()) {
      ManifestRecord& record = (*records)[parsed["local"].get<std::string>()];
      record.remote = parsed.value("remote", "");
      record.valid =
          ParseHex(parsed.value("xxh3", ""), &record.hash) && ParseHex(parsed.value("packed_xxh3", ""), &record.packedHash);
      record.historyKnown = parsed.contains("history") && ParseHistory(parsed["history"], &record.history);
    }
    return false;  // not kept in the tree
  };
  *head = json::parse(text, take, false);
  return !head->is_discarded() && head->is_object();
}

}  // namespace

namespace {

// The zone a list's heading names ("# Listed dates and times are local time in ZONE").
std::string HeadingZone(const std::string& listPath) {
  static const std::string kHeading = "# Listed dates and times are local time in ";
  std::ifstream in(listPath, std::ios::binary);
  std::string line;
  for (int i = 0; i < 5 && std::getline(in, line); ++i) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(kHeading, 0) == 0) return line.substr(kHeading.size());
  }
  return "";
}

}  // namespace

bool LoadVersion(const std::string& path, Version* out, std::string* error, std::string* setAside) {
  Version version;
  json head;
  if (LooksLikeManifest(path)) {
    version.manifestPath = path;
    if (!ParseManifest(path, &head, nullptr) || !head.contains("list") || !head["list"].is_string()) {
      *error = path + " is not a manifest of zidodiruv-publish";
      return false;
    }
    version.listPath = (fs::path(path).parent_path() / head["list"].get<std::string>()).string();
  } else {
    version.listPath = path;
    const std::string beside = ManifestPathFor(path);
    if (fs::exists(beside)) version.manifestPath = beside;
  }
  if (!ReadList(version.listPath, &version.files, error)) return false;
  version.zone = HeadingZone(version.listPath);
  // What each line lists, until the manifest tells the whole history.
  for (ListedFile& file : version.files) file.history.Add(file.stamp, file.kind == 'D' ? -1 : file.ContentSize());

  if (!version.manifestPath.empty()) {
    std::map<std::string, ManifestRecord> records;
    std::string listBytes;
    uint64_t listHash = 0;
    if (!ParseManifest(version.manifestPath, &head, &records) || head.value("format", 0) != kManifestFormat ||
        !ParseHex(head.value("list_xxh3", ""), &listHash)) {
      *error = version.manifestPath + " is not a manifest of zidodiruv-publish (format " +
               std::to_string(kManifestFormat) + ")";
      return false;
    }
    if (!ReadAll(version.listPath, &listBytes) || listHash != XXH3_64bits(listBytes.data(), listBytes.size())) {
      *error = version.manifestPath + " does not describe " + version.listPath + " (the list was changed after it)";
      if (setAside == nullptr) return false;
      *setAside = *error;
      error->clear();
      version.manifestPath.clear();
      records.clear();
    }
    for (ListedFile& file : version.files) {
      const auto found = records.find(file.local);
      if (found == records.end()) continue;
      if (found->second.historyKnown) file.history = found->second.history;
      if (file.kind == 'D') continue;
      file.hashKnown = found->second.valid && found->second.remote == file.remote;
      file.hash = found->second.hash;
      file.packedHash = found->second.packedHash;
    }
  }
  *out = std::move(version);
  return true;
}

bool IsManifest(const std::string& path) {
  json head;
  return LooksLikeManifest(path) && ParseManifest(path, &head, nullptr) &&
         head.value("tool", "") == "zidodiruv-publish";
}

void NameHistory::Add(const Stamp& stamp, int64_t size) {
  // Greatest as the clients compare: byte by byte, each on its own.
  if (highest.date.empty() || stamp.date > highest.date) highest.date = stamp.date;
  if (highest.time.empty() || stamp.time > highest.time) highest.time = stamp.time;
  if (size < 0) {
    sizesKnown = false;
    return;
  }
  const auto at = std::lower_bound(sizes.begin(), sizes.end(), size);
  if (at == sizes.end() || *at != size) sizes.insert(at, size);
}

void NameHistory::Merge(const NameHistory& other) {
  if (other.highest.date.empty()) return;
  const bool known = sizesKnown && other.sizesKnown;
  Add(other.highest, -1);
  for (int64_t size : other.sizes) Add(other.highest, size);
  sizesKnown = known;
}

bool NameHistory::EveryHolderFetches(const Stamp& stamp, int64_t size) const {
  if (highest.date.empty()) return true;  // nothing listed before
  // A size no version listed differs from every holder's copy.
  if (sizesKnown && !std::binary_search(sizes.begin(), sizes.end(), size)) return true;
  return ClientFetches(stamp, 0, highest, 0);
}

std::string FormatLine(const ListedFile& file) {
  std::string size = std::to_string(file.ContentSize());
  if (file.kind == 'Z') size += ":" + std::to_string(file.size);
  return std::string(1, file.kind) + " " + file.stamp.date + " " + file.stamp.time + " " + size + " " + file.local +
         " " + file.remote + "\r\n";
}

bool WriteManifest(const Version& version, const std::string& zone, std::string* error) {
  std::string listBytes;
  if (!ReadAll(version.listPath, &listBytes)) {
    *error = Errno("cannot read " + version.listPath);
    return false;
  }
  // Names a previous list brought in are bytes; a byte that is no UTF-8 becomes U+FFFD.
  const auto text = [](const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); };
  // One record a line, written as it is made; the head's keys follow in their order.
  std::ofstream out(version.manifestPath, std::ios::binary | std::ios::trunc);
  out << "{\"files\":[";
  const char* separator = "\n";
  for (const ListedFile& file : version.files) {
    json record = {{"kind", std::string(1, file.kind)},
                   {"date", file.stamp.date},
                   {"time", file.stamp.time},
                   {"local", file.local},
                   {"remote", file.remote}};
    if (file.kind != 'D') {
      record["size"] = file.size;
      if (file.kind == 'Z') record["unpacked"] = file.unpackedSize;
      record["xxh3"] = HexOf(file.hash);
      record["packed_xxh3"] = HexOf(file.packedHash);
    }
    record["history"] = HistoryJson(file.history);
    out << separator << text(record);
    separator = ",\n";
  }
  out << "\n]";
  const json head = {{"format", kManifestFormat},
                     {"tool", "zidodiruv-publish"},
                     {"list", fs::path(version.listPath).filename().string()},
                     {"list_xxh3", HexOf(XXH3_64bits(listBytes.data(), listBytes.size()))},
                     {"zone", zone}};
  for (const auto& item : head.items()) out << ",\n" << text(item.key()) << ":" << text(item.value());
  out << "\n}\n";
  out.close();
  if (!out) {
    *error = Errno("cannot write " + version.manifestPath);
    return false;
  }
  return true;
}

}  // namespace publish
