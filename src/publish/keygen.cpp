// keygen: the publisher's signing key. The private key goes to a new file only its
// owner reads; the public half is printed as the line VornPatch.ini takes.
#include <sys/stat.h>

#include <cstdio>

#include "publish/commands.h"
#include "publish/signing.h"

namespace publish {

int RunKeygen(const std::string& keyFile) {
  struct stat st;
  if (::lstat(keyFile.c_str(), &st) == 0) {
    Complain(keyFile + " already exists; keygen never writes over a file (a key players' patchers trust could be "
             "lost): name a new file");
    return kExitUsage;
  }
  std::string line, error;
  if (!GenerateSigningKey(keyFile, &line, &error)) {
    Complain(error);
    return error.find("already exists") != std::string::npos ? kExitUsage : kExitFailed;
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  Complain("note: the private key is in " + keyFile + ", readable by you only: keep it off the server and back it "
           "up; the line above goes into [PATCH_FTP] of the VornPatch.ini players get");
  return kExitOk;
}

}  // namespace publish
