// The publisher's FTP connection (ftp_session.h). Every request names its file by an
// absolute path and makes no CWD (CURLFTPMETHOD_NOCWD), so one command does one thing
// and a reused connection has no current folder to get wrong.
#include "publish/ftp_session.h"

#include <curl/curl.h>
#include <pwd.h>
#include <unistd.h>

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace publish {
namespace {

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
};

void StartCurl() { static CurlGlobal global; }

size_t ToFile(char* data, size_t size, size_t count, void* file) {
  return std::fwrite(data, size, count, static_cast<FILE*>(file)) * size;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

size_t ToText(char* data, size_t size, size_t count, void* text) {
  static_cast<std::string*>(text)->append(data, size * count);
  return size * count;
}

int OnProgress(void* callback, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
  const auto* progress = static_cast<const std::function<bool(uint64_t)>*>(callback);
  return *progress && !(*progress)(static_cast<uint64_t>(sent)) ? 1 : 0;
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

// The parts of an ftp:// address; false when it is none.
struct Address {
  std::string host, port, user, password, path;
};

bool ParseAddress(const std::string& url, Address* out, std::string* error) {
  CURLU* parts = curl_url();
  const bool parsed = curl_url_set(parts, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  auto part = [&](CURLUPart which, unsigned flags) {
    char* value = nullptr;
    std::string text;
    if (parsed && curl_url_get(parts, which, &value, flags) == CURLUE_OK && value != nullptr) text = value;
    curl_free(value);
    return text;
  };
  const std::string scheme = part(CURLUPART_SCHEME, 0);
  out->host = part(CURLUPART_HOST, 0);
  out->port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  out->user = part(CURLUPART_USER, CURLU_URLDECODE);
  out->password = part(CURLUPART_PASSWORD, CURLU_URLDECODE);
  out->path = part(CURLUPART_PATH, CURLU_URLDECODE);
  curl_url_cleanup(parts);
  if (parsed && scheme == "ftp" && !out->host.empty()) return true;
  *error = "not an ftp:// address: " + url + " (ftp://user@host:port/base/)";
  return false;
}

// ~/.netrc: $HOME's, else the home folder of the account.
std::string NetrcPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* account = ::getpwuid(::getuid());
    home = account != nullptr ? account->pw_dir : nullptr;
  }
  return home != nullptr ? std::string(home) + "/.netrc" : "";
}

// The login and password that a .netrc file gives for `host`: the first "machine" entry
// of that host (whose login is `user`, when a user is given), else the "default" entry.
// Tokens are separated by white space; a token in double quotes may hold blanks and
// backslash escapes; "macdef" skips its macro, up to an empty line.
bool FromNetrc(const std::string& path, const std::string& host, const std::string& user, std::string* login,
               std::string* password) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = 0;
  const auto next = [&](std::string* token) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    if (at >= text.size()) return false;
    token->clear();
    if (text[at] == '"') {
      for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] == '\\' && at + 1 < text.size()) ++at;
        *token += text[at];
      }
      ++at;
      return true;
    }
    while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) *token += text[at++];
    return true;
  };
  struct Entry {
    bool any = false;  // "default"
    std::string machine, login, password;
  };
  std::vector<Entry> entries;
  for (std::string token; next(&token);) {
    if (token == "machine" || token == "default") {
      entries.emplace_back();
      entries.back().any = token == "default";
      if (token == "machine") next(&entries.back().machine);
    } else if (token == "macdef") {
      const size_t end = text.find("\n\n", at);
      at = end == std::string::npos ? text.size() : end;
    } else if (!entries.empty() && (token == "login" || token == "password" || token == "account" || token == "port")) {
      std::string value;
      next(&value);
      if (token == "login") entries.back().login = value;
      if (token == "password") entries.back().password = value;
    }
  }
  const auto matches = [&](const Entry& entry) { return user.empty() || entry.login.empty() || entry.login == user; };
  for (bool any : {false, true}) {
    for (const Entry& entry : entries) {
      if (entry.any != any || !matches(entry)) continue;
      if (!any && strcasecmp(entry.machine.c_str(), host.c_str()) != 0) continue;
      *login = entry.login;
      *password = entry.password;
      return true;
    }
  }
  return false;
}

