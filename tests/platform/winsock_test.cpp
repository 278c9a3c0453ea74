// The socket layer over real loopback sockets: which event arrives when, with which error number.
#include "platform/posix_socket.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/winsock.h"
#include "tests/support/loopback.h"

namespace tapline::winsock {
namespace {

constexpr unsigned Msg = 0x8000;

struct Event {
  SOCKET s;
  long event;
  int error;
};

class WinsockTest : public ::testing::Test {
 protected:
  WinsockTest() : ws(loop) {
    loop.SetMessageHandler([this](unsigned m, WPARAM w, LPARAM l) {
      ASSERT_EQ(m, Msg);
      events.push_back({static_cast<SOCKET>(w), WSAGETSELECTEVENT(l), WSAGETSELECTERROR(l)});
    });
  }
  ~WinsockTest() override {
    for (int fd : peers) ::close(fd);
  }

  int Count(SOCKET s, long event) const {
    int n = 0;
    for (const Event& e : events) n += (e.s == s && e.event == event);
    return n;
  }
  const Event* Last(SOCKET s, long event) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
      if (it->s == s && it->event == event) return &*it;
    }
    return nullptr;
  }
  bool WaitFor(SOCKET s, long event, int count = 1) {
    return test::PumpUntil(loop, [&] { return Count(s, event) >= count; }, 3000);
  }

  // A listener of ours on an ephemeral loopback port.
  SOCKET Listener(std::uint16_t& port) {
    SOCKET s = ws.socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    EXPECT_EQ(ws.bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(ws.listen(s, 5), 0);
    sockaddr_in bound{};
    int len = sizeof bound;
    EXPECT_EQ(ws.getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len), 0);
    port = ntohs(bound.sin_port);
    EXPECT_EQ(ws.WSAAsyncSelect(s, &loop, Msg, FD_ACCEPT), 0);
    return s;
  }

