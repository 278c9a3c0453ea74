// A load generator for the benchmarks: servers (sink, echo, source) and clients (bulk, ping-pong, churn,
// many connections) that print one figure each. Plain POSIX sockets; loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool ReadExactly(int fd, char* p, std::size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// sink: reads until the end of the stream, answers the byte count (8 bytes) and closes.
// echo: sends back what comes. source <MB>: sends that many megabytes and closes.
int Server(const std::string& mode, long amount) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 4096);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::printf("%d\n", ntohs(a.sin_port));
  std::fflush(stdout);
  for (;;) {
    int c = accept(listener, nullptr, nullptr);
    if (c < 0) continue;
    std::thread([c, mode, amount] {
      std::vector<char> buf(1 << 20);
      if (mode == "sink") {
        std::uint64_t total = 0;
        ssize_t r;
        while ((r = recv(c, buf.data(), buf.size(), 0)) > 0) total += static_cast<std::uint64_t>(r);
        WriteAll(c, reinterpret_cast<char*>(&total), sizeof total);
      } else if (mode == "echo") {
        ssize_t r;
        while ((r = recv(c, buf.data(), buf.size(), 0)) > 0) {
          if (!WriteAll(c, buf.data(), static_cast<std::size_t>(r))) break;
        }
      } else if (mode == "source") {
        std::mt19937 random(1);
        for (char& ch : buf) ch = static_cast<char>(random());
        for (long i = 0; i < amount; ++i) {
          if (!WriteAll(c, buf.data(), buf.size())) break;
        }
      }
      close(c);
    }).detach();
  }
}

// Sends `megabytes` of random bytes, ends the stream and waits for the sink's count: MB/s.
int Bulk(int port, long megabytes) {
  std::vector<char> buf(1 << 20);
  std::mt19937 random(2);
  for (char& ch : buf) ch = static_cast<char>(random());
  auto start = Clock::now();
  int fd = Connect(port);
  if (fd < 0) return 1;
  for (long i = 0; i < megabytes; ++i) {
    if (!WriteAll(fd, buf.data(), buf.size())) return 1;
  }
  shutdown(fd, SHUT_WR);
  std::uint64_t total = 0;
  if (!ReadExactly(fd, reinterpret_cast<char*>(&total), sizeof total)) return 1;
  double seconds = Since(start);
  close(fd);
  if (total != static_cast<std::uint64_t>(megabytes) << 20) {
    std::fprintf(stderr, "sink got %llu bytes\n", static_cast<unsigned long long>(total));
    return 1;
  }
  std::printf("%.1f\n", megabytes / seconds);
  return 0;
}

// Reads a source's stream to its end: MB/s.
int Download(int port) {
  auto start = Clock::now();
  int fd = Connect(port);
  if (fd < 0) return 1;
  std::vector<char> buf(1 << 20);
  std::uint64_t total = 0;
  ssize_t r;
  while ((r = recv(fd, buf.data(), buf.size(), 0)) > 0) total += static_cast<std::uint64_t>(r);
  std::printf("%.1f\n", static_cast<double>(total) / (1 << 20) / Since(start));
  close(fd);
  return 0;
}

// `count` round trips of `size` bytes through an echo server on one connection: microseconds each.
int PingPong(int port, long count, long size) {
  int fd = Connect(port);
  if (fd < 0) return 1;
  std::string out(static_cast<std::size_t>(size), 'p'), in(static_cast<std::size_t>(size), '\0');
  auto start = Clock::now();
  for (long i = 0; i < count; ++i) {
    if (!WriteAll(fd, out.data(), out.size()) || !ReadExactly(fd, in.data(), in.size())) return 1;
  }
  std::printf("%.2f\n", Since(start) * 1e6 / count);
  close(fd);
  return 0;
}

// For `seconds`: connect, 100 bytes echoed, close. Connections per second.
int Churn(int port, double seconds) {
  char out[100], in[100];
  std::memset(out, 'c', sizeof out);
  long done = 0;
  auto start = Clock::now();
  while (Since(start) < seconds) {
    int fd = Connect(port);
    if (fd < 0) return 1;
    if (!WriteAll(fd, out, sizeof out) || !ReadExactly(fd, in, sizeof in) || std::memcmp(in, out, sizeof in) != 0) {
      return 1;
    }
    close(fd);
    ++done;
  }
  std::printf("%.0f\n", done / Since(start));
  return 0;
}

// Opens `count` connections at once, each echoing its own message; holds them for `hold` seconds (so
// that memory can be read meanwhile) and answers how many were byte-exact.
int Many(int port, long count, double hold) {
  std::vector<int> fds;
  fds.reserve(static_cast<std::size_t>(count));
  for (long i = 0; i < count; ++i) {
    int fd = Connect(port);
    if (fd < 0) {
      std::fprintf(stderr, "connect %ld failed: %s\n", i, std::strerror(errno));
      break;
    }
    fds.push_back(fd);
  }
  long exact = 0;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    std::string m = "message " + std::to_string(i) + " of many\n";
    WriteAll(fds[i], m.data(), m.size());
  }
  for (std::size_t i = 0; i < fds.size(); ++i) {
    std::string m = "message " + std::to_string(i) + " of many\n";
    std::string in(m.size(), '\0');
    if (ReadExactly(fds[i], in.data(), in.size()) && in == m) ++exact;
  }
  std::printf("%ld\n", exact);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::duration<double>(hold));
  for (int fd : fds) close(fd);
  return exact == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: loadgen server sink|echo|source [MB] | bulk PORT MB | download PORT | pingpong PORT COUNT SIZE |"
                 " churn PORT SECONDS | many PORT COUNT HOLD_SECONDS\n");
    return 2;
  }
  std::string cmd = argv[1];
  auto arg = [&](int i) { return i < argc ? std::atol(argv[i]) : 0L; };
  if (cmd == "server" && argc >= 3) return Server(argv[2], arg(3));
  if (cmd == "bulk") return Bulk(static_cast<int>(arg(2)), arg(3));
  if (cmd == "download") return Download(static_cast<int>(arg(2)));
  if (cmd == "pingpong") return PingPong(static_cast<int>(arg(2)), arg(3), arg(4));
  if (cmd == "churn") return Churn(static_cast<int>(arg(2)), std::atof(argv[3]));
  if (cmd == "many") return Many(static_cast<int>(arg(2)), arg(3), argc > 4 ? std::atof(argv[4]) : 0);
  return 2;
}