// A reply of the server as a message may show it: printable ASCII, at most 200
// characters.
std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (out.size() >= 200) break;
    if (c == '\r' || c == '\n') continue;
    out += c >= 0x20 && c < 0x7f ? c : '?';
  }
  return out;
}

// Keeps the last line of the server's replies (a reply arrives a line at a time).
int KeepReply(CURL*, curl_infotype type, char* data, size_t size, void* reply) {
  if (type == CURLINFO_HEADER_IN) {
    const std::string line = Printable(std::string(data, size));
    if (!line.empty()) *static_cast<std::string*>(reply) = line;
  }
  return 0;
}

}  // namespace

FtpSession::FtpSession() {
  StartCurl();
  curl_ = curl_easy_init();
}

FtpSession::~FtpSession() {
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
}

bool FtpSession::IsAddress(const std::string& url, std::string* error) {
  StartCurl();
  Address address;
  return ParseAddress(url, &address, error);
}

std::string FtpSession::Shown(const std::string& url) {
  StartCurl();
  Address address;
  std::string ignored;
  if (!ParseAddress(url, &address, &ignored)) return url;
  return "ftp://" + (address.user.empty() ? "" : address.user + "@") + address.host + ":" + address.port +
         (address.path.empty() ? "/" : address.path);
}

bool FtpSession::Open(const std::string& url, std::string* error) {
  if (curl_ == nullptr) {
    *error = "libcurl could not start";
    return false;
  }
  Address address;
  if (!ParseAddress(url, &address, error)) return false;
  user_ = address.user;
  password_ = address.password;
  std::string path = address.path;
  const char* fromEnvironment = std::getenv("ZIDODIRUV_FTP_PASSWORD");
  std::string login, password;
  if (!address.password.empty()) {
    passwordFrom_ = "the address";
  } else if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
    password_ = fromEnvironment;
    passwordFrom_ = "ZIDODIRUV_FTP_PASSWORD";
  } else if (FromNetrc(NetrcPath(), address.host, user_, &login, &password)) {
    if (user_.empty()) user_ = login;
    password_ = password;
    passwordFrom_ = NetrcPath();
  }
  if (user_.empty()) user_ = "anonymous";
  server_ = "ftp://" + address.host + ":" + address.port;

  // Log on, and learn the folder the server logs on to.
  Prepare(server_ + "/");
  curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
  int code = 0;
  if (!Perform("log on to " + server_ + " as " + user_, error, &code)) {
    if (code == CURLE_LOGIN_DENIED)
      *error += "; the password " + (passwordFrom_.empty() ? "was found nowhere" : "came from " + passwordFrom_) +
                " (it is looked for in the address, then ZIDODIRUV_FTP_PASSWORD, then " + NetrcPath() + ")";
    return false;
  }
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
  curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str());
  // The server's replies reach KeepReply, which keeps the last one for a message.
  curl_easy_setopt(curl_, CURLOPT_DEBUGFUNCTION, KeepReply);
  curl_easy_setopt(curl_, CURLOPT_DEBUGDATA, &reply_);
  curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(curl_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, 60L);
  curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorBuffer_);
  errorBuffer_[0] = '\0';
  reply_.clear();
}

std::string FtpSession::Account() const {
  return "logged on as " + user_ + ", the password from " + (passwordFrom_.empty() ? "nowhere" : passwordFrom_);
}

bool FtpSession::Perform(const std::string& what, std::string* error, int* code) {
  const CURLcode rc = curl_easy_perform(curl_);
  if (code != nullptr) *code = static_cast<int>(rc);
  if (rc == CURLE_OK) return true;
  long reply = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply);
  *error = "cannot " + what + ": " + (errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(rc));
  if (reply >= 400 && !reply_.empty()) *error += "; the server replied \"" + reply_ + "\"";
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
                        const std::function<bool(uint64_t)>& progress, std::string* error) {
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
  if (!ok && reply_.rfind('5', 0) == 0) *error += " (" + Account() + ")";
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
  if (!ok && reply_.rfind('5', 0) == 0) *error += " (" + Account() + ")";
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
