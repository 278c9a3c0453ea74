// Addresses of both families: IPv6 remotes, every address of a name tried in turn, clients of either
// family, a chosen listening address, the Host line kept, and a relay pointed at itself.
#include "tests/engine/relay_fixture.h"

namespace tapline::test {
namespace {

using Addressing = RelayFixture;

TEST_F(Addressing, AnIpv6RemoteInEitherFormIsUsedAtOnceAndNamedInBracketsOnTheHostLine) {
  std::uint16_t remote = 0;
  int listener = ListenLoopback6(remote);
  ASSERT_GE(listener, 0);
  fds.push_back(listener);
  for (std::string host : {"::1", "[::1]"}) {
    SCOPED_TRACE(host);
    window.lines.clear();
    ASSERT_TRUE(Start(host, std::to_string(remote)));
    std::int32_t number;
    int client = Client(number);
    int peer = Accept(listener);
    ASSERT_TRUE(SendAll(client, "GET / HTTP/1.1\r\nHost: a\r\n\r\n"));
    std::string expected = "GET / HTTP/1.1\r\nHost: [::1]:" + std::to_string(remote) + "\r\n\r\n";
    EXPECT_EQ(Receive(peer, expected.size()), expected);
    EXPECT_TRUE(WaitLine(std::to_string(number) + ": Connected to Server"));
    EXPECT_FALSE(window.Has("Resolving Remote Host")) << "an address needs no lookup";
    relay.StopRelay();
  }
}

TEST_F(Addressing, ANameWhoseFirstAddressRefusesIsServedByTheNext) {
  std::uint16_t remote = 0;
  int listener = Server(remote);  // 127.0.0.1 only: [::1] at that port refuses
  ws.SetResolver([](const std::string&, std::vector<platform::Endpoint>& out) {
    out = {test::Address("::1"), test::Address("127.0.0.1")};
    return 0;
  });
  ASSERT_TRUE(Start("dual.test", std::to_string(remote)));
  EXPECT_TRUE(WaitLine("Remote Host resolved to ::1, 127.0.0.1"));
  std::int32_t number;
  int client = Client(number);
  ASSERT_TRUE(SendAll(client, "early"));  // read while the first address fails: it must wait, not be lost
  ASSERT_TRUE(WaitLine(std::to_string(number) + ": Connected to Server"));
  int peer = Accept(listener);
  ASSERT_GE(peer, 0);
  EXPECT_EQ(Receive(peer, 5), "early");
  Settle();
  std::string p = std::to_string(remote);
  V lines = Tail(number, 1);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(V(lines.begin(), lines.begin() + 2),
            (V{Msg("Connecting to Server"), Inf("Could not connect to [::1]:" + p + ", trying 127.0.0.1:" + p)}));
  EXPECT_NE(std::find(lines.begin(), lines.end(), Msg("Connected to Server")), lines.end());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), Inf("Could not connect to Server")), 0);
}

TEST_F(Addressing, ANameWhoseFirstAddressDoesNotAnswerInTimeIsServedByTheNext) {
  std::uint16_t remote = 0;
  int full = ListenFullLoopback(remote, fds);  // 127.0.0.1: SYNs go unanswered
  ASSERT_GE(full, 0);
  fds.push_back(full);
  int listener = ListenLoopback6(remote);  // the same port on ::1 answers
  ASSERT_GE(listener, 0);
  fds.push_back(listener);
  ws.SetResolver([](const std::string&, std::vector<platform::Endpoint>& out) {
    out = {test::Address("127.0.0.1"), test::Address("::1")};
    return 0;
  });
  connectTimeout = 1;
  ASSERT_TRUE(Start("slow.test", std::to_string(remote)));
  std::int32_t s;
  int client = Client(s);
  ASSERT_TRUE(SendAll(client, "early"));
  ASSERT_TRUE(WaitLine(std::to_string(s) + ": Connected to Server"));
  int peer = Accept(listener);
  ASSERT_GE(peer, 0);
  EXPECT_EQ(Receive(peer, 5), "early");
  Settle();
  std::string p = std::to_string(remote);
  V lines = Tail(s, 1);
  auto retried = std::find(lines.begin(), lines.end(), Inf("Could not connect to 127.0.0.1:" + p + ", trying [::1]:" + p));
  auto connected = std::find(lines.begin(), lines.end(), Msg("Connected to Server"));
  EXPECT_TRUE(retried < connected && connected != lines.end());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), Inf("Could not connect to Server")), 0);
}

