// Linux: the FTP client's adapter on libcurl (ftp_transport.h; the client itself is
// ftp_client.cpp).
//
// Each connection has its own easy handle and its own multi handle. The private multi
// handle matters twice: libcurl keeps a finished transfer's connection in the multi
// handle's connection cache, so a shared multi handle would let one connection's
// download reuse another's log-on (and the close of one connection would not end it);
// and curl_multi_wakeup lets another thread interrupt the thread's curl_multi_poll at
// once, where the progress callback can take a second to run when the server is silent.
//
// The log-on runs with CURLOPT_NOBODY on ftp://host:port/ (the server sees USER, PASS,
// PWD); a download later runs on the same easy handle, which takes the logged-on
// connection back out of the cache (PORT, TYPE I, SIZE, RETR, no second log-on; SIZE
// lets libcurl tell a cut transfer from a complete one). CURLOPT_CONNECT_ONLY cannot be
// used for this: the next transfer would log on again. Cleaning up the multi handle
// sends QUIT; a transfer cut short by a close drops the connection without it
// (libcurl's premature end).
//
// No curl callback calls into the client's notifications: the write callback only
// writes, and the bytes are reported between libcurl calls.
#include <curl/curl.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/errors.h"
#include "platform/ftp_transport.h"

namespace plat {
namespace ftp {

// libcurl keeps no state per root.
struct Session {};

struct Channel {
  Link* link = nullptr;
  std::string baseUrl;  // ftp://address:port, set by Connect
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  uint32_t writeError = 0;  // why the last write to the local file failed
  uint64_t unreported = 0;  // bytes written but not yet reported
};

namespace {

// libcurl's largest receive buffer; loopback throughput is best with it.
constexpr long kReceiveBufferBytes = 512L * 1024L;

std::once_flag g_curlInit;

uint32_t MapCurlError(CURLcode code, bool connecting, uint32_t writeError) {
  switch (code) {
    case CURLE_OK: return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT: return kFtpErrorInvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return kFtpErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
    case CURLE_INTERFACE_FAILED: return kFtpErrorCannotConnect;
    case CURLE_LOGIN_DENIED:
    case CURLE_FTP_WEIRD_PASS_REPLY: return kFtpErrorLoginFailure;
    case CURLE_REMOTE_ACCESS_DENIED: return connecting ? kFtpErrorLoginFailure : kFtpErrorTransferFailed;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT: return kFtpErrorTimeout;
    case CURLE_WEIRD_SERVER_REPLY: return connecting ? kFtpErrorCannotConnect : kFtpErrorTransferFailed;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING: return kFtpErrorConnectionAborted;
    case CURLE_SEND_ERROR: return kFtpErrorConnectionReset;
    case CURLE_ABORTED_BY_CALLBACK: return kFtpErrorOperationCancelled;
    case CURLE_WRITE_ERROR: return writeError != 0 ? writeError : kFtpErrorInternal;
    case CURLE_OUT_OF_MEMORY:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_FAILED_INIT: return kFtpErrorInternal;
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FILESIZE_EXCEEDED:
    default: return connecting ? kFtpErrorCannotConnect : kFtpErrorTransferFailed;
  }
}

size_t WriteData(char* data, size_t size, size_t count, void* userdata) {
  Channel& ch = *static_cast<Channel*>(userdata);
  const size_t total = size * count;
  if (!ch.link->Write(data, total, &ch.writeError)) return 0;  // libcurl ends with CURLE_WRITE_ERROR
  ch.unreported += total;
  return total;
}

// Runs the easy handle's transfer on the private multi handle until it ends or the
// connection is abandoned (then *cancelled is set and the transfer is dropped).
CURLcode RunTransfer(Channel& ch, bool* cancelled) {
  *cancelled = false;
  if (curl_multi_add_handle(ch.multi, ch.easy) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode result = CURLE_OK;
  for (;;) {
    if (ch.link->Abandoned()) {
      *cancelled = true;
      break;
    }
    int running = 0;
    const CURLMcode mc = curl_multi_perform(ch.multi, &running);
    if (ch.unreported > 0) ch.link->Received(ch.unreported);
    ch.unreported = 0;
    if (mc != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    bool done = false;
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(ch.multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == ch.easy) {
        result = msg->data.result;
        done = true;
      }
    }
    if (done) break;
    // Sleeps until a socket is ready, libcurl's next timer, a wake-up, or 1 s.
    if (curl_multi_poll(ch.multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
  }
  curl_multi_remove_handle(ch.multi, ch.easy);
  return result;
}

void SetCommonOptions(Channel& ch) {
  CURL* e = ch.easy;
  const Link& link = *ch.link;
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "ftp");
  if (!link.user.empty()) {
    curl_easy_setopt(e, CURLOPT_USERNAME, link.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, link.password.c_str());
  }
  // The path after the host goes to the server as it is: no CWD per directory.
  curl_easy_setopt(e, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  // Active mode: the server connects back to the address of the control connection.
  curl_easy_setopt(e, CURLOPT_FTPPORT, "-");
  curl_easy_setopt(e, CURLOPT_FTP_USE_EPRT, 0L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, link.limits.connectMs);
  curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, link.limits.responseSeconds);
  curl_easy_setopt(e, CURLOPT_ACCEPTTIMEOUT_MS, link.limits.acceptMs);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, link.limits.lowSpeedSeconds);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteData);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &ch);
}

// The URL path for a remote path. With NOCWD libcurl sends the URL path minus its
// first '/' to SIZE and RETR, decoded: an absolute path keeps its own leading '/' as
// "%2F". Every segment is escaped, so nothing in a name (";type=a", '?', '#', '%') is
// read as URL syntax.
bool RemoteUrlPath(const std::string& path, std::string* out) {
  std::string result = "/";
  size_t start = 0;
  if (path[0] == '/') {
    result += "%2F";
    start = 1;
  }
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) {
      char* escaped = curl_easy_escape(nullptr, path.data() + start, static_cast<int>(end - start));
      if (escaped == nullptr) return false;
      result += escaped;
      curl_free(escaped);
    }
    if (slash == std::string::npos) break;
    result += '/';
    start = slash + 1;
  }
  *out = result;
  return true;
}

}  // namespace