  // Our socket connected to a plain peer; the peer's descriptor is returned through `peer`.
  SOCKET ConnectedPair(int& peer, long mask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) {
    std::uint16_t port = 0;
    int listener = test::ListenLoopback(port);
    SOCKET s = ws.socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(ws.WSAAsyncSelect(s, &loop, Msg, mask), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    EXPECT_EQ(ws.connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
    peer = test::AcceptWithin(listener, 2000);
    ::close(listener);
    peers.push_back(peer);
    EXPECT_TRUE(WaitFor(s, FD_CONNECT));
    return s;
  }

  platform::EventLoop loop;
  Winsock ws;
  std::vector<Event> events;
  std::vector<int> peers;
};

TEST_F(WinsockTest, AcceptIsReportedWhileAConnectionWaitsAndAgainAfterEachAccept) {
  std::uint16_t port = 0;
  SOCKET listener = Listener(port);
  int a = test::ConnectLoopback(port);
  int b = test::ConnectLoopback(port);
  peers = {a, b};
  ASSERT_TRUE(WaitFor(listener, FD_ACCEPT));
  test::PumpFor(loop, 50);
  EXPECT_EQ(Count(listener, FD_ACCEPT), 1) << "not again before accept";
  sockaddr_in peer{};
  int len = sizeof peer;
  SOCKET first = ws.accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
  ASSERT_NE(first, INVALID_SOCKET);
  EXPECT_EQ(len, 16);
  EXPECT_STREQ(inet_ntoa(peer.sin_addr), "127.0.0.1");
  ASSERT_TRUE(WaitFor(listener, FD_ACCEPT, 2)) << "the second waiting connection is reported";
  EXPECT_NE(ws.accept(listener, nullptr, nullptr), INVALID_SOCKET);
  // Nothing left: accept answers WSAEWOULDBLOCK.
  EXPECT_EQ(ws.accept(listener, nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(WinsockTest, ConnectCompletesThroughFdConnectThenFdWrite) {
  int peer;
  SOCKET s = ConnectedPair(peer);
  ASSERT_TRUE(WaitFor(s, FD_WRITE));
  EXPECT_EQ(Last(s, FD_CONNECT)->error, 0);
  // FD_CONNECT comes before FD_WRITE.
  std::size_t connectAt = 0, writeAt = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].event == FD_CONNECT) connectAt = i;
    if (events[i].event == FD_WRITE) writeAt = i;
  }
  EXPECT_LT(connectAt, writeAt);
  test::PumpFor(loop, 50);
  EXPECT_EQ(Count(s, FD_WRITE), 1) << "no FD_WRITE while nothing was refused";
}

TEST_F(WinsockTest, RefusedConnectAnswersWouldBlockAndReportsConnectionRefused) {
  SOCKET s = ws.socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(ws.WSAAsyncSelect(s, &loop, Msg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(test::UnusedPort());
  a.sin_addr.s_addr = inet_addr("127.0.0.1");
  EXPECT_EQ(ws.connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
  EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_TRUE(events.empty()) << "never reported inside the call";
  ASSERT_TRUE(WaitFor(s, FD_CONNECT));
  EXPECT_EQ(Last(s, FD_CONNECT)->error, WSAECONNREFUSED);
  test::PumpFor(loop, 50);
  EXPECT_EQ(events.size(), 1u) << "nothing after a failed connect";
}

TEST_F(WinsockTest, AnIpv6SocketConnectsToAnIpv4AddressInItsMappedForm) {
  std::uint16_t port = 0;
  int listener = test::ListenLoopback(port);
  SOCKET s = ws.socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(ws.WSAAsyncSelect(s, &loop, Msg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
  const unsigned char loopback[4] = {127, 0, 0, 1};
  EXPECT_EQ(ws.connect(s, platform::Endpoint::V4(loopback, port)), SOCKET_ERROR);
  EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK) << "the address must not be refused as of another family";
  int peer = test::AcceptWithin(listener, 2000);
  ::close(listener);
  ASSERT_GE(peer, 0);
  peers.push_back(peer);
  ASSERT_TRUE(WaitFor(s, FD_CONNECT));
  EXPECT_EQ(Last(s, FD_CONNECT)->error, 0);
}

TEST_F(WinsockTest, FdReadIsPostedOnceUntilTheNextRecv) {
  int peer;
  SOCKET s = ConnectedPair(peer);
  ASSERT_TRUE(test::SendAll(peer, "hello"));
  ASSERT_TRUE(WaitFor(s, FD_READ));
  ASSERT_TRUE(test::SendAll(peer, " world"));
  test::PumpFor(loop, 50);
  EXPECT_EQ(Count(s, FD_READ), 1);
  char buf[4];
  u_long waiting = 0;
  EXPECT_EQ(ws.ioctlsocket(s, FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 11u);
  EXPECT_EQ(ws.recv(s, buf, 4, 0), 4);
  ASSERT_TRUE(WaitFor(s, FD_READ, 2)) << "data is still there, so the recv re-armed FD_READ";
  char rest[16];
  EXPECT_EQ(ws.recv(s, rest, sizeof rest, 0), 7);
  test::PumpFor(loop, 50);
  EXPECT_EQ(Count(s, FD_READ), 2) << "nothing left: no further FD_READ";
  EXPECT_EQ(ws.recv(s, rest, sizeof rest, 0), SOCKET_ERROR);
  EXPECT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(WinsockTest, FdWriteFollowsASendThatWouldBlockOnceThereIsRoomAgain) {
  int peer;
  SOCKET s = ConnectedPair(peer);
  ASSERT_TRUE(WaitFor(s, FD_WRITE));
  std::string chunk(1 << 16, 'x');
  std::size_t total = 0;
  int r;
  while ((r = ws.send(s, chunk.data(), static_cast<int>(chunk.size()), 0)) > 0) total += static_cast<std::size_t>(r);
  ASSERT_EQ(r, SOCKET_ERROR);
  ASSERT_EQ(ws.WSAGetLastError(), WSAEWOULDBLOCK);
  test::PumpFor(loop, 30);
  EXPECT_EQ(Count(s, FD_WRITE), 1) << "still full: no FD_WRITE yet";
  EXPECT_EQ(test::ReceiveUpTo(peer, total, 5000).size(), total);
  ASSERT_TRUE(WaitFor(s, FD_WRITE, 2));
  test::PumpFor(loop, 30);
  EXPECT_EQ(Count(s, FD_WRITE), 2) << "once, not repeatedly";
}

TEST_F(WinsockTest, OrderlyCloseWithUnreadDataReportsCloseAndRecvStillReturnsTheData) {
  int peer;
  SOCKET s = ConnectedPair(peer, FD_WRITE | FD_CONNECT | FD_CLOSE);  // no FD_READ: the data stays unread
  ASSERT_TRUE(test::SendAll(peer, "last words"));
  ::shutdown(peer, SHUT_WR);
  ASSERT_TRUE(WaitFor(s, FD_CLOSE));
  EXPECT_EQ(Last(s, FD_CLOSE)->error, 0);
  char buf[32];
  EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 10);
  EXPECT_EQ(std::string(buf, 10), "last words");
  EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0), 0);
  test::PumpFor(loop, 50);
  EXPECT_EQ(Count(s, FD_CLOSE), 1);
  // The peer only closed its sending half: we can still send, and FD_WRITE keeps its rule.
  EXPECT_EQ(ws.send(s, "reply", 5, 0), 5);
  EXPECT_EQ(test::ReceiveUpTo(peer, 5, 2000), "reply");
}

TEST_F(WinsockTest, ResetIsReportedAsFdCloseWithConnectionReset) {
  int peer;
  SOCKET s = ConnectedPair(peer);
  peers.clear();
  test::Reset(peer);
  ASSERT_TRUE(WaitFor(s, FD_CLOSE));
  EXPECT_EQ(Last(s, FD_CLOSE)->error, WSAECONNRESET);
  test::PumpFor(loop, 50);
  EXPECT_EQ(Count(s, FD_CLOSE), 1);
  EXPECT_EQ(Count(s, FD_READ), 0);
}

TEST_F(WinsockTest, ClosesocketDropsQueuedEventsSoAReusedNumberGetsNoStaleOne) {
  int peerA, peerB;
  SOCKET a = ConnectedPair(peerA, FD_READ | FD_CONNECT);
  SOCKET b = ConnectedPair(peerB, FD_READ | FD_CONNECT);
  events.clear();
  // Fill every lower free number, so that the one freed below is the lowest and gets taken next.
  std::vector<int> fillers;
  for (;;) {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd > static_cast<int>(std::max(a, b))) {
      ::close(fd);
      break;
    }
    fillers.push_back(fd);
  }
  peers.insert(peers.end(), fillers.begin(), fillers.end());
  ASSERT_TRUE(test::SendAll(peerA, "x"));
  ASSERT_TRUE(test::SendAll(peerB, "y"));
  usleep(20000);
  // One turn polls both sockets, queuing two FD_READs; the first one's handling closes the other socket
  // and opens a new one, which gets the freed number.
  SOCKET reused = INVALID_SOCKET;
  std::vector<Event> seen;
  loop.SetMessageHandler([&](unsigned, WPARAM w, LPARAM l) {
    seen.push_back({static_cast<SOCKET>(w), WSAGETSELECTEVENT(l), WSAGETSELECTERROR(l)});
    if (seen.size() == 1) {
      SOCKET other = seen[0].s == a ? b : a;
      ws.closesocket(other);
      reused = ws.socket(AF_INET, SOCK_STREAM, 0);
      EXPECT_EQ(reused, other);
      ws.WSAAsyncSelect(reused, &loop, Msg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    }
  });
  loop.ProcessReady();
  test::PumpFor(loop, 50);
  ASSERT_EQ(seen.size(), 1u) << "the closed socket's FD_READ must not reach the new socket of that number";
}

TEST_F(WinsockTest, ListenerOnAPortInUseFailsWithAddressInUse) {
  std::uint16_t port = 0;
  int other = test::ListenLoopback(port);
  peers.push_back(other);
  SOCKET s = ws.socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = INADDR_ANY;
  EXPECT_EQ(ws.bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
  EXPECT_EQ(ws.WSAGetLastError(), WSAEADDRINUSE);
  EXPECT_STREQ(WinsockErrorText(ws.WSAGetLastError()), "Address already in use");
  ws.closesocket(s);
}

TEST(WinsockErrors, ErrnoIsTranslatedToWindowsSocketsNumbers) {
  struct Case {
    int err;
    int expected;
  } cases[] = {
      {EAGAIN, 10035},        {EWOULDBLOCK, 10035}, {EINPROGRESS, 10035}, {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},    {ENETUNREACH, 10051}, {ECONNABORTED, 10053},
      {ECONNRESET, 10054},    {EPIPE, 10054},       {ENOBUFS, 10055},     {ENOMEM, 10055},
      {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065}, {EMFILE, 10024},
      {ENFILE, 10024},        {EACCES, 10013},
  };
  for (const Case& c : cases) EXPECT_EQ(TranslateErrno(c.err), c.expected) << std::strerror(c.err);
}

TEST(WinsockErrors, TextsOfTheTableAndTheFallback) {
  struct Case {
    int error;
    const char* text;
  } cases[] = {
      {10024, "Too many open files"},
      {10035, "Resource temporarily unavailable"},
      {10048, "Address already in use"},
      {10054, "Connection reset by peer"},
      {10061, "Connection refused"},
      {11001, "Host not found"},
      {11004, "Valid name, no data record of requested type"},
      {10013, "Unhandled error (10013)"},
      {-7, "Unhandled error (-7)"},
  };
  for (const Case& c : cases) EXPECT_STREQ(WinsockErrorText(c.error), c.text);
}

TEST(WinsockAddresses, DottedAddressesAndTheirText) {
  EXPECT_EQ(inet_addr("255.255.255.255"), INADDR_NONE);
  EXPECT_EQ(inet_addr("localhost"), INADDR_NONE);
  std::uint32_t a = inet_addr("10.0.0.1");
  ASSERT_NE(a, INADDR_NONE);
  EXPECT_STREQ(inet_ntoa(in_addr{a}), "10.0.0.1");
  EXPECT_EQ(ntohs(htons(8080)), 8080);
  EXPECT_EQ(WSAGETSELECTEVENT(WSAMAKESELECTREPLY(FD_CLOSE, 10054)), FD_CLOSE);
  EXPECT_EQ(WSAGETSELECTERROR(WSAMAKESELECTREPLY(FD_CLOSE, 10054)), 10054);
}

}  // namespace
}  // namespace tapline::winsock
