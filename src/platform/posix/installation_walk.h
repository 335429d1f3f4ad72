// The walk of the installation (files.h) for the Linux files service, shared only by
// files.cpp (the file operations) and installation_walk.cpp (the walk itself).
//
// The installation is walked one component at a time from a descriptor of its root:
// every directory below it is opened with O_NOFOLLOW relative to its parent, and every
// change is made with the *at calls on the directory that holds the name, so the kernel
// never follows a link the walk has not judged. A link met on the way is read and its
// text spliced into the rest of the path; one that climbs above the root or names an
// absolute place outside it ends the walk. A name is first tried on disk as the caller
// spells it; only a directory where that misses is listed (once per installation,
// folded to ASCII lower case), so a list spelled as the disk costs one fstatat per line
// on remembered directory descriptors. What the service creates, renames or deletes
// updates the listings (AddName, RemoveName), and a name a listing lacks is tried once
// more on disk in the caller's spelling (others may have made it since).
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace plat {

// One directory of the installation as the walk knows it.
struct Dir;

// Where a path leads: the directory that holds its last component, and that name.
// Outside the installation the directory is the working directory and the name is the
// whole path, so every call works the same way for both.
struct Place {
  Dir* dir = nullptr;  // null outside the installation
  int dirfd = AT_FDCWD;
  std::string leaf;
  bool exists = false;  // inside only: the name is known on disk
  unsigned char type = DT_UNKNOWN;
  bool haveStatus = false;  // inside only: `status` was read by the walk
  struct stat status;
};

// Holds the files service's lock for the length of one call: every path of the call is
// resolved through it. The directory descriptors kept open are trimmed first.
class Walk {
 public:
  Walk();

  // Resolves `path` to a place. `followLeaf`: a link in the last component is followed
  // like the others, for calls that act on what a name leads to; otherwise the link
  // itself is the place. False with errno on failure.
  bool Resolve(const char* path, bool followLeaf, Place* out);

 private:
  std::lock_guard<std::mutex> lock_;
};

// Runs `act`, a bool(const Place&), on the place `path` leads to (see Walk::Resolve)
// within one walk; false with errno when the path cannot be resolved.
template <typename Act>
bool AtPlace(const char* path, bool followLeaf, Act act) {
  Walk walk;
  Place p;
  return walk.Resolve(path, followLeaf, &p) && act(p);
}

// Keeps the listing of `d` (null: outside the installation) in step with a name the
// service has made or replaced, or removed.
void AddName(Dir* d, const std::string& spelling, unsigned char type);
void RemoveName(Dir* d, const std::string& spelling);

inline unsigned char TypeOf(mode_t mode) {
  if (S_ISDIR(mode)) return DT_DIR;
  if (S_ISLNK(mode)) return DT_LNK;
  if (S_ISREG(mode)) return DT_REG;
  return DT_UNKNOWN;
}

inline bool Fail(int error) {
  errno = error;
  return false;
}

}  // namespace plat
