// TLS over a non-blocking socket with OpenSSL. The socket is read through a BIO of our own that records
// a plain end of stream (to tell it from a close_notify) and written through one that sends at once and
// keeps what the socket refuses, so that OpenSSL never sees a blocked write and Write keeps send's rules.
#include "platform/certificate_text.h"
#include "platform/posix_socket.h"
#include "platform/tls_transport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/winsock.h"

namespace tapline::platform {

namespace {

// One record's worth of plaintext per SSL_write.
constexpr std::size_t kRecordPlaintext = 16384;

bool IsAddress(const std::string& host) {
  unsigned char binary[16];
  return inet_pton(posix::kAfInet, host.c_str(), binary) == 1 || inet_pton(posix::kAfInet6, host.c_str(), binary) == 1;
}

std::string SystemErrorText(int error) {
  return winsock::WinsockErrorText(winsock::TranslateErrno(error));
}

}  // namespace

int TlsTransport::BioRead(BIO* bio, char* buffer, int length) {
  auto* self = static_cast<TlsTransport*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (length <= 0) {
    // A read of nothing would answer 0, which reads as the socket's end.
    BIO_set_retry_read(bio);
    return -1;
  }
  ssize_t n;
  do n = ::recv(self->fd_, buffer, static_cast<std::size_t>(length), 0);
  while (n < 0 && errno == EINTR);
  if (n > 0) return static_cast<int>(n);
  if (n == 0) {
    self->socketEnded_ = true;
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    BIO_set_retry_read(bio);
  } else {
    self->socketErrno_ = errno;
  }
  return -1;
}

int TlsTransport::BioWrite(BIO* bio, const char* data, int length) {
  auto* self = static_cast<TlsTransport*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  std::size_t sent = 0;
  const auto size = static_cast<std::size_t>(length);
  if (self->outStart_ == self->out_.size()) {
    while (sent < size) {
      ssize_t n = ::send(self->fd_, data + sent, size - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        break;
      } else if (errno != EINTR) {
        self->socketErrno_ = errno;
        return -1;
      }
    }
  }
  self->out_.append(data + sent, size - sent);
  return length;
}

long TlsTransport::BioControl(BIO* bio, int command, long, void*) {
  auto* self = static_cast<TlsTransport*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_EOF: return self->socketEnded_ ? 1 : 0;
    case BIO_CTRL_FLUSH: return 1;
    default: return 0;
  }
}

BIO_METHOD* TlsTransport::SocketMethod() {
  // Made once and kept for the life of the process.
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tapline socket");
    BIO_meth_set_read(m, &TlsTransport::BioRead);
    BIO_meth_set_write(m, &TlsTransport::BioWrite);
    BIO_meth_set_ctrl(m, &TlsTransport::BioControl);
    return m;
  }();
  return method;
}

TlsTransport::TlsTransport(std::shared_ptr<const TlsContext> context, Role role, std::string host)
    : context_(std::move(context)), role_(role), host_(std::move(host)), wantRead_(role == Role::Server) {
  if (host_.size() > 2 && host_.front() == '[' && host_.back() == ']') host_ = host_.substr(1, host_.size() - 2);
}

TlsTransport::~TlsTransport() { SSL_free(ssl_); }

bool TlsTransport::Attach(int fd) {
  if (ssl_ != nullptr) return true;
  fd_ = fd;
  ssl_ = SSL_new(role_ == Role::Client ? context_->ToRemote() : context_->ForClients());
  BIO* bio = ssl_ != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (bio == nullptr) {
    FailWith(ENOMEM, "Out of memory");
    return false;
  }
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  // Records are read from the socket in large steps rather than a header and a body at a time; what
  // OpenSSL has read ahead is announced by Holds().
  SSL_set_read_ahead(ssl_, 1);
  if (role_ == Role::Server) {
    SSL_set_accept_state(ssl_);
    return true;
  }
  SSL_set_connect_state(ssl_);
  if (IsAddress(host_)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host_.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, host_.c_str());
    SSL_set1_host(ssl_, host_.c_str());
  }
  return true;
}

int TlsTransport::FailWith(int error, std::string text) {
  failed_ = true;
  failError_ = error;
  failure_ = std::move(text);
  return error;
}

