// Linux files: stat, unlink, rename, copy through a temporary file, futimens.
// "Read-only" is the absence of the owner's write bit. The temporary directory is
// private to the user: a shared /tmp would let another user plant a link where the
// patch list is written.
//
// The installation (files.h) is walked one component at a time from a descriptor of
// its root: every directory below it is opened with O_NOFOLLOW relative to its parent,
// and every change is made with the *at calls on the directory that holds the name,
// so the kernel never follows a link the walk has not judged. A link met on the way is
// read and its text spliced into the rest of the path; one that climbs above the root
// or names an absolute place outside it ends the walk. A name is first tried on disk
// as the caller spells it; only a directory where that misses is listed (once per
// installation, folded to ASCII lower case), so a list spelled as the disk costs one
// fstatat per line on remembered directory descriptors. What this file creates,
// renames or deletes updates the listings, and a name a listing lacks is tried once
// more on disk in the caller's spelling (others may have made it since).
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/files_posix.h"
#include "platform/posix/filetime_posix.h"

namespace plat {

struct TimesFile {
  int fd;
};

char PathSeparator() { return '/'; }

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

unsigned char TypeOf(mode_t mode) {
  if (S_ISDIR(mode)) return DT_DIR;
  if (S_ISLNK(mode)) return DT_LNK;
  if (S_ISREG(mode)) return DT_REG;
  return DT_UNKNOWN;
}

struct Name {
  std::string spelling;
  unsigned char type;
};

int g_openDirectories = 0;

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

struct Installation {
  std::string root;  // as the caller gave it, without trailing separators
  std::string real;  // as the disk resolves it
  Dir top;
};

std::mutex g_mutex;
std::unique_ptr<Installation> g_installation;

// Where a path leads: the directory that holds its last component, and that name.
// Outside the installation the directory is the working directory and the name is the
// whole path, so every call below works the same way for both.
struct Place {
  Dir* dir = nullptr;  // null outside the installation
  int dirfd = AT_FDCWD;
  std::string leaf;
  bool exists = false;  // inside only: the name is known on disk
  unsigned char type = DT_UNKNOWN;
  bool haveStatus = false;  // inside only: `status` was read by the walk
  struct stat status;
};

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

// The listing follows what this file does; a directory not listed yet is read from
// disk when it is, and has nothing to follow.
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
int PlaceOfDirectory(Dir* d, Place* out) {
  Dir* holder = d->parent != nullptr ? d->parent : d;
  out->dir = holder;
  out->dirfd = Fd(holder);
  if (out->dirfd < 0) return errno;
  out->leaf = d->parent != nullptr ? d->name : ".";
  out->exists = true;
  out->type = DT_DIR;
  return 0;
}

// Resolves `path` to a place (see Place). `followLeaf`: a link in the last component is
// followed like the others, for calls that act on what a name leads to; otherwise the
// link itself is the place. Returns 0 or the error code.
int Resolve(const char* path, bool followLeaf, Place* out) {
  *out = Place{};
  Installation* in = g_installation.get();
  const char* rest = nullptr;
  if (in == nullptr || !(Below(path, in->root, &rest) || Below(path, in->real, &rest))) {
    out->leaf = path;
    return 0;
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
      if (cur->parent == nullptr) return kOutside;
      cur = cur->parent;
      if (last) return PlaceOfDirectory(cur, out);
      continue;
    }
    Name found;
    struct stat st;
    bool haveStatus = false;
    const bool has = Find(cur, component, &found, &st, &haveStatus);
    if (has && found.type == DT_LNK && (!last || followLeaf)) {
      if (++links > kLinkLimit) return ELOOP;
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(Fd(cur), found.spelling.c_str(), target, sizeof target - 1);
      if (n <= 0) return n < 0 ? errno : ENOENT;
      target[n] = '\0';
      if (target[0] == '/') {
        const char* inside = nullptr;
        if (!Below(target, in->real, &inside) && !Below(target, in->root, &inside)) return kOutside;
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
      if (out->dirfd < 0) return errno;
      out->leaf = has ? found.spelling : component;
      out->exists = has;
      out->type = has ? found.type : static_cast<unsigned char>(DT_UNKNOWN);
      out->haveStatus = has && haveStatus;
      if (out->haveStatus) out->status = st;
      return 0;
    }
    if (!has) return ENOENT;
    if (found.type != DT_DIR) return ENOTDIR;
    cur = Child(cur, found.spelling);
    if (Fd(cur) < 0) {
      const int error = errno;
      if (error == ENOENT) RemoveName(cur->parent, found.spelling);
      return error;
    }
  }
  return ENOENT;  // not reached: the last component returns above
}

// Keeps the descriptors of a long run bounded; called before each walk, never during.
void TrimDescriptors() {
  if (g_installation != nullptr && g_openDirectories > kOpenDirectoryLimit) {
    CloseDescendantFds(&g_installation->top);
  }
}

// The mode of a newly created file: 0666 less the umask. The umask is read from
// /proc, because reading it with umask() changes it for a moment under other threads.
mode_t NewFileMode() {
  static const mode_t mode = [] {
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
      char line[256];
      while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
          mask = static_cast<mode_t>(value & 0777);
          break;
        }
      }
      std::fclose(status);
    }
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

