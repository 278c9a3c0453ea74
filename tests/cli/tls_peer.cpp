#include "tests/cli/tls_peer.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace tapline::test {

namespace {

std::string LastError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  char text[256] = "no OpenSSL error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return text;
}

int Remaining(std::chrono::steady_clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool TlsPeer::Wait(bool read, bool write, int milliseconds) const {
  pollfd p{fd_, static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0};
  return ::poll(&p, 1, milliseconds) > 0;
}

std::unique_ptr<TlsPeer> TlsPeer::Handshake(std::unique_ptr<TlsPeer> peer, std::string& error) {
  ::fcntl(peer->fd_, F_SETFL, ::fcntl(peer->fd_, F_GETFL) | O_NONBLOCK);
  SSL_set_fd(peer->ssl_, peer->fd_);
  SSL_set_mode(peer->ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    int r = SSL_do_handshake(peer->ssl_);
    if (r == 1) return peer;
    int e = SSL_get_error(peer->ssl_, r);
    if ((e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) ||
        !peer->Wait(e == SSL_ERROR_WANT_READ, e == SSL_ERROR_WANT_WRITE, Remaining(end))) {
      error = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? "handshake timed out" : LastError();
      return nullptr;
    }
  }
}

std::unique_ptr<TlsPeer> TlsPeer::Accept(int fd, const std::string& cert, const std::string& key, std::string& error) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate_chain_file(context, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = LastError();
    SSL_CTX_free(context);
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<TlsPeer> peer(new TlsPeer(fd, context, SSL_new(context)));
  SSL_set_accept_state(peer->ssl_);
  return Handshake(std::move(peer), error);
}

std::unique_ptr<TlsPeer> TlsPeer::Connect(int fd, const std::string& caFile, const std::string& host, std::string& error) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
    error = LastError();
    SSL_CTX_free(context);
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<TlsPeer> peer(new TlsPeer(fd, context, SSL_new(context)));
  SSL_set_connect_state(peer->ssl_);
  SSL_set_tlsext_host_name(peer->ssl_, host.c_str());
  SSL_set1_host(peer->ssl_, host.c_str());
  return Handshake(std::move(peer), error);
}

TlsPeer::~TlsPeer() {
  SSL_free(ssl_);
  SSL_CTX_free(context_);
  if (fd_ >= 0) ::close(fd_);
}

void TlsPeer::Reset() {
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd_);
  fd_ = -1;
}

std::string TlsPeer::ServerName() const {
  const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
  return name != nullptr ? name : "";
}

std::string TlsPeer::Exchange(const std::string& data, int milliseconds, std::size_t readStep, int pauseUs,
                              bool halfClose) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::string got;
  std::string buffer(readStep, '\0');
  std::size_t sent = 0;
  bool shut = false, ended = false;
  while (!ended && Remaining(end) > 0) {
    bool wantWrite = false;
    if (sent < data.size()) {
      std::size_t n = 0;
      int r = SSL_write_ex(ssl_, data.data() + sent, data.size() - sent, &n);
      if (r == 1) {
        sent += n;
      } else {
        int e = SSL_get_error(ssl_, r);
        if (e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) break;
        wantWrite = e == SSL_ERROR_WANT_WRITE;
      }
    }
    if (sent == data.size() && !shut) {  // the end follows the last bytes at once
      SSL_shutdown(ssl_);
      if (halfClose) ::shutdown(fd_, SHUT_WR);
      shut = true;
    }
    if (closeNotify_) {
      // The peer's end is a half-close: what is left to send still goes.
      ended = shut;
      if (!ended && wantWrite) Wait(false, true, std::min(Remaining(end), 100));
      continue;
    }
    std::size_t n = 0;
    int r = SSL_read_ex(ssl_, buffer.data(), buffer.size(), &n);
    if (r == 1) {
      got.append(buffer.data(), n);
      if (pauseUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
      continue;
    }
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
      closeNotify_ = true;
      ended = shut;
    } else if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      ended = true;  // a plain end or a failure: the caller looks at what came
    } else if (sent == data.size() || wantWrite) {
      Wait(true, sent < data.size(), std::min(Remaining(end), 100));
    }
  }
  ERR_clear_error();
  return got;
}

bool TlsPeer::Send(const std::string& data, int milliseconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::size_t sent = 0;
  while (sent < data.size() && Remaining(end) > 0) {
    std::size_t n = 0;
    int r = SSL_write_ex(ssl_, data.data() + sent, data.size() - sent, &n);
    if (r == 1) {
      sent += n;
    } else if (SSL_get_error(ssl_, r) == SSL_ERROR_WANT_WRITE) {
      Wait(false, true, Remaining(end));
    } else {
      break;
    }
  }
  ERR_clear_error();
  return sent == data.size();
}

bool TlsPeer::SendRaw(const std::string& bytes) {
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string TlsPeer::ReceiveUpTo(std::size_t count, int milliseconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::string got;
  char buffer[16384];
  while (got.size() < count && Remaining(end) > 0) {
    std::size_t n = 0;
    int r = SSL_read_ex(ssl_, buffer, std::min(sizeof buffer, count - got.size()), &n);
    if (r == 1) {
      got.append(buffer, n);
      continue;
    }
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_ZERO_RETURN) closeNotify_ = true;
    if (e != SSL_ERROR_WANT_READ) break;
    Wait(true, false, Remaining(end));
  }
  ERR_clear_error();
  return got;
}

}  // namespace tapline::test
