// The FTP client in two halves, inside the platform layer. ftp_client.cpp implements
// ftp.h once for every build: the handle table, the order of each root's notifications
// and the count in flight, the one completion of each operation, the client threads,
// the checks of what a caller passes, and a download's temporary file with its move into
// place. Each build's adapter implements what is declared below over its FTP library
// (log on, fetch one file, wake a blocked call) and over its files.
//
// Threads: each connection runs on one client thread, where OpenChannel's channel is
// used for Connect, then for each Download, then closed. WakeChannel comes from any
// thread while the client holds its lock (so the adapter takes no lock of its own
// around a call into the client that could wait for that one). The client calls the
// adapter with none of its own locks held, except WakeChannel, the local-file calls,
// OpenChannel, and CloseChannel of a connection whose thread could not be started.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ftp.h"

namespace plat {
namespace ftp {

struct Session;  // the adapter's state of one root
struct Channel;  // the adapter's state of one connection

// One connection, as the client hands it to its adapter.
class Link {
 public:
  uintptr_t id = 0;      // the connection's handle value: unique for the process's life
  std::string host;      // one host name or address (an IPv6 address without brackets)
  bool ipv6 = false;
  // The one address of `host` that Connect is to use, as numeric text (IPv6 without
  // brackets): the client resolves the name and tries its addresses in turn, so the
  // adapter never lets its library pick one. Set before each Connect, on the
  // connection's thread.
  std::string address;
  bool addressIpv6 = false;
  // Another address follows if this Connect fails: a time limit that runs out during it
  // ends this address only, and Connect returns kFtpErrorTimeout (an adapter that cannot
  // interrupt its library then returns when the library gives up).
  bool moreAddresses = false;
  uint16_t port = 21;    // never 0
  std::string user;      // empty: anonymous
  std::string password;
  FtpTimeLimits limits{};

  // The connection was closed or its operation ended by AbortOperation: the running
  // call should return soon (its result is not reported). Any thread, no lock taken.
  virtual bool Abandoned() const = 0;
  // The number of the connection's operation that runs or ran last: the connect is 1,
  // each download the next. It changes only once the one before has ended. Any thread.
  virtual uint64_t Operation() const = 0;
  // During a download: appends to the local file. False when the write failed
  // (*error: the system's code), when the data would take the file past the download's
  // bound (*error kFtpErrorWrongSize; nothing of it is written, and the transfer is to
  // stop there), or when the file was dropped by a close or an abort (*error 0).
  // Outside a download the data is discarded.
  virtual bool Write(const void* data, size_t size, uint32_t* error) = 0;
  // During a download: reports `count` more bytes written (kFtpResponseReceived).
  virtual void Received(uint64_t count) = 0;

 protected:
  ~Link() = default;
};

// A root of the library. Null (LastErrorCode) on failure. CloseSession runs once the
// root is closed and its last connection has ended, with no lock of the client held.
Session* OpenSession(const char* agent);
void CloseSession(Session* session);

// A connection's channel, made on the caller's thread before the connection is handed
// to a client thread. Null (LastErrorCode) when there are no resources.
Channel* OpenChannel(Session* session, Link& link);
// Connects to Link::address and logs on: 0, or the client's error code (ftp.h). A
// refused connect is kFtpErrorCannotConnect, and so is a server that greets with a
// refusal; one that does not accept within the connect limit, or does not greet or
// answer within the response limit, is kFtpErrorTimeout. After a failure the client
// may call Connect again on the same channel with another address.
uint32_t Connect(Channel* channel);
// Fetches `remote` (not empty, not ending in '/', no control character) in image type,
// writing through Link::Write and reporting through Link::Received: 0 only when the
// whole file has arrived, else the error.
uint32_t Download(Channel* channel, const std::string& remote);
// Makes a blocked Connect or Download return soon.
void WakeChannel(Channel* channel);
// Ends the connection and frees the channel.
void CloseChannel(Channel* channel);
// After FtpShutdown has waited for the client threads.
void ShutdownTransport();
// How long FtpShutdown waits for a client thread that the library still holds before
// it leaves it to end with the process; negative: as long as it takes.
extern const long kShutdownWaitMs;

// Implemented by the client, for the adapter's own time limits: ends operation
// `operation` (Link::Operation) of connection `id` now with `error`, unless it has
// ended; the connection is dead from then on and its temporary file is gone. A limit
// that ran out as its operation ended thus never ends the next one.
void AbortOperation(uintptr_t id, uint64_t operation, uint32_t error);

// A download's temporary file.
using LocalFile = intptr_t;
constexpr LocalFile kNoLocalFile = -1;
// Creates `path` only if the name is free, after removing a leftover of that name.
// kNoLocalFile (LastErrorCode) on failure.
LocalFile CreateLocal(const std::string& path);
bool WriteLocal(LocalFile file, const void* data, size_t size);
bool CloseLocal(LocalFile file);
// Removes a file (never a directory). False (LastErrorCode) when there is none.
bool RemoveLocal(const std::string& path);
// Moves `from` over `to`, replacing it in one step.
bool PlaceLocal(const std::string& from, const std::string& to);
// The system's code for a path that is null or empty.
extern const uint32_t kInvalidArgument;

}  // namespace ftp
}  // namespace plat