// Changes the mode of the file at a place without following a link there.
bool SetModeAt(const Place& p, mode_t mode) {
  return ::fchmodat(p.dirfd, p.leaf.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
}

bool Fail(int error) {
  errno = error;
  return false;
}

// The shared part of MakeWritable and MakeExecutable: the file a path leads to (links
// inside followed, never a link at the end outside an installation) gets `change`.
bool ChangeMode(const char* path, mode_t (*change)(mode_t)) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, true, &p)) return Fail(error);
  struct stat st;
  if (::fstatat(p.dirfd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) return Fail(ELOOP);
  const mode_t mode = st.st_mode & 07777;
  const mode_t wanted = change(mode);
  return wanted == mode || SetModeAt(p, wanted);
}

}  // namespace

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
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, true, &p)) return Fail(error);
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
}

bool QueryFile(const char* path, FileStatus* out) {
  *out = FileStatus{};
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, true, &p)) return Fail(error);
  struct stat st;
  if (p.dir == nullptr) {
    if (::stat(path, &st) != 0) return false;
  } else {
    // The listing (checked on disk for names it lacks) already knows a missing file.
    if (!p.exists) return Fail(ENOENT);
    if (p.haveStatus) {
      st = p.status;
    } else if (::fstatat(p.dirfd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) RemoveName(p.dir, p.leaf);
      return false;
    }
  }
  out->exists = true;
  out->isDirectory = S_ISDIR(st.st_mode);
  out->size = static_cast<uint64_t>(st.st_size);
  out->lastWrite = FileTimeFromTimespec(st.st_mtim);
  return true;
}

bool MakeWritable(const char* path) {
  return ChangeMode(path, [](mode_t mode) { return static_cast<mode_t>(mode | S_IWUSR); });
}

bool MakeExecutable(const char* path) {
  // x wherever r is set
  return ChangeMode(path, [](mode_t mode) { return static_cast<mode_t>(mode | ((mode & 0444) >> 2)); });
}

