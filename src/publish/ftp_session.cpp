// The publisher's FTP connection (ftp_session.h). Every request names its file by an
// absolute path and makes no CWD (CURLFTPMETHOD_NOCWD), so one command does one thing
// and a reused connection has no current folder to get wrong.
#include "publish/ftp_session.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace publish {
namespace {

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
};

size_t ToFile(char* data, size_t size, size_t count, void* file) {
  return std::fwrite(data, size, count, static_cast<FILE*>(file)) * size;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

size_t ToText(char* data, size_t size, size_t count, void* text) {
  static_cast<std::string*>(text)->append(data, size * count);
  return size * count;
}

int OnProgress(void* callback, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
  const auto* progress = static_cast<const std::function<void(uint64_t)>*>(callback);
  if (*progress) (*progress)(static_cast<uint64_t>(sent));
  return 0;
}

// "a//b/" -> "a/b"
std::string Tidy(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

FtpSession::FtpSession() {
  static CurlGlobal global;
  curl_ = curl_easy_init();
}

FtpSession::~FtpSession() {
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
}

bool FtpSession::Open(const std::string& url, std::string* error) {
  if (curl_ == nullptr) {
    *error = "libcurl could not start";
    return false;
  }
  CURLU* parts = curl_url();
  if (curl_url_set(parts, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    curl_url_cleanup(parts);
    *error = "not an address: " + url;
    return false;
  }
  auto part = [&](CURLUPart which, unsigned flags) {
    char* value = nullptr;
    std::string text;
    if (curl_url_get(parts, which, &value, flags) == CURLUE_OK && value != nullptr) text = value;
    curl_free(value);
    return text;
  };
  const std::string scheme = part(CURLUPART_SCHEME, 0);
  const std::string host = part(CURLUPART_HOST, 0);
  const std::string port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  user_ = part(CURLUPART_USER, CURLU_URLDECODE);
  password_ = part(CURLUPART_PASSWORD, CURLU_URLDECODE);
  std::string path = part(CURLUPART_PATH, CURLU_URLDECODE);
  havePassword_ = !password_.empty();
  curl_url_cleanup(parts);
  if (scheme != "ftp" || host.empty()) {
    *error = "not an ftp:// address: " + url;
    return false;
  }
  if (user_.empty()) user_ = "anonymous";
  if (!havePassword_) {
    const char* fromEnvironment = std::getenv("ZIDODIRUV_FTP_PASSWORD");
    if (fromEnvironment != nullptr) {
      password_ = fromEnvironment;
      havePassword_ = true;
    }
  }
  server_ = "ftp://" + host + ":" + port;

  // Log on, and learn the folder the server logs on to.
  Prepare(server_ + "/");
  curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
  if (!Perform("log on to " + server_, error)) return false;
  const char* entry = nullptr;
  curl_easy_getinfo(curl_, CURLINFO_FTP_ENTRY_PATH, &entry);
  // The address's path less its first '/' is the folder, relative unless it then
  // begins with '/'.
  path = path.empty() ? "" : path.substr(1);
  base_ = Tidy(path.rfind('/', 0) == 0 ? path : std::string(entry != nullptr ? entry : "/") + "/" + path);
  if (base_.empty() || base_[0] != '/') base_ = "/" + base_;
  return true;
}

std::string FtpSession::Absolute(const std::string& name) const {
  return Tidy(base_ + "/" + name);
}

std::string FtpSession::UrlOf(const std::string& absolute) const {
  // The path after "/%2F" goes to the server as it stands; each segment is escaped so
  // that no character of a name is taken for part of the address.
  std::string url = server_ + "/%2F";
  std::string segment;
  std::istringstream in(absolute.substr(1));
  bool first = true;
  while (std::getline(in, segment, '/')) {
    char* escaped = curl_easy_escape(curl_, segment.c_str(), static_cast<int>(segment.size()));
    url += (first ? "" : "/") + std::string(escaped != nullptr ? escaped : "");
    curl_free(escaped);
    first = false;
  }
  return url;
}

void FtpSession::Prepare(const std::string& url) {
  curl_easy_reset(curl_);  // keeps the connection
  curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
  // A request without a body writes what it learnt as header lines: not for stdout.
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.c_str());
  if (havePassword_) {
    curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str());
  } else {
    curl_easy_setopt(curl_, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
  }
  curl_easy_setopt(curl_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, 60L);
  curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorBuffer_);
  errorBuffer_[0] = '\0';
}

bool FtpSession::Perform(const std::string& what, std::string* error, int* code) {
  const CURLcode rc = curl_easy_perform(curl_);
  if (code != nullptr) *code = static_cast<int>(rc);
  if (rc == CURLE_OK) return true;
  long reply = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply);
  *error = "cannot " + what + ": " + (errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(rc));
  if (reply >= 400) *error += " (server reply " + std::to_string(reply) + ")";
  return false;
}

