// One logged-on FTP connection of the publisher (libcurl), kept open across requests.
// Names are relative to the base folder of the address and use forward slashes.
#pragma once
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

typedef void CURL;

namespace publish {

struct RemoteEntry {
  std::string name;
  bool folder = false;
};

class FtpSession {
 public:
  FtpSession();
  ~FtpSession();
  FtpSession(const FtpSession&) = delete;
  FtpSession& operator=(const FtpSession&) = delete;

  // Whether `url` is an address Open takes (ftp://, with a host); the reason when not.
  static bool IsAddress(const std::string& url, std::string* error);
  // The address as messages show it: ftp://[user@]host:port/path, never a password.
  static std::string Shown(const std::string& url);

  // Logs on to ftp://[user[:password]@]host[:port]/base/. The base is relative to the
  // folder the server logs on to, as in every ftp:// address ("//base" or "/%2Fbase"
  // is absolute). Without a password in the address the password is taken from the
  // environment variable ZIDODIRUV_FTP_PASSWORD, else from ~/.netrc (the entry of the
  // host, else "default"); the user from the address, else from that entry, else
  // "anonymous". A failure names the server's own reply.
  bool Open(const std::string& url, std::string* error);
  // The base folder as an absolute path on the server, for messages.
  const std::string& base() const { return base_; }

  // The size of a file; *missing tells a file that is not there from a failure.
  bool Size(const std::string& name, int64_t* size, bool* missing, std::string* error);
  bool Download(const std::string& name, const std::string& localPath, std::string* error);
  // Stores a file under a temporary name beside its place, then renames it over
  // `name` in one step, so a reader sees the old file or the whole new one. Missing
  // folders are made. `progress` gets the bytes sent so far, and breaks the upload off
  // by answering false.
  bool Upload(const std::string& localPath, const std::string& name,
              const std::function<bool(uint64_t)>& progress, std::string* error);
  bool Delete(const std::string& name, std::string* error);
  // The entries of a folder ("" for the base), from the server's LIST in the Unix
  // form both common servers give; names with blanks are left out.
  bool List(const std::string& folder, std::vector<RemoteEntry>* out, std::string* error);

  // The suffix of the temporary name of an upload.
  static const char* TemporarySuffix() { return ".zdpart"; }

 private:
  std::string Absolute(const std::string& name) const;
  std::string UrlOf(const std::string& absolute) const;
  void Prepare(const std::string& url);
  bool Perform(const std::string& what, std::string* error, int* code = nullptr);
  // Who is logged on, and where the password came from, for a refusal.
  std::string Account() const;

  CURL* curl_ = nullptr;
  std::string server_;  // ftp://host:port
  std::string user_;
  std::string password_;
  std::string passwordFrom_;  // where the password was found, "" when nowhere
  std::string base_;
  std::string reply_;  // the last reply line of the server
  char errorBuffer_[256] = {};
  std::set<std::string> folders_;  // known to exist
};

}  // namespace publish