bool RemoveFile(const char* path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, false, &p)) return Fail(error);
  struct stat st;
  if (::fstatat(p.dirfd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return Fail(EISDIR);
  if (::unlinkat(p.dirfd, p.leaf.c_str(), 0) != 0) {
    if (errno == ENOENT) RemoveName(p.dir, p.leaf);
    return false;
  }
  RemoveName(p.dir, p.leaf);
  return true;
}

bool RenameOver(const char* from, const char* to) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place source, target;
  if (const int error = Resolve(from, false, &source)) return Fail(error);
  if (const int error = Resolve(to, false, &target)) return Fail(error);
  struct stat st;
  if (::fstatat(source.dirfd, source.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  const unsigned char type = TypeOf(st.st_mode);
  mode_t mode = NewFileMode();
  if (::fstatat(target.dirfd, target.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
    // A link there is replaced, and its target left alone: its mode is not the file's.
    if (S_ISREG(st.st_mode)) mode = st.st_mode & 0777;
  }
  // The moved file appears with its final mode. Failing to set it (a file of another
  // owner) does not stop the move.
  if (type == DT_REG) SetModeAt(source, mode);
  if (::renameat(source.dirfd, source.leaf.c_str(), target.dirfd, target.leaf.c_str()) != 0) return false;
  RemoveName(source.dir, source.leaf);
  AddName(target.dir, target.leaf, type);
  return true;
}

bool CopyOver(const char* from, const char* to, const FileTime* lastWrite) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place source, target;
  if (const int error = Resolve(from, true, &source)) return Fail(error);
  if (const int error = Resolve(to, false, &target)) return Fail(error);
  struct stat old;
  const bool replacing = ::fstatat(target.dirfd, target.leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (replacing && S_ISDIR(old.st_mode)) return Fail(EISDIR);
  // A program still running from the target keeps it.
  if (replacing && S_ISREG(old.st_mode) && RunningFrom(old.st_dev, old.st_ino)) return Fail(ETXTBSY);
  const int noFollow = source.dir != nullptr ? O_NOFOLLOW : 0;
  const int in = ::openat(source.dirfd, source.leaf.c_str(), O_RDONLY | O_CLOEXEC | noFollow);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int saved = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(in);
    return Fail(saved);
  }
  const mode_t mode = (replacing && S_ISREG(old.st_mode) ? old.st_mode : st.st_mode) & 0777;

  // The copy is written to an unnamed file in the target's directory and named only
  // once it is complete, so a copy killed half-way leaves nothing behind; where the
  // file system has no unnamed files, it is written under the fresh name directly.
  const int unnamed = ::openat(target.dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  static std::mt19937 random{std::random_device{}()};
  std::string temp;
  int out = unnamed;
  bool named = false;
  int saved = 0;
  auto name = [&]() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
      temp = target.leaf + suffix;
      if (unnamed >= 0) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", unnamed);
        if (::linkat(AT_FDCWD, self, target.dirfd, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
      } else {
        out = ::openat(target.dirfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out >= 0) return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  };
  if (unnamed < 0 && !(named = name())) {
    saved = errno;
    ::close(in);
    return Fail(saved);
  }
  bool ok = CopyData(in, out) && ::fchmod(out, mode) == 0;
  if (ok && lastWrite != nullptr) {
    const timespec times[2] = {{0, UTIME_OMIT}, TimespecFromFileTime(*lastWrite)};
    ok = ::futimens(out, times) == 0;
  }
  ok = ok && ::fsync(out) == 0;
  if (!ok) saved = errno;
  // The program may have been started again while the copy was made. Checked before the
  // copy gets a name, so the scan adds nothing to the moment a named copy sits beside
  // the target.
  if (ok && ::fstatat(target.dirfd, target.leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode) &&
      RunningFrom(old.st_dev, old.st_ino)) {
    ok = false, saved = ETXTBSY;
  }
  if (ok && unnamed >= 0) {
    named = name();
    if (!named) ok = false, saved = errno;
  }
  if (::close(out) != 0 && ok) ok = false, saved = errno;
  ::close(in);
  if (ok && ::renameat(target.dirfd, temp.c_str(), target.dirfd, target.leaf.c_str()) != 0) ok = false, saved = errno;
  if (!ok) {
    if (named) ::unlinkat(target.dirfd, temp.c_str(), 0);
    return Fail(saved);
  }
  AddName(target.dir, target.leaf, DT_REG);
  return true;
}

bool RemoveProgramFile(const char* path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, false, &p)) return Fail(error);
  struct stat st;
  if (::fstatat(p.dirfd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
  if (S_ISREG(st.st_mode) && RunningFrom(st.st_dev, st.st_ino)) return Fail(ETXTBSY);
  if (::unlinkat(p.dirfd, p.leaf.c_str(), 0) != 0) return false;
  RemoveName(p.dir, p.leaf);
  return true;
}

bool MakeDirectory(const char* path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, false, &p)) return Fail(error);
  // Another spelling of the name counts as the directory being there.
  if (p.exists) return Fail(EEXIST);
  if (::mkdirat(p.dirfd, p.leaf.c_str(), 0777) != 0) return false;
  AddName(p.dir, p.leaf, DT_DIR);
  return true;
}

bool RemoveEmptyDirectory(const char* path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, false, &p)) return Fail(error);
  if (::unlinkat(p.dirfd, p.leaf.c_str(), AT_REMOVEDIR) != 0) return false;
  RemoveName(p.dir, p.leaf);
  return true;
}

