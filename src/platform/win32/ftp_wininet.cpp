// Windows: the FTP client's adapter on WinINet in asynchronous mode, active FTP
// (ftp_transport.h; the client itself is ftp_client.cpp). Its WinINet calls go through
// the connection's channel (wininet_channel.h): one at a time, each awaited when it
// goes pending, under a time limit that a watchdog keeps.
//
// What differs, and how it is absorbed:
// - Wine's InternetConnectA in asynchronous mode connects and logs on synchronously
//   (on the calling thread, up to 30 s per server reply), announces HANDLE_CREATED
//   before RESOLVING_NAME, and sends no REQUEST_COMPLETE. Native Windows documents
//   ERROR_IO_PENDING and a REQUEST_COMPLETE carrying the handle. The client reports 10
//   and 60 itself before Connect, which takes a handle returned at once as the result
//   and otherwise waits for the completion.
// - Wine's InternetConnectA connects to the first address of a name only. The client
//   resolves the name and hands Connect one address at a time (Link::address), which
//   is what WinINet sees as the host, so the URL cache files downloads under it too.
//   Wine's connect blocks up to 60 s on a silent greeting whatever time-outs are set,
//   past the watchdog's limit; when another address follows, the limit ends only the
//   attempt, and Connect returns a time-out as soon as WinINet lets it go.
// - Wine's FtpGetFileA counts control-reply lines in RESPONSE_RECEIVED. This adapter
//   does not use it: FtpOpenFileA and a loop of InternetQueryDataAvailable and
//   InternetReadFile bring the data here, it is written to the local file here, and
//   41 reports exactly the bytes written. WinINet's own RESPONSE_RECEIVED only tells
//   that a control reply has arrived, whose text is read there (see below).
// - Wine reads the server's reply to a transfer when the file handle is closed and
//   drops it (a 426 would pass), and FtpGetFileSize answers 0. A cut transfer is caught
//   here as on Linux: the control replies are read as they arrive (at each
//   RESPONSE_RECEIVED, on the thread that read the reply, whose last response
//   InternetGetLastResponseInfoA gives); a closing reply of 400 or more fails the
//   download, and so does a byte count other than the file's size, which many servers
//   state in the reply that opens the transfer ("150 ... (400000 bytes)") and the others
//   give to one SIZE command after it. Both fail as libcurl's partial file does, with
//   kFtpErrorConnectionAborted.
// - Wine's FtpOpenFileA copies every byte into the URL cache whatever the flags and
//   never records the copy, so nothing would ever remove it. The adapter asks for no
//   cache write, and removes what WinINet reports as the download's cache file (and its
//   entry, under the URL WinINet files it by) once the download has ended.
// - Wine does not cancel a transfer when its handle is closed. A close therefore never
//   waits for WinINet: the client marks the connection closed (nothing more is
//   reported), and the thread closes its WinINet handles when the call it is in returns.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/ftp_transport.h"
#include "platform/win32/wininet_calls.h"
#include "platform/win32/wininet_channel.h"

