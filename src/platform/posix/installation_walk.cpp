// The installation's walk and its listing cache (installation_walk.h), and the calls
// of files.h that declare the installation and spell its paths.
#include "platform/posix/installation_walk.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/files.h"

namespace plat {

namespace {

// Links followed in one walk before it gives up, as the kernel does (ELOOP).
constexpr int kLinkLimit = 40;
// Directory descriptors kept open for the run; past this they are all closed and
// opened again as needed, so a tree of many directories cannot exhaust descriptors.
constexpr int kOpenDirectoryLimit = 256;

const int kOutside = static_cast<int>(kFileErrorOutsideInstallation);

std::string Folded(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

struct Name {
  std::string spelling;
  unsigned char type;
};

int g_openDirectories = 0;

}  // namespace

// One directory of the installation as found on disk.
struct Dir {
  Dir* parent = nullptr;
  std::string name;  // its spelling in the parent; empty for the root
  int fd = -1;       // O_PATH descriptor, opened lazily
  bool listed = false;
  // Folded name -> the entries that fold to it, in byte order (usually one).
  std::unordered_map<std::string, std::vector<Name>> names;
  std::unordered_map<std::string, std::unique_ptr<Dir>> children;  // by spelling

  Dir() = default;
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir() { CloseFd(); }
  void CloseFd() {
    if (fd >= 0) {
      ::close(fd);
      --g_openDirectories;
      fd = -1;
    }
  }
};

namespace {

struct Installation {
  std::string root;  // as the caller gave it, without trailing separators
  std::string real;  // as the disk resolves it
  Dir top;
};

std::mutex g_mutex;
std::unique_ptr<Installation> g_installation;

// True when `path` is `base` or lies below it; `rest` is what follows `base`.
bool Below(const char* path, const std::string& base, const char** rest) {
  if (std::strncmp(path, base.c_str(), base.size()) != 0) return false;
  const char next = path[base.size()];
  if (next != '\0' && next != '/') return false;
  *rest = path + base.size();
  return true;
}

// Pushes the components of `text` so that the first ends on top of the stack ("" and
// "." are no components). Scanned from the end, so nothing is built on the way.
void PushComponents(const char* text, size_t length, std::vector<std::string>* stack) {
  size_t end = length;
  while (end > 0) {
    size_t start = end;
    while (start > 0 && text[start - 1] != '/') --start;
    if (end > start && !(end - start == 1 && text[start] == '.')) stack->emplace_back(text + start, end - start);
    end = start > 0 ? start - 1 : 0;
  }
}

int Fd(Dir* d) {
  if (d->fd >= 0) return d->fd;
  if (d->parent == nullptr) {
    errno = EBADF;
    return -1;
  }
  const int parentFd = Fd(d->parent);
  if (parentFd < 0) return -1;
  d->fd = ::openat(parentFd, d->name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (d->fd >= 0) ++g_openDirectories;
  return d->fd;
}

void CloseDescendantFds(Dir* d) {
  for (auto& child : d->children) {
    child.second->CloseFd();
    CloseDescendantFds(child.second.get());
  }
}

void Load(Dir* d) {
  if (d->listed) return;
  const int fd = Fd(d);
  if (fd < 0) return;
  d->listed = true;
  // A directory that cannot be listed (no read permission) still answers names
  // spelled exactly, through the look on disk in Find.
  const int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* stream = ::fdopendir(listFd);
  if (stream == nullptr) {
    ::close(listFd);
    return;
  }
  while (const dirent* e = ::readdir(stream)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    AddName(d, e->d_name, e->d_type);
  }
  ::closedir(stream);
}

// The entry of `d` that `component` names, ignoring ASCII case: the exact spelling if
// there is one, else the first in byte order. Most lists spell names as the disk does,
// so the exact name is tried on disk first and a directory is listed only when a name
// is missing in the caller's spelling; a directory found once is remembered. `st` gets
// the entry's status when the look on disk found it (`*haveStatus`).
bool FromListing(Dir* d, const std::string& component, Name* out, struct stat* st, bool* haveStatus) {
  auto it = d->names.find(Folded(component));
  if (it == d->names.end() || it->second.empty()) return false;
  Name* chosen = &it->second.front();
  for (Name& n : it->second) {
    if (n.spelling == component) chosen = &n;
  }
  if (chosen->type == DT_UNKNOWN) {
    // Some file systems leave the type out of their listings.
    if (::fstatat(Fd(d), chosen->spelling.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
      chosen->type = TypeOf(st->st_mode);
      *haveStatus = true;
    }
  }
  *out = *chosen;
  return true;
}

bool Find(Dir* d, const std::string& component, Name* out, struct stat* st, bool* haveStatus) {
  *haveStatus = false;
  if (d->listed) {
    if (FromListing(d, component, out, st, haveStatus)) return true;
  } else if (d->children.count(component) != 0) {
    *out = Name{component, DT_DIR};
    return true;
  }
  const int fd = Fd(d);
  if (fd < 0) return false;
  if (::fstatat(fd, component.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
    // Listed: a name others made since the listing was read.
    AddName(d, component, TypeOf(st->st_mode));
    *out = Name{component, TypeOf(st->st_mode)};
    *haveStatus = true;
    return true;
  }
  if (errno != ENOENT || d->listed) return false;
  Load(d);
  return d->listed && FromListing(d, component, out, st, haveStatus);
}

Dir* Child(Dir* d, const std::string& spelling) {
  std::unique_ptr<Dir>& child = d->children[spelling];
  if (!child) {
    child = std::make_unique<Dir>();
    child->parent = d;
    child->name = spelling;
  }
  return child.get();
}

// The place of directory `d` itself: its parent and its name, or "." in the root.
bool PlaceOfDirectory(Dir* d, Place* out) {
  Dir* holder = d->parent != nullptr ? d->parent : d;
  out->dir = holder;
  out->dirfd = Fd(holder);
  if (out->dirfd < 0) return false;
  out->leaf = d->parent != nullptr ? d->name : ".";
  out->exists = true;
  out->type = DT_DIR;
  return true;
}

// Keeps the descriptors of a long run bounded; called before each walk, never during.
void TrimDescriptors() {
  if (g_installation != nullptr && g_openDirectories > kOpenDirectoryLimit) {
    CloseDescendantFds(&g_installation->top);
  }
}

}  // namespace

Walk::Walk() : lock_(g_mutex) { TrimDescriptors(); }

bool Walk::Resolve(const char* path, bool followLeaf, Place* out) {
  *out = Place{};
  Installation* in = g_installation.get();
  const char* rest = nullptr;
  if (in == nullptr || !(Below(path, in->root, &rest) || Below(path, in->real, &rest))) {
    out->leaf = path;
    return true;
  }
  // The walk's stack of components still to go; kept between walks (they all run
  // under g_mutex) so that a long list does not allocate it for every line.
  static std::vector<std::string> pending;
  pending.clear();
  PushComponents(rest, std::strlen(rest), &pending);
  Dir* cur = &in->top;
  int links = 0;
  if (pending.empty()) return PlaceOfDirectory(cur, out);
  while (!pending.empty()) {
    const std::string component = std::move(pending.back());
    pending.pop_back();
    const bool last = pending.empty();
    if (component == "..") {
      if (cur->parent == nullptr) return Fail(kOutside);
      cur = cur->parent;
      if (last) return PlaceOfDirectory(cur, out);
      continue;
    }
    Name found;
    struct stat st;
    bool haveStatus = false;
    const bool has = Find(cur, component, &found, &st, &haveStatus);
    if (has && found.type == DT_LNK && (!last || followLeaf)) {
      if (++links > kLinkLimit) return Fail(ELOOP);
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(Fd(cur), found.spelling.c_str(), target, sizeof target - 1);
      if (n < 0) return false;
      if (n == 0) return Fail(ENOENT);
      target[n] = '\0';
      if (target[0] == '/') {
        const char* inside = nullptr;
        if (!Below(target, in->real, &inside) && !Below(target, in->root, &inside)) return Fail(kOutside);
        cur = &in->top;
        PushComponents(inside, std::strlen(inside), &pending);
      } else {
        PushComponents(target, static_cast<size_t>(n), &pending);
      }
      // A link to "." or to the root names the directory reached so far.
      if (pending.empty()) return PlaceOfDirectory(cur, out);
      continue;
    }
    if (last) {
      out->dir = cur;
      out->dirfd = Fd(cur);
      if (out->dirfd < 0) return false;
      out->leaf = has ? found.spelling : component;
      out->exists = has;
      out->type = has ? found.type : static_cast<unsigned char>(DT_UNKNOWN);
      out->haveStatus = has && haveStatus;
      if (out->haveStatus) out->status = st;
      return true;
    }
    if (!has) return Fail(ENOENT);
    if (found.type != DT_DIR) return Fail(ENOTDIR);
    cur = Child(cur, found.spelling);
    if (Fd(cur) < 0) {
      const int error = errno;
      if (error == ENOENT) RemoveName(cur->parent, found.spelling);
      return Fail(error);
    }
  }
  return Fail(ENOENT);  // not reached: the last component returns above
}

// A directory not listed yet is read from disk when it is, and has nothing to follow.
void AddName(Dir* d, const std::string& spelling, unsigned char type) {
  if (d == nullptr || !d->listed) return;
  std::vector<Name>& same = d->names[Folded(spelling)];
  auto at = std::lower_bound(same.begin(), same.end(), spelling,
                             [](const Name& n, const std::string& s) { return n.spelling < s; });
  if (at != same.end() && at->spelling == spelling) {
    at->type = type;
  } else {
    same.insert(at, Name{spelling, type});
  }
}

void RemoveName(Dir* d, const std::string& spelling) {
  if (d == nullptr) return;
  d->children.erase(spelling);
  if (!d->listed) return;
  auto it = d->names.find(Folded(spelling));
  if (it == d->names.end()) return;
  std::vector<Name>& same = it->second;
  same.erase(std::remove_if(same.begin(), same.end(), [&](const Name& n) { return n.spelling == spelling; }),
             same.end());
  if (same.empty()) d->names.erase(it);
}

bool OpenInstallation(const char* root) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_installation.reset();
  if (root == nullptr || root[0] == '\0') return Fail(ENOENT);
  std::string given = root;
  while (given.size() > 1 && given.back() == '/') given.pop_back();
  char real[PATH_MAX];
  if (::realpath(given.c_str(), real) == nullptr) return false;
  const int fd = ::open(real, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  auto in = std::make_unique<Installation>();
  // The root "/" leaves an empty text: every absolute path then lies below it.
  in->root = given == "/" ? std::string() : given;
  in->real = std::strcmp(real, "/") == 0 ? std::string() : std::string(real);
  in->top.fd = fd;
  ++g_openDirectories;
  g_installation = std::move(in);
  return true;
}

void CloseInstallation() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_installation.reset();
}

bool ResolvePath(const char* path, char* out, size_t capacity) {
  return AtPlace(path, true, [out, capacity](const Place& p) {
    std::string text;
    if (p.dir == nullptr) {
      text = p.leaf;
    } else {
      std::vector<const std::string*> names;
      for (Dir* d = p.dir; d->parent != nullptr; d = d->parent) names.push_back(&d->name);
      text = g_installation->real;
      for (auto it = names.rbegin(); it != names.rend(); ++it) text += '/' + **it;
      if (p.leaf != ".") text += '/' + p.leaf;
      if (text.empty()) text = "/";
    }
    if (text.size() >= capacity) {
      if (capacity > 0) out[0] = '\0';
      return Fail(ENAMETOOLONG);
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
  });
}

}  // namespace plat