// Records why OpenSSL gave up, in one line: its reason, or the socket's error.
int TlsTransport::Fail(int sslError) {
  // The last error is OpenSSL's own summary (the earlier ones are its causes, such as "EVP lib" under a
  // bad signature); a failed verification says why the certificate was refused.
  unsigned long code = 0;
  bool verifyFailed = false;
  for (unsigned long e; (e = ERR_get_error()) != 0;) {
    code = e;
    verifyFailed = verifyFailed || (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_CERTIFICATE_VERIFY_FAILED);
  }
  if (code == 0 && socketErrno_ != 0) return FailWith(socketErrno_, SystemErrorText(socketErrno_));
  if (verifyFailed) {
    // What the certificate is, beside why it was refused: enough to choose between trusting its issuer
    // (-tls-ca), naming the remote as the certificate does, or not verifying at all.
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl_);
    X509* certificate = chain != nullptr && sk_X509_num(chain) > 0 ? sk_X509_value(chain, 0) : nullptr;
    return FailWith(EPROTO, std::string("certificate verify failed: ") +
                                X509_verify_cert_error_string(SSL_get_verify_result(ssl_)) + "\n" + Peer() +
                                " certificate: " + DescribeCertificate(certificate) + "; expected " +
                                (IsAddress(host_) ? "address " : "name ") + host_);
  }
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  if (reason != nullptr) return FailWith(EPROTO, reason);
  if (socketEnded_) return FailWith(EPROTO, "unexpected eof while reading");
  return FailWith(EPROTO, "TLS failed (SSL error " + std::to_string(sslError) + ")");
}

int TlsTransport::Handshake() {
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    established_ = true;
    wantRead_ = false;
    // From here a peer that just closes the socket has ended its stream (and is noted as such); in the
    // handshake it stays a failure.
    SSL_set_options(ssl_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    notes_.push_back({false, "TLS established with " + Peer() + "; " + SSL_get_version(ssl_) + ", " +
                                 SSL_get_cipher_name(ssl_)});
    if (role_ == Role::Client && context_->Insecure()) notes_.push_back({true, "Server certificate not verified"});
    return 0;
  }
  const int sslError = SSL_get_error(ssl_, result);
  if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
    wantRead_ = sslError == SSL_ERROR_WANT_READ;
    return 0;
  }
  return Fail(sslError);
}

// Sends what the socket refused before; then the half-close that waited for it. False when the socket failed.
bool TlsTransport::FlushOut() {
  while (outStart_ < out_.size()) {
    ssize_t n = ::send(fd_, out_.data() + outStart_, out_.size() - outStart_, MSG_NOSIGNAL);
    if (n > 0) {
      outStart_ += static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return true;
    } else if (errno != EINTR) {
      socketErrno_ = errno;
      FailWith(errno, SystemErrorText(errno));
      return false;
    }
  }
  out_.clear();
  outStart_ = 0;
  if (halfClosePending_) {
    halfClosePending_ = false;
    ::shutdown(fd_, SHUT_WR);
  }
  return true;
}

int TlsTransport::Progress(int fd, bool, bool) {
  if (failed_) return failError_;
  if (!Attach(fd) || !FlushOut()) return failError_;
  if (!established_ && (Handshake() != 0 || !FlushOut())) return failError_;
  return 0;
}

long TlsTransport::Read(int fd, char* buffer, std::size_t length, bool peek, int& error) {
  if (length == 0 && established_) {
    // Only a reader whose block is exactly full asks for nothing, and 0 must then mean the end, as it
    // does for TCP: look whether plaintext waits (the reader makes room for it) or the stream has ended.
    if (deferredEnd_) {
      deferredEnd_ = false;
      if (failed_) {
        error = failError_;
        return -1;
      }
      return 0;
    }
    char probe;
    std::size_t got = 0;
    ERR_clear_error();
    int peeked = SSL_peek_ex(ssl_, &probe, 1, &got);
    int reason = peeked == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, peeked);
    ERR_clear_error();
    if (reason == SSL_ERROR_ZERO_RETURN) return 0;
    error = EAGAIN;
    return -1;
  }
  if (!peek) deferredEnd_ = false;
  if (Progress(fd, true, false) != 0) {
    error = failError_;
    return -1;
  }
  if (!established_) {
    error = EAGAIN;
    return -1;
  }
  if (length == 0) {  // established by this very call: whatever came is read next time
    error = EAGAIN;
    return -1;
  }
  ERR_clear_error();
  // One record at most per SSL_read: a read goes on through the records already there, so that a large
  // buffer is filled in one call.
  std::size_t n = 0;
  int result = peek ? SSL_peek_ex(ssl_, buffer, length, &n) : SSL_read_ex(ssl_, buffer, length, &n);
  while (result == 1 && !peek && n < length) {
    std::size_t more = 0;
    ERR_clear_error();
    if (SSL_read_ex(ssl_, buffer + n, length - n, &more) != 1) {
      // An end or a failure met after data is reported by the next Read, which Holds() asks for: no
      // readiness may come for it, its bytes having been read already.
      const int later = SSL_get_error(ssl_, 0);
      if (later == SSL_ERROR_ZERO_RETURN) {
        deferredEnd_ = true;
      } else if (later != SSL_ERROR_WANT_READ && later != SSL_ERROR_WANT_WRITE) {
        Fail(later);
        deferredEnd_ = true;
      }
      ERR_clear_error();
      break;
    }
    n += more;
  }
  const int sslError = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, result);
  if (!FlushOut()) {  // an answer OpenSSL had to send (a key update) may have been queued
    error = failError_;
    return -1;
  }
  switch (sslError) {
    case SSL_ERROR_NONE: return static_cast<long>(n);
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: error = EAGAIN; return -1;
    case SSL_ERROR_ZERO_RETURN:
      // A close_notify stops OpenSSL before the socket's end is read; having read that end means there was none.
      if (socketEnded_ && !endNoted_) {
        endNoted_ = true;
        notes_.push_back({true, "TLS stream from " + Peer() + " ended without close_notify"});
      }
      return 0;
    default: error = Fail(sslError); return -1;
  }
}

