// A relay with a fake window, a real event loop and real loopback sockets, and helpers to drive it.
#pragma once

#include "platform/posix_socket.h"

#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/relay.h"
#include "tests/support/fake_window.h"
#include "tests/support/loopback.h"

namespace tapline::test {

using engine::Counter;
using engine::Field;
using V = std::vector<ViewLine>;

inline void PrintTo(const ViewLine& l, std::ostream* os) {
  const char* kind = l.colour == log::MessageLine ? "Msg" : l.colour == log::InformLine ? "Inf"
                     : l.colour == log::ErrorLine ? "Err" : log::IsDataColour(l.colour) ? "Dat" : "Other";
  *os << kind << "(\"" << l.text << "\")";
}

inline ViewLine Msg(const std::string& t) { return {log::MessageLine, t}; }
inline ViewLine Inf(const std::string& t) { return {log::InformLine, t}; }
inline ViewLine Err(const std::string& t) { return {log::ErrorLine, t}; }
inline ViewLine Dat(const std::string& t) { return {log::DataLine, t}; }

// One connection relaying: its number in the run (the one its log lines carry), the relay's client
// socket, and both peers of the test.
struct Open {
  std::int32_t n;
  winsock::SOCKET s;
  int client;
  int peer;
};

class RelayFixture : public ::testing::Test {
 protected:
  RelayFixture() : ws(loop), relay(window, ws, loop, heap) {
    loop.SetMessageHandler([this](unsigned m, platform::WPARAM w, platform::LPARAM l) {
      if (m == engine::SocketEventMessage) relay.HandleSocketEvent(w, l);
      if (checkCounters) CheckBufferedCounters();
    });
  }
  ~RelayFixture() override {
    if (relay.Started) relay.StopRelay();
    Settle();
    for (int fd : fds) ::close(fd);
  }

  // Sets the four fields and starts; the relay listens once this returns true.
  bool Start(const std::string& host, const std::string& remotePort, const std::string& localPort = "0",
             const std::string& logFile = "") {
    window.Set(Field::RemoteHost, host);
    window.Set(Field::RemotePort, remotePort);
    window.Set(Field::LocalPort, localPort);
    window.Set(Field::LogFile, logFile);
    relay.StartRelay(Options());
    return PumpUntil(loop, [&] { return relay.ListenSocket != winsock::INVALID_SOCKET || !relay.Started; }) &&
           relay.ListenSocket != winsock::INVALID_SOCKET;
  }

  // What the fields and the relay's switches hold, as a front end hands them to a start.
  engine::RelayOptions Options() const {
    engine::RelayOptions o;
    o.remoteHost = window.FieldText(Field::RemoteHost);
    o.remotePort = window.FieldText(Field::RemotePort);
    o.localPort = window.FieldText(Field::LocalPort);
    o.logFile = window.FieldText(Field::LogFile);
    o.captureFile = window.FieldText(Field::CaptureFile);
    o.detailLevel = relay.Log.DetailLevel;
    o.hexOnly = relay.HexOnly != 0;
    o.listenAddress = listenAddress;
    o.keepHost = keepHost;
    o.connectTimeout = connectTimeout;
    return o;
  }

  // A server of the test's own that the relay connects to.
  int Server(std::uint16_t& port, int backlog = 16) {
    int fd = ListenLoopback(port, backlog);
    fds.push_back(fd);
    return fd;
  }
  // A client connected to the relay; the connection's number through `number` (and the relay's socket
  // for it through `relaySocket`).
  int Client(std::int32_t& number, winsock::SOCKET* relaySocket = nullptr) {
    std::size_t before = relay.ConnectionCount;
    int fd = ConnectLoopback(relay.LocalPort);
    fds.push_back(fd);
    EXPECT_TRUE(PumpUntil(loop, [&] { return static_cast<std::size_t>(relay.ConnectionCount) > before; }));
    number = relay.Connections != nullptr ? relay.Connections->Number : -1;
    if (relaySocket != nullptr) {
      *relaySocket = relay.Connections != nullptr ? relay.Connections->ClientSocket : winsock::INVALID_SOCKET;
    }
    return fd;
  }
  int Accept(int server) {
    int fd = AcceptWithin(server, 5000);
    fds.push_back(fd);
    return fd;
  }
  void Forget(int fd) {
    for (auto& f : fds) {
      if (f == fd) f = -1;
    }
  }