bool FtpSession::Size(const std::string& name, int64_t* size, bool* missing, std::string* error) {
  Prepare(UrlOf(Absolute(name)));
  curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
  int code = 0;
  *missing = false;
  if (!Perform("ask the size of " + Absolute(name), error, &code)) {
    *missing = code == CURLE_REMOTE_FILE_NOT_FOUND;
    return false;
  }
  curl_off_t length = -1;
  curl_easy_getinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  *size = length;
  for (std::string folder = ParentOf(Absolute(name)); folders_.insert(folder).second && folder != "/";)
    folder = ParentOf(folder);
  return true;
}

bool FtpSession::Download(const std::string& name, const std::string& localPath, std::string* error) {
  FILE* file = std::fopen(localPath.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + localPath + ": " + std::strerror(errno);
    return false;
  }
  Prepare(UrlOf(Absolute(name)));
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, ToFile);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, file);
  const bool ok = Perform("download " + Absolute(name), error);
  if (std::fclose(file) != 0 && ok) {
    *error = "cannot write " + localPath + ": " + std::strerror(errno);
    return false;
  }
  return ok;
}

bool FtpSession::Upload(const std::string& localPath, const std::string& name,
                        const std::function<void(uint64_t)>& progress, std::string* error) {
  FILE* file = std::fopen(localPath.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot read " + localPath + ": " + std::strerror(errno);
    return false;
  }
  std::fseek(file, 0, SEEK_END);
  const long length = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);

  const std::string target = Absolute(name);
  const std::string temporary = target + TemporarySuffix();
  // Folders to make first, outermost first; a failure shows at the store.
  std::vector<std::string> missing;
  for (std::string folder = ParentOf(target); folder != "/" && folders_.count(folder) == 0; folder = ParentOf(folder))
    missing.insert(missing.begin(), folder);
  curl_slist* before = nullptr;
  for (const std::string& folder : missing) before = curl_slist_append(before, ("*MKD " + folder).c_str());
  curl_slist* after = nullptr;
  after = curl_slist_append(after, ("RNFR " + temporary).c_str());
  after = curl_slist_append(after, ("RNTO " + target).c_str());

  Prepare(UrlOf(temporary));
  curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl_, CURLOPT_READDATA, file);
  curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
  curl_easy_setopt(curl_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(curl_, CURLOPT_QUOTE, before);
  curl_easy_setopt(curl_, CURLOPT_POSTQUOTE, after);
  curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, &progress);
  curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
  const bool ok = Perform("upload " + target, error);
  curl_slist_free_all(before);
  curl_slist_free_all(after);
  std::fclose(file);
  if (ok) {
    for (const std::string& folder : missing) folders_.insert(folder);
  }
  return ok;
}

bool FtpSession::Delete(const std::string& name, std::string* error) {
  curl_slist* commands = curl_slist_append(nullptr, ("DELE " + Absolute(name)).c_str());
  Prepare(server_ + "/");
  curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl_, CURLOPT_QUOTE, commands);
  const bool ok = Perform("delete " + Absolute(name), error);
  curl_slist_free_all(commands);
  return ok;
}

bool FtpSession::List(const std::string& folder, std::vector<RemoteEntry>* out, std::string* error) {
  std::string text;
  const std::string absolute = Absolute(folder);
  Prepare(UrlOf(absolute) + (absolute == "/" ? "" : "/"));
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, ToText);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &text);
  if (!Perform("list " + absolute, error)) return false;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "drwxr-xr-x 2 owner group 4096 Jan 01 12:00 name": the name is the ninth field.
    std::istringstream fields(line);
    std::vector<std::string> parts;
    std::string field;
    while (fields >> field) parts.push_back(field);
    if (parts.size() != 9 || (line[0] != 'd' && line[0] != '-')) continue;
    if (parts[8] == "." || parts[8] == "..") continue;
    out->push_back({parts[8], line[0] == 'd'});
  }
  return true;
}

}  // namespace publish
