// The byte stream of one connected socket: plain TCP, or a protocol layered over it such as TLS. The
// socket layer owns one per connected socket and calls it from the main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tapline::platform {

// What a transport has to tell the log about its stream (a handshake's outcome, an unusual end).
struct TransportNote {
  bool inform;  // an inform line; otherwise a message line
  std::string text;
};

// Readiness a transport asks for in Needs(), whatever its user waits for.
inline constexpr unsigned NeedRead = 1;
inline constexpr unsigned NeedWrite = 2;

class Transport {
 public:
  virtual ~Transport() = default;

  // As recv: bytes read (> 0), 0 at the peer's orderly end, or -1 with `error` an errno value (EAGAIN
  // when nothing can be read now). `peek` leaves the bytes to be read again.
  virtual long Read(int fd, char* buffer, std::size_t length, bool peek, int& error) = 0;
  // As send: bytes taken, or -1 with `error` an errno value (EAGAIN when nothing can be taken now).
  virtual long Write(int fd, const char* data, std::size_t length, int& error) = 0;
  // Bytes a Read would answer at once (for TCP what FIONREAD reports), or -1 with `error`.
  virtual long Available(int fd, int& error) = 0;
  // Ends the sending direction in order: 0, or an errno value.
  virtual int ShutdownSend(int fd) = 0;

  // Protocols with a handshake use the rest; plain TCP keeps the defaults.
  // The stream carries its user's bytes (a handshake, if any, has completed).
  virtual bool Established() const { return true; }
  // Readiness arrived (`readable`, `writable`): lets a handshake or a pending record make progress.
  // Answers 0, or an errno value when the stream has failed (see FailureText).
  virtual int Progress(int /*fd*/, bool /*readable*/, bool /*writable*/) { return 0; }
  // NeedRead / NeedWrite: readiness the transport has to see to make progress, whatever its user waits for.
  virtual unsigned Needs() const { return 0; }
  // Bytes already taken from the socket and waiting inside the transport: no readiness announces them.
  virtual bool Holds() const { return false; }
  // Why the stream failed, in one line (a handshake's may add lines that explain it), once Progress,
  // Read or Write has failed.
  virtual std::string FailureText() const { return std::string(); }
  // Lines for the log gathered since the last call.
  virtual std::vector<TransportNote> TakeNotes() { return {}; }
};

// Plain TCP: the system's recv, send, FIONREAD and shutdown.
std::unique_ptr<Transport> MakeTcpTransport();
// The same without a state of its own, shared by every plain socket: a socket costs no object for it.
Transport& SharedTcpTransport();

// Makes the transports of a relay run's sockets: one for each accepted client, one for each server
// connection. A null answer means plain TCP.
class TransportFactory {
 public:
  virtual ~TransportFactory() = default;
  virtual std::unique_ptr<Transport> ForClient() = 0;
  // `host` is the remote host as the user gave it (for a name check and server name indication).
  virtual std::unique_ptr<Transport> ForServer(const std::string& host) = 0;
};

}  // namespace tapline::platform
