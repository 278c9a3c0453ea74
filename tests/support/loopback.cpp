#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tapline::test {

namespace {
sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}
}  // namespace

int ListenLoopback(std::uint16_t& port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int ListenFullLoopback(std::uint16_t& port, std::vector<int>& fillers) {
  int listener = ListenLoopback(port, 0);
  if (listener < 0) return -1;
  // A few connections fill the smallest queue; the first one that does not complete shows it is full.
  for (int i = 0; i < 8; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
      ::close(fd);
      break;
    }
    fillers.push_back(fd);
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 300) == 0) return listener;
  }
  ::close(listener);
  return -1;
}

int ConnectLoopback(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int ListenLoopback6(std::uint16_t& port, int backlog) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_loopback;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin6_port);
  return fd;
}

int ConnectLoopback6(std::uint16_t port) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_loopback;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int AcceptWithin(int listener, int milliseconds) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, milliseconds) <= 0) return -1;
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

std::uint16_t UnusedPort() {
  std::uint16_t port = 0;
  int fd = ListenLoopback(port);
  ::close(fd);
  return port;
}

bool SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string ReceiveUpTo(int fd, std::size_t count, int milliseconds) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  char buf[65536];
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string ReceiveAll(int fd, int milliseconds) { return ReceiveUpTo(fd, static_cast<std::size_t>(-1), milliseconds); }

void Reset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool PumpUntil(platform::EventLoop& loop, const std::function<bool()>& done, int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    loop.RunOnce(10);
  }
  return true;
}

void PumpFor(platform::EventLoop& loop, int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < deadline) loop.RunOnce(5);
}

platform::Endpoint Address(const std::string& text) { return platform::Endpoint::FromAddressText(text, 0).value(); }

}  // namespace tapline::test
