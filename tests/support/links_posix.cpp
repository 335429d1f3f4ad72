// Links on Linux: symbolic links.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/links.h"

namespace zdtest {

bool MakeLink(const std::string& link, const std::string& target, bool, std::string* whyNot) {
  if (::symlink(target.c_str(), link.c_str()) == 0) return true;
  *whyNot = std::string("symlink: ") + std::strerror(errno);
  return false;
}

bool RemoveLink(const std::string& link, bool) { return ::unlink(link.c_str()) == 0; }

}  // namespace zdtest