long TlsTransport::Write(int fd, const char* data, std::size_t length, int& error) {
  if (Progress(fd, false, true) != 0) {
    error = failError_;
    return -1;
  }
  if (closeNotifySent_) {
    error = EPIPE;
    return -1;
  }
  std::size_t taken = 0;
  while (established_ && taken < length && outStart_ == out_.size()) {
    std::size_t written = 0;
    ERR_clear_error();
    const int result = SSL_write_ex(ssl_, data + taken, std::min(length - taken, kRecordPlaintext), &written);
    if (result != 1) {
      Fail(SSL_get_error(ssl_, result));
      if (taken > 0) return static_cast<long>(taken);  // as send: the failure shows on the next call
      error = failError_;
      return -1;
    }
    taken += written;
  }
  if (taken == 0) {
    error = EAGAIN;
    return -1;
  }
  return static_cast<long>(taken);
}

long TlsTransport::Available(int fd, int& error) {
  int waiting = 0;
  if (::ioctl(fd, posix::kFionread, &waiting) != 0) {
    error = errno;
    return -1;
  }
  int held = ssl_ != nullptr && established_ ? SSL_pending(ssl_) : 0;
  // Records read ahead but not yet decrypted count for at least a byte.
  if (held == 0 && ssl_ != nullptr && established_ && SSL_has_pending(ssl_)) held = 1;
  return static_cast<long>(waiting) + held;
}

int TlsTransport::ShutdownSend(int fd) {
  if (!Attach(fd)) return failError_;
  if (established_ && !failed_ && !closeNotifySent_) {
    closeNotifySent_ = true;
    ERR_clear_error();
    SSL_shutdown(ssl_);  // queues the close_notify; the peer's own comes (or not) through Read
    ERR_clear_error();
  }
  halfClosePending_ = true;
  if (failed_) {
    halfClosePending_ = false;
    return ::shutdown(fd, SHUT_WR) == 0 ? 0 : errno;
  }
  return FlushOut() ? 0 : failError_;
}

unsigned TlsTransport::Needs() const {
  if (failed_) return 0;
  unsigned needs = outStart_ < out_.size() ? NeedWrite : 0;
  if (!established_) needs |= ssl_ == nullptr && role_ == Role::Client ? NeedWrite : (wantRead_ ? NeedRead : 0);
  return needs;
}

bool TlsTransport::Holds() const {
  return established_ && (deferredEnd_ || (!failed_ && SSL_has_pending(ssl_) == 1));
}

std::vector<TransportNote> TlsTransport::TakeNotes() { return std::exchange(notes_, {}); }

namespace {

class TlsFactory : public TransportFactory {
 public:
  explicit TlsFactory(std::shared_ptr<const TlsContext> context) : context_(std::move(context)) {}
  std::unique_ptr<Transport> ForClient() override {
    if (context_->ForClients() == nullptr) return nullptr;
    return std::make_unique<TlsTransport>(context_, TlsTransport::Role::Server, std::string());
  }
  std::unique_ptr<Transport> ForServer(const std::string& host) override {
    if (context_->ToRemote() == nullptr) return nullptr;
    return std::make_unique<TlsTransport>(context_, TlsTransport::Role::Client, host);
  }

 private:
  std::shared_ptr<const TlsContext> context_;
};

}  // namespace

std::unique_ptr<TransportFactory> MakeTlsFactory(std::shared_ptr<const TlsContext> context) {
  return std::make_unique<TlsFactory>(std::move(context));
}

}  // namespace tapline::platform
