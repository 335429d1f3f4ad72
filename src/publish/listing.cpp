// Reading and writing published versions (listing.h).
#include "publish/listing.h"

#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

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

bool ReadList(const std::string& listPath, std::vector<ListedFile>* out, std::string* error) {
  // An empty folder poses as the installation: every listed file is missing there, so
  // the parser keeps every line it accepts.
  ScratchFolder folder;
  if (folder.path().empty()) {
    *error = Errno("cannot create a temporary folder");
    return false;
  }
  EntryList list;
  if (!ParsePatchListFile(listPath.c_str(), folder.path().c_str(), "/", list, nullptr, nullptr)) {
    *error = Errno("cannot read " + listPath);
    return false;
  }
  const size_t prefix = folder.path().size() + 1;
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

bool LoadVersion(const std::string& path, Version* out, std::string* error) {
  Version version;
  if (LooksLikeManifest(path)) {
    version.manifestPath = path;
    std::string text;
    if (!ReadAll(path, &text)) {
      *error = Errno("cannot read " + path);
      return false;
    }
    const json manifest = json::parse(text, nullptr, false);
    if (manifest.is_discarded() || !manifest.contains("list") || !manifest["list"].is_string()) {
      *error = path + " is not a manifest of zidodiruv-publish";
      return false;
    }
    version.listPath = (fs::path(path).parent_path() / manifest["list"].get<std::string>()).string();
  } else {
    version.listPath = path;
    const std::string beside = ManifestPathFor(path);
    if (fs::exists(beside)) version.manifestPath = beside;
  }
  if (!ReadList(version.listPath, &version.files, error)) return false;

  if (!version.manifestPath.empty()) {
    std::string text;
    std::string listBytes;
    if (!ReadAll(version.manifestPath, &text) || !ReadAll(version.listPath, &listBytes)) {
      *error = Errno("cannot read " + version.manifestPath);
      return false;
    }
    const json manifest = json::parse(text, nullptr, false);
    uint64_t listHash = 0;
    if (manifest.is_discarded() || manifest.value("format", 0) != kManifestFormat ||
        !ParseHex(manifest.value("list_xxh3", ""), &listHash) || !manifest.contains("files") ||
        !manifest["files"].is_array()) {
      *error = version.manifestPath + " is not a manifest of zidodiruv-publish (format " +
               std::to_string(kManifestFormat) + ")";
      return false;
    }
    if (listHash != XXH3_64bits(listBytes.data(), listBytes.size())) {
      *error = version.manifestPath + " does not describe " + version.listPath + " (the list was changed after it)";
      return false;
    }
    std::map<std::string, const json*> byName;
    for (const json& file : manifest["files"]) {
      if (file.is_object() && file.contains("local") && file["local"].is_string())
        byName[file["local"].get<std::string>()] = &file;
    }
    for (ListedFile& file : version.files) {
      if (file.kind == 'D') continue;
      const auto found = byName.find(file.local);
      if (found == byName.end()) continue;
      const json& record = *found->second;
      file.hashKnown = ParseHex(record.value("xxh3", ""), &file.hash) &&
                       ParseHex(record.value("packed_xxh3", ""), &file.packedHash) &&
                       record.value("remote", "") == file.remote;
    }
  }
  *out = std::move(version);
  return true;
}

std::string FormatLine(const ListedFile& file) {
  std::string size = std::to_string(file.kind == 'Z' ? file.unpackedSize : file.size);
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
  json files = json::array();
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
    files.push_back(std::move(record));
  }
  const json manifest = {{"format", kManifestFormat},
                         {"tool", "zidodiruv-publish"},
                         {"list", fs::path(version.listPath).filename().string()},
                         {"list_xxh3", HexOf(XXH3_64bits(listBytes.data(), listBytes.size()))},
                         {"zone", zone},
                         {"files", std::move(files)}};
  std::ofstream out(version.manifestPath, std::ios::binary | std::ios::trunc);
  // Names a previous list brought in are bytes; a byte that is no UTF-8 becomes U+FFFD.
  out << manifest.dump(1, ' ', false, json::error_handler_t::replace) << '\n';
  out.close();
  if (!out) {
    *error = Errno("cannot write " + version.manifestPath);
    return false;
  }
  return true;
}

}  // namespace publish
