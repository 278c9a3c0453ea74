// TLS peers of the end-to-end tests, with OpenSSL over loopback sockets: one connection driven on the
// calling thread, which sends and receives at once (a whole exchange or a slow reader). Any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace tapline::test {

class TlsPeer {
 public:
  // Takes over the connected socket `fd` as the TLS server with `cert` and `key`; null when the
  // handshake failed (`error` says why).
  static std::unique_ptr<TlsPeer> Accept(int fd, const std::string& cert, const std::string& key, std::string& error);
  // Takes over `fd` as the TLS client that trusts `caFile` and expects `host` in the certificate.
  static std::unique_ptr<TlsPeer> Connect(int fd, const std::string& caFile, const std::string& host, std::string& error);
  ~TlsPeer();  // closes the socket
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  // The server name the client sent (server side), empty for none.
  std::string ServerName() const;
  // Sends `data` and then the end (close_notify and the half-close) while reading until the peer ends
  // or `milliseconds` pass; each read takes at most `readStep` bytes and is followed by `pauseUs` of
  // sleep (a slow reader). Answers what was read.
  // `halfClose` false: the end is the close_notify alone, the socket stays open both ways.
  std::string Exchange(const std::string& data, int milliseconds, std::size_t readStep = 1 << 16, int pauseUs = 0,
                       bool halfClose = true);
  // Reads until `count` bytes have come, the peer ended or the time is up; sends nothing.
  std::string ReceiveUpTo(std::size_t count, int milliseconds);
  // Sends `data` and no end: the socket closes later without a close_notify. False when it failed.
  bool Send(const std::string& data, int milliseconds);
  // Writes `bytes` to the socket as they are, outside any record (a corrupt record, say).
  bool SendRaw(const std::string& bytes);
  // Resets the connection (no close_notify, no orderly close).
  void Reset();
  // Whether the peer's end was a close_notify (after Exchange or ReceiveUpTo met it).
  bool EndedWithCloseNotify() const { return closeNotify_; }

 private:
  TlsPeer(int fd, ssl_ctx_st* context, ssl_st* ssl) : fd_(fd), context_(context), ssl_(ssl) {}
  static std::unique_ptr<TlsPeer> Handshake(std::unique_ptr<TlsPeer> peer, std::string& error);
  bool Wait(bool read, bool write, int milliseconds) const;

  int fd_;
  ssl_ctx_st* context_;
  ssl_st* ssl_;
  bool closeNotify_ = false;
};

}  // namespace tapline::test
