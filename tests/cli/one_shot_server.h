// A server of a test's own, run on a thread: it takes one connection on 127.0.0.1 and does `serve` with it
// (the socket is then serve's to close). Made and joined on the test's thread.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/loopback.h"

namespace tapline::test {

class OneShotServer {
 public:
  explicit OneShotServer(std::function<void(int)> serve) {
    fd_ = ListenLoopback(port_);
    thread_ = std::thread([this, serve] {
      int c = AcceptWithin(fd_, 20000);
      if (c >= 0) serve(c);
    });
  }
  ~OneShotServer() {
    Join();
    close(fd_);
  }
  OneShotServer(const OneShotServer&) = delete;
  OneShotServer& operator=(const OneShotServer&) = delete;
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::uint16_t Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace tapline::test