int OpenFileDescriptor(const char* path, int flags, mode_t mode) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, false, &p)) {
    errno = error;
    return -1;
  }
  const int fd = ::openat(p.dirfd, p.leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd >= 0 && (flags & O_CREAT) != 0) AddName(p.dir, p.leaf, DT_REG);
  return fd;
}

std::FILE* OpenFileForWriting(const char* path) {
  const int fd = OpenFileDescriptor(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* stream = ::fdopen(fd, "wb");
  if (stream == nullptr) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
  }
  return stream;
}

namespace {

// A directory of our own: a real directory (not a link), owned by us, closed to others.
bool IsPrivateDirectory(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool WithSeparator(const char* dir, char* out, size_t capacity) {
  const size_t len = std::strlen(dir);
  const bool hasSlash = len > 0 && dir[len - 1] == '/';
  const int n = std::snprintf(out, capacity, "%s%s", dir, hasSlash ? "" : "/");
  if (n < 0 || static_cast<size_t>(n) >= capacity) {
    if (capacity > 0) out[0] = '\0';
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

}  // namespace

bool TempDirectory(char* out, size_t capacity) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && IsPrivateDirectory(runtime)) {
    return WithSeparator(runtime, out, capacity);
  }
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || base[0] != '/') base = "/tmp";
  char own[1024];
  const size_t baseLen = std::strlen(base);
  const bool hasSlash = baseLen > 0 && base[baseLen - 1] == '/';
  const int n = std::snprintf(own, sizeof own, "%s%szidodiruv-%u", base, hasSlash ? "" : "/",
                              static_cast<unsigned>(::geteuid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof own) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (::mkdir(own, 0700) != 0 && errno != EEXIST) return false;
  if (!IsPrivateDirectory(own)) {
    errno = EACCES;
    return false;
  }
  return WithSeparator(own, out, capacity);
}

bool ExecutablePath(char* out, size_t capacity) {
  if (capacity == 0) return false;
  const ssize_t n = ::readlink("/proc/self/exe", out, capacity);
  if (n < 0) return false;
  if (static_cast<size_t>(n) >= capacity) {
    out[0] = '\0';
    errno = ENAMETOOLONG;
    return false;
  }
  out[n] = '\0';
  return true;
}

bool IsOwnProgramFile(const char* path) {
  struct stat own;
  // The image itself, even when its name has gone or been replaced since the start.
  if (::stat("/proc/self/exe", &own) != 0) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  TrimDescriptors();
  Place p;
  if (const int error = Resolve(path, true, &p)) return Fail(error);
  struct stat st;
  // Inside the installation the walk has followed every link already.
  if (::fstatat(p.dirfd, p.leaf.c_str(), &st, p.dir != nullptr ? AT_SYMLINK_NOFOLLOW : 0) != 0) return false;
  return st.st_dev == own.st_dev && st.st_ino == own.st_ino;
}

TimesHandle OpenForTimes(const char* path) {
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    TrimDescriptors();
    Place p;
    if (const int error = Resolve(path, true, &p)) {
      errno = error;
      return nullptr;
    }
    // Inside the installation the walk has followed the links it may; one still at the
    // end (put there meanwhile) is refused rather than followed.
    const int noFollow = p.dir != nullptr ? O_NOFOLLOW : 0;
    fd = ::openat(p.dirfd, p.leaf.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | noFollow, 0666);
    if (fd >= 0) AddName(p.dir, p.leaf, DT_REG);
  }
  if (fd < 0) return nullptr;
  return new TimesFile{fd};
}

bool GetTimes(TimesHandle file, FileTimes* out) {
  struct stat st;
  if (file == nullptr || ::fstat(file->fd, &st) != 0) return false;
  // Linux keeps no settable creation time; the status-change time stands in for it.
  out->creation = FileTimeFromTimespec(st.st_ctim);
  out->lastAccess = FileTimeFromTimespec(st.st_atim);
  out->lastWrite = FileTimeFromTimespec(st.st_mtim);
  return true;
}

bool SetTimes(TimesHandle file, const FileTimes& times) {
  if (file == nullptr) return false;
  const timespec ts[2] = {TimespecFromFileTime(times.lastAccess),
                          TimespecFromFileTime(times.lastWrite)};
  return ::futimens(file->fd, ts) == 0;
}

void CloseTimes(TimesHandle file) {
  if (file == nullptr) return;
  ::close(file->fd);
  delete file;
}

}  // namespace plat