namespace plat {

WinInetCalls& WinInet() {
  static WinInetCalls calls{InternetOpenA,      InternetSetStatusCallback,    InternetConnectA,
                            FtpOpenFileA,       FtpCommandA,                  InternetQueryDataAvailable,
                            InternetReadFile,   InternetQueryOptionA,         InternetGetLastResponseInfoA,
                            DeleteUrlCacheEntryA, InternetCloseHandle};
  return calls;
}

namespace ftp {
namespace {

// InternetConnectA's flags as the transfer sequence gives them: 1. For an FTP session
// the bit means nothing: it is the ASCII transfer bit of older headers (the type is
// given with each FtpOpenFileA, image here) and INTERNET_FLAG_IDN_DIRECT of newer ones
// (HTTP host names); Wine reads only INTERNET_FLAG_PASSIVE of these flags, which is not
// among them, so the data connections stay active.
constexpr DWORD kConnectFlags = 1;
// Image type, never from the cache, and nothing written to it.
constexpr DWORD kOpenFlags = FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

// One read takes at most this much of what the data socket holds: under Wine each
// query and read is a round trip or two through its server, and a fast transfer keeps
// a few hundred kilobytes waiting, so reads of 64 KiB took four of each per 256 KiB.
constexpr DWORD kReadChunk = 256 * 1024;

// Opens the remote file for reading: the file handle, or null with *error set (0 when
// the connection was abandoned meanwhile).
HINTERNET OpenRemote(Channel& ch, const std::string& remote, DWORD* error) {
  HINTERNET file = nullptr;
  const auto open = [&] {
    file = WinInet().openFile(ch.connection, remote.c_str(), GENERIC_READ, kOpenFlags,
                              static_cast<DWORD_PTR>(ch.link->id));
    return file != nullptr;
  };
  if (Issue(ch, open, error, true) != Call::Pending) return file;
  return WaitForHandle(ch, &ch.connection, error);
}

// One step of the read loop: how many bytes are waiting (0 at the end of the file).
// False with *error set on a failure (0 when the connection was abandoned).
bool QueryAvailable(Channel& ch, HINTERNET* file, DWORD* available, DWORD* error) {
  for (;;) {
    *available = 0;
    const Call call = Issue(ch, [&] { return WinInet().queryDataAvailable(*file, available, 0, 0) != FALSE; }, error);
    if (call != Call::Pending) return call == Call::Done;
    // Data (or the end) has arrived; ask again for the count.
    if (!WaitCall(ch, file, error)) return false;
    if (ch.link->Abandoned()) {
      *error = 0;
      return false;
    }
  }
}

bool ReadSome(Channel& ch, HINTERNET* file, DWORD want, DWORD* got, DWORD* error) {
  ch.bytesRead = 0;
  const auto read = [&] { return WinInet().readFile(*file, ch.buffer.data(), want, &ch.bytesRead) != FALSE; };
  const Call call = Issue(ch, read, error);
  if (call == Call::Failed || (call == Call::Pending && !WaitCall(ch, file, error))) return false;
  *got = ch.bytesRead;
  return true;
}

// WinINet's codes for a broken data connection say little; the core's texts need one
// of the client's codes.
DWORD MapReadError(DWORD error) {
  if (error == 0) return 0;
  if (error == ERROR_INTERNET_TIMEOUT) return kFtpErrorTimeout;
  if (error >= INTERNET_ERROR_BASE && error <= INTERNET_ERROR_LAST) {
    if (error == INTERNET_ERROR_BASE || error == ERROR_INTERNET_DISCONNECTED) return kFtpErrorConnectionAborted;
    return error;
  }
  return kFtpErrorConnectionAborted;
}

// The code of a control reply ("226 Transfer complete." gives 226), or 0.
int ReplyCode(const std::string& reply) {
  if (reply.size() < 3 || (reply.size() > 3 && reply[3] != ' ' && reply[3] != '-')) return 0;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    if (reply[i] < '0' || reply[i] > '9') return 0;
    code = code * 10 + (reply[i] - '0');
  }
  return code;
}

// The digits at `at` up to `end` as a count, or -1 (none, or beyond any file size).
int64_t CountAt(const std::string& text, size_t at, size_t end) {
  if (at >= end || end - at > 15) return -1;
  int64_t n = 0;
  for (size_t i = at; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}

// The byte count a reply opening a transfer states, "150 Opening BINARY mode data
// connection for x (400000 bytes).", or -1.
int64_t AnnouncedBytes(const std::string& reply) {
  const int code = ReplyCode(reply);
  if (code < 100 || code > 199) return -1;
  const size_t open = reply.rfind('(');
  const size_t unit = reply.find(" bytes)", open == std::string::npos ? 0 : open);
  if (open == std::string::npos || unit == std::string::npos) return -1;
  return CountAt(reply, open + 1, unit);
}

// The size a SIZE reply gives, "213 400000", or -1.
int64_t SizeInReply(const std::string& reply) {
  if (ReplyCode(reply) != 213 || reply.size() < 5 || reply[3] != ' ') return -1;
  size_t end = reply.size();
  while (end > 4 && reply[end - 1] == ' ') --end;
  return CountAt(reply, 4, end);
}

// The remote file's size by one SIZE command (the connection is in image type since the
// transfer), or -1 when the server gives none.
int64_t RemoteSize(Channel& ch, const std::string& remote) {
  ArmDeadline(ch, Waiting::LogOn);
  const std::string command = "SIZE " + remote;
  TakeReply(ch);
  DWORD error = 0;
  const auto send = [&] {
    return WinInet().command(ch.connection, FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(),
                             static_cast<DWORD_PTR>(ch.link->id), nullptr) != FALSE;
  };
  const Call call = Issue(ch, send, &error);
  if (call == Call::Failed || (call == Call::Pending && !WaitCall(ch, &ch.connection, &error))) return -1;
  // A command that ended here was answered on this thread.
  const std::string reply = TakeReply(ch);
  return SizeInReply(reply.empty() && call == Call::Done ? ReplyOfThisThread() : reply);
}

// The file WinINet copies the download into in the URL cache, or empty.
std::string CacheFileOf(HINTERNET file) {
  char name[MAX_PATH + 1] = {};
  DWORD length = MAX_PATH;
  if (!WinInet().queryOption(file, INTERNET_OPTION_DATAFILE_NAME, name, &length)) return std::string();
  name[MAX_PATH] = '\0';
  return name;
}

// Removes the URL cache's copy of a download that has ended: the entry, under the URL
// WinINet files an FTP download by (where the system recorded one), and the file.
void DropCacheCopy(const Channel& ch, const std::string& remote, const std::string& cacheFile) {
  const Link& link = *ch.link;
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.nScheme = INTERNET_SCHEME_FTP;
  parts.lpszHostName = const_cast<char*>(link.address.c_str());
  parts.nPort = link.port;
  parts.lpszUserName = const_cast<char*>(link.user.empty() ? "anonymous" : link.user.c_str());
  parts.lpszUrlPath = const_cast<char*>(remote.c_str());
  char url[2048];
  DWORD length = sizeof url;
  if (InternetCreateUrlA(&parts, 0, url, &length)) WinInet().deleteUrlCacheEntry(url);
  DeleteFileA(cacheFile.c_str());
}

}  // namespace

// How long FtpShutdown waits for a connection's thread that WinINet still holds.
const long kShutdownWaitMs = 5000;

Session* OpenSession(const char* agent) {
  auto session = std::make_unique<Session>();
  // The system's own connection settings (its proxy configuration), as the player set them.
  session->net = WinInet().open(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
  if (session->net == nullptr) return nullptr;  // GetLastError tells why
  if (WinInet().setStatusCallback(session->net, WinInetStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
    const DWORD error = GetLastError();
    CloseSession(session.release());
    SetLastError(error);
    return nullptr;
  }
  return session.release();
}

void CloseSession(Session* session) {
  WinInet().closeHandle(session->net);
  delete session;
}

Channel* OpenChannel(Session* session, Link& link) {
  auto ch = std::make_unique<Channel>();
  ch->link = &link;
  ch->session = session;
  try {
    ch->buffer.resize(kReadChunk);
    RegisterChannel(*ch);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return ch.release();
}

uint32_t Connect(Channel* ch) {
  const Link& link = *ch->link;
  ArmAttemptDeadline(*ch, std::chrono::milliseconds(link.limits.connectMs + link.limits.responseSeconds * 1000L),
                     link.moreAddresses);
  HINTERNET connection = nullptr;
  const auto connect = [&] {
    connection = WinInet().connect(ch->session->net, link.address.c_str(), link.port,
                                   link.user.empty() ? nullptr : link.user.c_str(),
                                   link.user.empty() ? nullptr : link.password.c_str(), INTERNET_SERVICE_FTP,
                                   kConnectFlags, static_cast<DWORD_PTR>(link.id));
    return connection != nullptr;
  };
  DWORD error = 0;
  if (Issue(*ch, connect, &error) == Call::Pending) connection = WaitForHandle(*ch, nullptr, &error);
  SetConnection(*ch, connection);
  const bool expired = EndAttempt(*ch);
  if (connection != nullptr) return 0;
  if (expired && !link.Abandoned()) return kFtpErrorTimeout;
  return error != 0 ? error : kFtpErrorInternal;
}

// Data to the local file through the client (see the top of the file for how a cut
// transfer is told from a whole one).
uint32_t Download(Channel* ch, const std::string& remote) {
  Link& link = *ch->link;
  TakeReply(*ch);
  ArmDeadline(*ch, Waiting::Opening);
  DWORD error = 0;
  bool ok = false;
  HINTERNET file = OpenRemote(*ch, remote, &error);
  if (file != nullptr) {
    const int64_t announced = AnnouncedBytes(TakeReply(*ch));
    const std::string cacheFile = CacheFileOf(file);
    uint64_t received = 0;
    ArmDeadline(*ch, Waiting::Data);
    for (;;) {
      DWORD available = 0;
      if (!QueryAvailable(*ch, &file, &available, &error)) {
        error = MapReadError(error);
        break;
      }
      DWORD want = available == 0 ? kReadChunk : std::min<DWORD>(available, kReadChunk);
      DWORD got = 0;
      if (!ReadSome(*ch, &file, want, &got, &error)) {
        error = MapReadError(error);
        break;
      }
      if (got == 0) {
        ok = true;  // the server closed the data connection: the end of the data
        break;
      }
      uint32_t writeError = 0;
      if (!link.Write(ch->buffer.data(), got, &writeError)) {
        error = writeError;  // 0 when the download was dropped meanwhile
        break;
      }
      received += got;
      NoteProgress(*ch);
      link.Received(got);
    }
    // Closing the file handle reads the server's reply to the transfer; the connection
    // is free for the next download only after it. A handle closed to cancel a read is
    // null here.
    TakeReply(*ch);
    if (file != nullptr) WinInet().closeHandle(file);
    if (ok && ReplyCode(TakeReply(*ch)) >= 400) ok = false;
    if (ok && !link.Abandoned()) {
      const int64_t size = announced >= 0 ? announced : RemoteSize(*ch, remote);
      if (size >= 0 && static_cast<uint64_t>(size) != received) ok = false;
    }
    if (!cacheFile.empty()) DropCacheCopy(*ch, remote, cacheFile);
  }
  ArmDeadline(*ch, Waiting::Nothing);
  if (ok) return 0;
  // A transfer cut short (or refused by its closing reply) ends as libcurl's partial file.
  return error != 0 ? error : kFtpErrorConnectionAborted;
}

void CloseChannel(Channel* ch) {
  const HINTERNET connection = UnregisterChannel(*ch);
  // Ends the control connection (Wine closes it without a QUIT).
  if (connection != nullptr) WinInet().closeHandle(connection);
  delete ch;
}

}  // namespace ftp
}  // namespace plat
