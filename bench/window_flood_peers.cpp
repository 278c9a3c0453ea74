// The flood benchmark's peers on plain blocking POSIX sockets, kept apart from the window's code, whose
// engine headers use the Windows Sockets names for the same constants.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

int FloodListen(std::uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) return -1;
  socklen_t n = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  port = ntohs(a.sin_port);
  return fd;
}

int FloodAccept(int listener) { return ::accept(listener, nullptr, nullptr); }

int FloodConnect(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}

long long FloodRead(int fd, char* buffer, std::size_t size) { return ::read(fd, buffer, size); }
long long FloodWrite(int fd, const char* data, std::size_t size) { return ::write(fd, data, size); }
void FloodClose(int fd) { ::close(fd); }
void FloodShutdown(int fd) { ::shutdown(fd, SHUT_RDWR); }