// A close wakes libcurl at once, but not a name lookup (the client's getaddrinfo): a
// thread still in one is left after this long to end with the process.
const long kShutdownWaitMs = 5000;

Session* OpenSession(const char*) {
  // libcurl's global set-up is not thread-safe: once, before any client thread exists.
  static Session session;
  bool initOk = true;
  std::call_once(g_curlInit, [&] { initOk = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  if (!initOk) {
    SetLastErrorCode(kFtpErrorInternal);
    return nullptr;
  }
  return &session;
}

void CloseSession(Session*) {}

Channel* OpenChannel(Session*, Link& link) {
  auto* ch = new Channel;
  ch->link = &link;
  ch->easy = curl_easy_init();
  ch->multi = curl_multi_init();
  if (ch->easy == nullptr || ch->multi == nullptr) {
    CloseChannel(ch);
    SetLastErrorCode(kFtpErrorInternal);
    return nullptr;
  }
  return ch;
}

// The URL names the one address to connect to, so libcurl neither resolves the name
// nor moves on to another address by itself (the client does that). FTP sends no host
// name to the server, so nothing is lost by leaving the name out. A connect that failed
// leaves nothing in the multi handle's cache; the next one starts afresh.
uint32_t Connect(Channel* ch) {
  const Link& link = *ch->link;
  ch->baseUrl = "ftp://" + (link.addressIpv6 ? "[" + link.address + "]" : link.address) + ":" +
                std::to_string(link.port);
  SetCommonOptions(*ch);
  const std::string url = ch->baseUrl + "/";
  curl_easy_setopt(ch->easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(ch->easy, CURLOPT_NOBODY, 1L);
  bool cancelled = false;
  const CURLcode rc = RunTransfer(*ch, &cancelled);
  if (cancelled) return kFtpErrorOperationCancelled;
  const uint32_t error = MapCurlError(rc, true, 0);
  if (error == 0) {
    // PORT carries IPv4 only: over IPv6 the data connection needs EPRT.
    char* ip = nullptr;
    if (curl_easy_getinfo(ch->easy, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr &&
        std::strchr(ip, ':') != nullptr) {
      curl_easy_setopt(ch->easy, CURLOPT_FTP_USE_EPRT, 1L);
    }
    curl_easy_setopt(ch->easy, CURLOPT_NOBODY, 0L);
  }
  return error;
}

uint32_t Download(Channel* ch, const std::string& remote) {
  std::string urlPath;
  if (!RemoteUrlPath(remote, &urlPath)) return kFtpErrorInternal;
  const std::string url = ch->baseUrl + urlPath;
  curl_easy_setopt(ch->easy, CURLOPT_URL, url.c_str());
  ch->writeError = 0;
  bool cancelled = false;
  const CURLcode rc = RunTransfer(*ch, &cancelled);
  return cancelled ? kFtpErrorOperationCancelled : MapCurlError(rc, false, ch->writeError);
}

void WakeChannel(Channel* ch) { curl_multi_wakeup(ch->multi); }

void CloseChannel(Channel* ch) {
  curl_easy_cleanup(ch->easy);
  curl_multi_cleanup(ch->multi);  // ends the cached connection: QUIT
  delete ch;
}

void ShutdownTransport() {}

}  // namespace ftp
}  // namespace plat
