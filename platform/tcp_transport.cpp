// Plain TCP under the transport interface: the system's calls, nothing in between.
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/transport.h"

namespace tapline::platform {

namespace {

class TcpTransport final : public Transport {
 public:
  long Read(int fd, char* buffer, std::size_t length, bool peek, int& error) override {
    if (length == 0) {
      // Nobody asks to read nothing but a reader whose block is exactly full. A recv of 0 bytes answers 0,
      // which reads as the peer's close; a peek at one byte tells the two apart.
      char probe;
      ssize_t p = ::recv(fd, &probe, 1, MSG_PEEK);
      if (p == 0) return 0;
      error = p < 0 ? errno : EAGAIN;  // a byte arrived: the next read makes room for it
      return -1;
    }
    ssize_t n = ::recv(fd, buffer, length, peek ? MSG_PEEK : 0);
    if (n < 0) error = errno;
    return static_cast<long>(n);
  }

  long Write(int fd, const char* data, std::size_t length, int& error) override {
    ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0) error = errno;
    return static_cast<long>(n);
  }

  long Available(int fd, int& error) override {
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0) {
      error = errno;
      return -1;
    }
    return waiting;
  }

  int ShutdownSend(int fd) override { return ::shutdown(fd, SHUT_WR) == 0 ? 0 : errno; }
};

}  // namespace

std::unique_ptr<Transport> MakeTcpTransport() { return std::make_unique<TcpTransport>(); }

Transport& SharedTcpTransport() {
  static TcpTransport shared;
  return shared;
}

}  // namespace tapline::platform
