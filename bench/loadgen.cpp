// A load generator for the benchmarks: servers (sink, echo, echo-epoll, source) and clients (bulk, duplex,
// ping-pong, churn, many connections) that print one figure each. Plain POSIX sockets; loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// A listener on a free loopback port, whose number goes to standard output for the script.
int ListenAndSayPort(int backlog) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, backlog);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::printf("%d\n", ntohs(a.sin_port));
  std::fflush(stdout);
  return listener;
}

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

// echo-epoll: the echo server on one thread, so that ten thousand connections cost neither ten thousand
// threads nor their buffers. A connection whose echo is blocked is not read until the echo has gone out,
// and it is closed at the end of its stream, when nothing of it waits any more.
[[noreturn]] void EchoLoop(int listener) {
  int ep = epoll_create1(EPOLL_CLOEXEC);
  auto watch = [ep](int op, int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(ep, op, fd, &ev);
  };
  watch(EPOLL_CTL_ADD, listener, EPOLLIN);
  std::unordered_map<int, std::string> waiting;  // echo not yet taken by the peer
  std::vector<char> buf(1 << 16);
  epoll_event events[256];
  auto drop = [&](int fd) {
    waiting.erase(fd);
    close(fd);
  };
  for (;;) {
    int n = epoll_wait(ep, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == listener) {
        for (;;) {
          int c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (c < 0) break;
          int one = 1;
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          watch(EPOLL_CTL_ADD, c, EPOLLIN);
        }
        continue;
      }
      auto it = waiting.find(fd);
      if (it != waiting.end()) {
        std::string& rest = it->second;
        ssize_t w = send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (w < 0 && errno != EAGAIN) {
          drop(fd);
          continue;
        }
        if (w > 0) rest.erase(0, static_cast<std::size_t>(w));
        if (rest.empty()) {
          waiting.erase(it);
          watch(EPOLL_CTL_MOD, fd, EPOLLIN);
        }
        continue;
      }
      ssize_t r = recv(fd, buf.data(), buf.size(), 0);
      if (r < 0 && errno == EAGAIN) continue;
      if (r <= 0) {
        drop(fd);
        continue;
      }
      ssize_t w = send(fd, buf.data(), static_cast<std::size_t>(r), MSG_NOSIGNAL);
      if (w < 0 && errno != EAGAIN) {
        drop(fd);
        continue;
      }
      if (w < 0) w = 0;
      if (w < r) {
        waiting[fd].assign(buf.data() + w, static_cast<std::size_t>(r - w));
        watch(EPOLL_CTL_MOD, fd, EPOLLOUT);
      }
    }
  }
}

// sink: reads until the end of the stream, answers the byte count (8 bytes) and closes.
// echo: sends back what comes (a thread per connection). source <MB>: sends that many megabytes and closes.
// deaf: accepts and never reads.
int Server(const std::string& mode, long amount) {
  int listener = ListenAndSayPort(4096);
  if (mode == "echo-epoll") {
    fcntl(listener, F_SETFL, O_NONBLOCK);
    EchoLoop(listener);
  }
  std::vector<int> kept;  // deaf: connections accepted and never read
  for (;;) {
    int c = accept(listener, nullptr, nullptr);
    if (c < 0) continue;
    if (mode == "deaf") {
      kept.push_back(c);
      continue;
    }
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

// Opens `count` connections and writes into all of them as fast as they take it for `seconds`; answers the
// megabytes they took in all.
int Push(int port, long count, double seconds) {
  std::vector<char> buf(1 << 16, 'p');
  std::vector<int> fds;
  for (long i = 0; i < count; ++i) {
    int fd = Connect(port);
    if (fd < 0) return 1;
    fcntl(fd, F_SETFL, O_NONBLOCK);
    fds.push_back(fd);
  }
  std::uint64_t total = 0;
  auto start = Clock::now();
  while (Since(start) < seconds) {
    bool any = false;
    for (int fd : fds) {
      ssize_t r = send(fd, buf.data(), buf.size(), MSG_NOSIGNAL);
      if (r > 0) {
        total += static_cast<std::uint64_t>(r);
        any = true;
      }
    }
    if (!any) usleep(1000);
  }
  std::printf("%.1f\n", static_cast<double>(total) / (1 << 20));
  for (int fd : fds) close(fd);
  return 0;
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

// Sends `megabytes` to an echo server while reading the echo back, and checks that every byte came back
// as sent: MB/s of one direction.
int Duplex(int port, long megabytes) {
  std::vector<char> buf(1 << 20);
  std::mt19937 random(3);
  for (char& ch : buf) ch = static_cast<char>(random());
  auto start = Clock::now();
  int fd = Connect(port);
  if (fd < 0) return 1;
  bool sentAll = false;
  std::thread writer([&] {
    for (long i = 0; i < megabytes; ++i) {
      if (!WriteAll(fd, buf.data(), buf.size())) return;
    }
    shutdown(fd, SHUT_WR);
    sentAll = true;
  });
  std::vector<char> in(1 << 16);
  std::uint64_t total = 0;
  bool exact = true;
  ssize_t r;
  while ((r = recv(fd, in.data(), in.size(), 0)) > 0) {
    for (ssize_t done = 0; done < r;) {
      std::size_t at = static_cast<std::size_t>((total + static_cast<std::uint64_t>(done)) % buf.size());
      std::size_t piece = std::min(static_cast<std::size_t>(r - done), buf.size() - at);
      if (std::memcmp(in.data() + done, buf.data() + at, piece) != 0) exact = false;
      done += static_cast<ssize_t>(piece);
    }
    total += static_cast<std::uint64_t>(r);
  }
  writer.join();
  double seconds = Since(start);
  close(fd);
  if (!sentAll || !exact || total != static_cast<std::uint64_t>(megabytes) << 20) {
    std::fprintf(stderr, "echo gave %llu bytes back%s\n", static_cast<unsigned long long>(total),
                 exact ? "" : ", not as sent");
    return 1;
  }
  std::printf("%.1f\n", megabytes / seconds);
  return 0;
}

// A loopback port that nothing listens on just now, for a peer that needs its port named.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return 1;
  }
  std::printf("%d\n", ntohs(a.sin_port));
  close(fd);
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
    if (fd < 0) {
      std::fprintf(stderr, "connect %ld failed: %s\n", done, std::strerror(errno));
      return 1;
    }
    if (!WriteAll(fd, out, sizeof out) || !ReadExactly(fd, in, sizeof in) || std::memcmp(in, out, sizeof in) != 0) {
      std::fprintf(stderr, "connection %ld did not echo 100 bytes\n", done);
      return 1;
    }
    close(fd);
    ++done;
  }
  std::printf("%.0f\n", done / Since(start));
  return 0;
}

