// An echo server on a thread of its own that serves any number of connections on 127.0.0.1, each on a
// thread, until it is destroyed. Made and destroyed on the test's thread.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

namespace tapline::test {

class EchoServer {
 public:
  EchoServer() {
    fd_ = ListenLoopback(port_, 512);
    thread_ = std::thread([this] {
      while (!stop_) {
        int c = AcceptWithin(fd_, 50);
        if (c < 0) continue;
        workers_.emplace_back([c] {
          char buf[65536];
          ssize_t n;
          while ((n = recv(c, buf, sizeof buf, 0)) > 0) {
            if (!SendAll(c, std::string(buf, static_cast<std::size_t>(n)))) break;
          }
          close(c);
        });
      }
    });
  }
  ~EchoServer() {
    stop_ = true;
    thread_.join();
    for (auto& w : workers_) w.join();
    close(fd_);
  }
  std::uint16_t Port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::thread> workers_;
};

}  // namespace tapline::test