  // Reads from a peer of the test while the relay keeps running: until `count` bytes came, the peer
  // closed, or the time is up.
  std::string Receive(int fd, std::size_t count, int ms = 5000) {
    std::string out;
    bool closed = false;
    SetNonBlocking(fd);
    PumpUntil(loop, [&] {
      char buf[65536];
      for (;;) {
        ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
        if (n > 0) {
          out.append(buf, static_cast<std::size_t>(n));
          if (out.size() >= count) return true;
          continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
        return closed || out.size() >= count;
      }
    }, ms);
    return out;
  }
  // Everything until the peer closes.
  std::string ReceiveToEnd(int fd, int ms = 5000) { return Receive(fd, static_cast<std::size_t>(-1), ms); }

  bool WaitLine(const std::string& text, int ms = 5000) {
    return PumpUntil(loop, [&] { return window.Has(text); }, ms);
  }
  bool WaitGone() {
    return PumpUntil(loop, [&] { return relay.Connections == nullptr; });
  }
  // Lets queued lines reach the view.
  void Settle() { PumpFor(loop, 30); }

  // Starts the relay towards a server of the test's own (once) and opens one more connection through it.
  Open OpenOne() {
    if (server < 0) {
      server = Server(port);
      EXPECT_TRUE(Start("127.0.0.1", std::to_string(port)));
    }
    Open o;
    o.client = Client(o.n, &o.s);
    o.peer = Accept(server);
    EXPECT_TRUE(WaitLine(std::to_string(o.n) + ": Connected to Server"));
    return o;
  }
  // The lines about one connection from the `from`-th on.
  V Tail(std::int32_t number, std::size_t from) {
    V all = window.About(static_cast<std::uint32_t>(number));
    return V(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
  }
  // The data lines (text lines and dump lines) that follow a block's header line.
  std::vector<std::string> DataAfter(const std::string& header) const {
    std::vector<std::string> out;
    bool in = false;
    for (const ViewLine& l : window.lines) {
      if (in && !log::IsDataColour(l.colour)) break;
      if (in) out.push_back(l.colour == log::RewrittenHostLine ? "[purple] " + l.text : l.text);
      if (l.text == header) in = true;
    }
    return out;
  }

  void CheckBufferedCounters() {
    std::int64_t toServer = 0, toClient = 0;
    for (engine::Connection* c = relay.Connections; c != nullptr; c = c->Next) {
      EXPECT_EQ(relay.FindConnection(c->ClientSocket), c);
      // A client still in its handshake has no server socket yet.
      if (c->ServerSocket != winsock::INVALID_SOCKET) {
        EXPECT_EQ(relay.FindConnection(c->ServerSocket), c);
      }
      toServer += c->ToServer.Length - c->ToServerUncounted;
      toClient += c->ToClient.Length - c->ToClientUncounted;
    }
    EXPECT_EQ(relay.ClientToServerBuffered, toServer);
    EXPECT_EQ(relay.ServerToClientBuffered, toClient);
    EXPECT_EQ(window.Count(Counter::ClientToServerBuffered), relay.ClientToServerBuffered);
    EXPECT_EQ(window.Count(Counter::ServerToClientBuffered), relay.ServerToClientBuffered);
    ++counterChecks;
  }

  platform::EventLoop loop;
  platform::Heap heap;
  winsock::Winsock ws;
  FakeWindow window;
  engine::Relay relay;
  std::vector<int> fds;
  std::string listenAddress;  // -bind
  bool keepHost = false;      // -keephost
  int connectTimeout = 0;     // -connect-timeout
  bool checkCounters = true;
  int counterChecks = 0;
  int server = -1;
  std::uint16_t port = 0;
};

}  // namespace tapline::test