TEST_F(Addressing, TheDefaultListenerTakesClientsOfBothFamiliesAndShowsEachAsItIs) {
  std::uint16_t remote = 0;
  Server(remote);
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(remote)));
  int v4 = ConnectLoopback(relay.LocalPort);
  int v6 = ConnectLoopback6(relay.LocalPort);
  ASSERT_GE(v4, 0);
  ASSERT_GE(v6, 0);
  fds.push_back(v4);
  fds.push_back(v6);
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.ConnectionCount == 2; }));
  Settle();
  std::vector<std::string> shown;
  for (const std::string& t : window.Texts(log::MessageLine)) {
    if (t.find("Client connected; ") != std::string::npos) shown.push_back(t.substr(t.find("; ") + 2));
  }
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].rfind("127.0.0.1:", 0), 0u) << shown[0] << ": never as ::ffff:127.0.0.1";
  EXPECT_EQ(shown[1].rfind("[::1]:", 0), 0u) << shown[1];
}

TEST_F(Addressing, AListeningAddressOfOneFamilyRefusesTheOther) {
  std::uint16_t remote = 0;
  Server(remote);
  struct Case {
    const char* bind;
    bool v4;
  } cases[] = {{"127.0.0.1", true}, {"::1", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bind);
    listenAddress = c.bind;
    window.lines.clear();
    ASSERT_TRUE(Start("127.0.0.1", std::to_string(remote)));
    EXPECT_TRUE(WaitLine("Local Port (" + std::to_string(relay.LocalPort) + ") opened on " + c.bind));
    int in = c.v4 ? ConnectLoopback(relay.LocalPort) : ConnectLoopback6(relay.LocalPort);
    int out = c.v4 ? ConnectLoopback6(relay.LocalPort) : ConnectLoopback(relay.LocalPort);
    EXPECT_GE(in, 0);
    EXPECT_EQ(out, -1) << "the other family is not listened to";
    if (in >= 0) fds.push_back(in);
    relay.StopRelay();
  }
  // An address that is not this machine's fails the start as the local port does.
  listenAddress = "192.0.2.1";
  window.lines.clear();
  EXPECT_FALSE(Start("127.0.0.1", std::to_string(remote)));
  Settle();
  EXPECT_EQ(window.Texts(log::ErrorLine),
            (std::vector<std::string>{"Could not open Local Port", winsock::WinsockErrorText(winsock::WSAEADDRNOTAVAIL)}));
}

TEST_F(Addressing, KeepHostForwardsTheRequestExactlyAsReceived) {
  keepHost = true;
  Open o = OpenOne();
  const std::string request = "GET / HTTP/1.1\r\nHost: example.org\r\n\r\n";
  ASSERT_TRUE(SendAll(o.client, request));
  EXPECT_EQ(Receive(o.peer, request.size()), request);
  Settle();
  EXPECT_TRUE(window.Has("Host: example.org")) << "still shown as text lines";
  for (const ViewLine& l : window.lines) EXPECT_NE(l.colour, log::RewrittenHostLine);
}

TEST_F(Addressing, ARelayPointedAtItsOwnPortIsRefusedAtTheStart) {
  std::uint16_t own = UnusedPort();
  ws.SetResolver([](const std::string&, std::vector<platform::Endpoint>& out) {
    out = {test::Address("127.0.0.1")};
    return 0;
  });
  for (std::string host : {"127.0.0.1", "0.0.0.0", "self.test"}) {
    SCOPED_TRACE(host);
    window.lines.clear();
    EXPECT_FALSE(Start(host, std::to_string(own), std::to_string(own)));
    ASSERT_TRUE(PumpUntil(loop, [&] { return !relay.Started && relay.Log.WorkersEnded(); }));
    EXPECT_TRUE(window.Has("Remote Host and Port are the Local Port itself"));
    EXPECT_FALSE(window.Has("Waiting for connections"));
    EXPECT_EQ(relay.ListenSocket, winsock::INVALID_SOCKET);
  }
}

}  // namespace
}  // namespace tapline::test
