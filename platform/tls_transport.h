// TLS over one connected non-blocking socket, as the client toward the remote host or as the server for
// an accepted client, behind the Transport seam; and the factory that makes it. Main thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/tls_context.h"
#include "platform/transport.h"

struct ssl_st;
struct bio_st;
struct bio_method_st;

namespace tapline::platform {

class TlsTransport : public Transport {
 public:
  enum class Role { Client, Server };
  // `host` (client role) is the remote host as the user gave it: its name or address is what the
  // server's certificate must show, and a name is sent as the server name.
  TlsTransport(std::shared_ptr<const TlsContext> context, Role role, std::string host);
  ~TlsTransport() override;
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  long Read(int fd, char* buffer, std::size_t length, bool peek, int& error) override;
  long Write(int fd, const char* data, std::size_t length, int& error) override;
  long Available(int fd, int& error) override;
  int ShutdownSend(int fd) override;

  bool Established() const override { return established_; }
  int Progress(int fd, bool readable, bool writable) override;
  unsigned Needs() const override;
  bool Holds() const override;
  // For a refused certificate, a second line describes it and names what it had to show.
  std::string FailureText() const override { return failure_; }
  std::vector<TransportNote> TakeNotes() override;

 private:
  static int BioRead(bio_st* bio, char* buffer, int length);
  static int BioWrite(bio_st* bio, const char* data, int length);
  static long BioControl(bio_st* bio, int command, long number, void* pointer);
  static bio_method_st* SocketMethod();

  // The other end of the stream as the log names it.
  std::string Peer() const { return role_ == Role::Client ? "Server" : "Client"; }
  bool Attach(int fd);
  int Handshake();
  bool FlushOut();
  int Fail(int sslError);
  int FailWith(int error, std::string text);

  std::shared_ptr<const TlsContext> context_;
  Role role_;
  std::string host_;
  ssl_st* ssl_ = nullptr;
  int fd_ = -1;
  // Records that the socket did not take yet; new plaintext is taken only once this is empty, so it
  // stays within one record (and a close_notify).
  std::string out_;
  std::size_t outStart_ = 0;
  bool established_ = false;
  bool wantRead_ = false;
  bool failed_ = false;
  int failError_ = 0;
  std::string failure_;
  bool socketEnded_ = false;  // recv answered 0
  int socketErrno_ = 0;       // the last failed recv or send
  bool closeNotifySent_ = false;
  bool halfClosePending_ = false;
  bool endNoted_ = false;
  bool deferredEnd_ = false;  // a Read met the end or a failure after data: the next one reports it
  std::vector<TransportNote> notes_;
};

// Makes TLS transports for the sides that `context` has a context for; plain TCP (null) for the other.
std::unique_ptr<TransportFactory> MakeTlsFactory(std::shared_ptr<const TlsContext> context);

}  // namespace tapline::platform