// Opens `count` connections, each echoing its own message, and keeps them all open; holds them for `hold`
// seconds (so that memory can be read meanwhile) and answers how many were byte-exact. Without `window`
// all are opened first in one burst; with it, they are opened `window` at a time, each group echoed before
// the next is opened, so that a server's short accept queue is never overrun.
int Many(int port, long count, double hold, long window) {
  auto start = Clock::now();
  if (window <= 0) window = count;
  std::vector<int> fds;
  fds.reserve(static_cast<std::size_t>(count));
  auto message = [](std::size_t i) { return "message " + std::to_string(i) + " of many\n"; };
  long exact = 0;
  bool failed = false;
  while (!failed && static_cast<long>(fds.size()) < count) {
    std::size_t first = fds.size();
    for (long k = 0; k < window && static_cast<long>(fds.size()) < count; ++k) {
      int fd = Connect(port);
      if (fd < 0) {
        std::fprintf(stderr, "connect %zu failed: %s\n", fds.size(), std::strerror(errno));
        failed = true;
        break;
      }
      timeval patience{30, 0};  // an echo that never comes must not hold the benchmark for ever
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
      fds.push_back(fd);
    }
    for (std::size_t i = first; i < fds.size(); ++i) {
      std::string m = message(i);
      WriteAll(fds[i], m.data(), m.size());
    }
    for (std::size_t i = first; i < fds.size(); ++i) {
      std::string m = message(i);
      std::string in(m.size(), '\0');
      if (ReadExactly(fds[i], in.data(), in.size()) && in == m) ++exact;
    }
  }
  std::printf("%ld\n", exact);
  std::fflush(stdout);
  std::fprintf(stderr, "%zu connections opened and echoed in %.2f s\n", fds.size(), Since(start));
  std::this_thread::sleep_for(std::chrono::duration<double>(hold));
  for (int fd : fds) close(fd);
  return exact == count ? 0 : 1;
}

}  // namespace

int TlsSink(const char* cert, const char* key);          // loadgen_tls.cpp
int TlsBulk(int port, long megabytes, const char* ca);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: loadgen server sink|echo|echo-epoll|source|deaf [MB] | bulk PORT MB | duplex PORT MB | download PORT |"
                 " push PORT COUNT SECONDS |"
                 " pingpong PORT COUNT SIZE | churn PORT SECONDS | many PORT COUNT HOLD_SECONDS [WINDOW] | freeport |"
                 " tls-sink CERT KEY | tls-bulk PORT MB CA\n");
    return 2;
  }
  std::string cmd = argv[1];
  auto arg = [&](int i) { return i < argc ? std::atol(argv[i]) : 0L; };
  if (cmd == "server" && argc >= 3) return Server(argv[2], arg(3));
  if (cmd == "tls-sink" && argc >= 4) return TlsSink(argv[2], argv[3]);
  if (cmd == "tls-bulk" && argc >= 5) return TlsBulk(static_cast<int>(arg(2)), arg(3), argv[4]);
  if (cmd == "bulk") return Bulk(static_cast<int>(arg(2)), arg(3));
  if (cmd == "push") return Push(static_cast<int>(arg(2)), arg(3), argc > 4 ? std::atof(argv[4]) : 1);
  if (cmd == "duplex") return Duplex(static_cast<int>(arg(2)), arg(3));
  if (cmd == "freeport") return FreePort();
  if (cmd == "download") return Download(static_cast<int>(arg(2)));
  if (cmd == "pingpong") return PingPong(static_cast<int>(arg(2)), arg(3), arg(4));
  if (cmd == "churn") return Churn(static_cast<int>(arg(2)), std::atof(argv[3]));
  if (cmd == "many") return Many(static_cast<int>(arg(2)), arg(3), argc > 4 ? std::atof(argv[4]) : 0, arg(5));
  return 2;
}
