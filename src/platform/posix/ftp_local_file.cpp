// Linux: the temporary file of a download for the FTP client (ftp_transport.h), named
// "<target>.part" by the client and renamed over the target once the whole file has
// arrived. Every call goes through the files service, so inside the installation names
// match as the disk spells them and no link leads a download out of it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/files.h"
#include "platform/ftp_transport.h"
#include "platform/posix/files_posix.h"

namespace plat {
namespace ftp {

const uint32_t kInvalidArgument = EINVAL;

// A fresh temporary file. A leftover of the same name goes first; the new file is
// created exclusively, so a link planted at that name is never followed.
LocalFile CreateLocal(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!RemoveFile(path.c_str()) && errno != ENOENT) return kNoLocalFile;
    const int fd = OpenFileDescriptor(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return kNoLocalFile;
  }
  return kNoLocalFile;
}

bool WriteLocal(LocalFile file, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(static_cast<int>(file), bytes + done, size - done);
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  return true;
}

bool CloseLocal(LocalFile file) { return ::close(static_cast<int>(file)) == 0; }

// A file (or a link, which is removed, never followed) of that name; never a directory.
bool RemoveLocal(const std::string& path) { return RemoveFile(path.c_str()); }

bool PlaceLocal(const std::string& from, const std::string& to) { return RenameOver(from.c_str(), to.c_str()); }

}  // namespace ftp
}  // namespace plat
