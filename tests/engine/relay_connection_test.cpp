// Connections through a running relay: set-up, the ways they end, and what is logged for each.
#include "platform/posix_socket.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tests/engine/relay_fixture.h"

namespace tapline::test {
namespace {

using RelayConnection = RelayFixture;

std::uint16_t LocalPortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return posix::NetToHost16(a.sin_port);
}

TEST_F(RelayConnection, RefusedServerConnectIsLoggedAndTheConnectionRemoved) {
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(UnusedPort())));
  int client = ConnectLoopback(relay.LocalPort);
  fds.push_back(client);
  ASSERT_TRUE(PumpUntil(loop, [&] { return window.connectionHistory.size() >= 2; }));
  ASSERT_TRUE(WaitGone());
  Settle();
  std::int32_t number = static_cast<std::int32_t>(std::stol(window.Texts().back()));
  EXPECT_EQ(window.About(static_cast<std::uint32_t>(number)), (V{Msg("Client connected; 127.0.0.1:" + std::to_string(LocalPortOf(client))),
                                Msg("Connecting to Server"), Inf("Could not connect to Server"),
                                Inf("Connection refused"), Msg("Disconnected from Client")}));
  EXPECT_EQ(window.connectionHistory.back(), 0);
  EXPECT_NE(std::find(window.connectionHistory.begin(), window.connectionHistory.end(), 1),
            window.connectionHistory.end());
  EXPECT_EQ(ReceiveToEnd(client, 2000), "") << "the client is let go";
}

TEST_F(RelayConnection, ServerConnectStillUnansweredAtTheConnectTimeoutFailsAsTimedOut) {
  std::uint16_t remote = 0;
  int listener = ListenFullLoopback(remote, fds);  // SYNs to it go unanswered
  ASSERT_GE(listener, 0);
  fds.push_back(listener);
  connectTimeout = 1;
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(remote)));
  std::int32_t s;
  int client = Client(s);
  ASSERT_TRUE(WaitGone());
  Settle();
  EXPECT_EQ(window.About(s), (V{Msg("Client connected; 127.0.0.1:" + std::to_string(LocalPortOf(client))),
                                Msg("Connecting to Server"), Inf("Could not connect to Server"),
                                Inf("Connection timed out"), Msg("Disconnected from Client")}));
  EXPECT_EQ(relay.ConnectionCount, 0);
  EXPECT_EQ(ReceiveToEnd(client, 2000), "") << "the client is let go";
}

TEST_F(RelayConnection, DataBothWaysIsForwardedLoggedAndCounted) {
  std::uint16_t port = 0;
  int server = Server(port);
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(port)));
  std::int32_t number;
  int client = Client(number);
  int peer = Accept(server);
  ASSERT_TRUE(WaitLine(std::to_string(number) + ": Connected to Server"));
  ASSERT_TRUE(SendAll(client, "ping\r\n"));
  EXPECT_EQ(Receive(peer, 6, 3000), "ping\r\n");
  ASSERT_TRUE(SendAll(peer, "pong\r\n"));
  EXPECT_EQ(Receive(client, 6, 3000), "pong\r\n");
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.ServerToClientTotal == 6; }));
  Settle();
  EXPECT_EQ(window.Count(Counter::ClientToServerTotal), 6);
  EXPECT_EQ(window.Count(Counter::ServerToClientTotal), 6);
  EXPECT_EQ(window.Count(Counter::Connections), 1);
  std::string n = std::to_string(number);
  std::vector<std::string> all = window.Texts();
  auto at = std::find(all.begin(), all.end(), n + ": Client to Server (6 bytes)");
  ASSERT_NE(at, all.end());
  EXPECT_EQ(*(at + 1), "ping");
  at = std::find(all.begin(), all.end(), n + ": Server to Client (6 bytes)");
  ASSERT_NE(at, all.end());
  EXPECT_EQ(*(at + 1), "pong");
}

TEST_F(RelayConnection, ClientDataBeforeTheServerConnectIsBufferedThenSent) {
  std::uint16_t port = 0;
  int server = Server(port, 0);
  // Fill the server's accept queue so that the relay's connect stays pending until the test makes room.
  int blocker = ConnectLoopback(port);
  fds.push_back(blocker);
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(port)));
  std::int32_t number;
  int client = Client(number);
  ASSERT_TRUE(SendAll(client, "early bytes\n"));
  std::string n = std::to_string(number);
  ASSERT_TRUE(WaitLine(n + ": Client to Server (12 bytes)"));
  if (window.Has(n + ": Connected to Server")) GTEST_SKIP() << "this system completed the connect at once";
  EXPECT_EQ(window.Count(Counter::ClientToServerBuffered), 12);
  EXPECT_EQ(window.Count(Counter::ClientToServerTotal), 0);
  // Make room: the relay's retried connect now completes and the backlog moves on.
  Accept(server);
  int peer = -1;
  ASSERT_TRUE(PumpUntil(loop, [&] {
    peer = AcceptWithin(server, 0);
    return peer >= 0;
  }, 10000));
  fds.push_back(peer);
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(WaitLine(n + ": Connected to Server", 10000));
  EXPECT_EQ(Receive(peer, 12, 3000), "early bytes\n");
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.ClientToServerTotal == 12; }));
  EXPECT_EQ(window.Count(Counter::ClientToServerBuffered), 0);
}

TEST_F(RelayConnection, ADeafServerHoldsTheBacklogAtTheMarkAndLosesNothingOnceItReads) {
  std::uint16_t port = 0;
  int server = Server(port);
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(port)));
  relay.Log.DetailLevel = 0;
  std::int32_t number;
  int client = Client(number);
  int peer = Accept(server);
  ASSERT_TRUE(WaitLine(std::to_string(number) + ": Connected to Server"));
  const std::size_t size = 24 << 20;
  std::string data(size, ' ');
  std::mt19937 random(7);
  for (char& c : data) c = static_cast<char>(random());
  std::thread sender([&] { SendAll(client, data); });
  // The server reads nothing: the relay takes up to its mark and then leaves the client to TCP.
  std::int64_t peak = 0;
  PumpUntil(loop, [&] {
    peak = std::max(peak, relay.ClientToServerBuffered);
    return false;
  }, 1500);
  EXPECT_LE(peak, relay.HighMark) << "a read never takes more than the room below the mark";
  EXPECT_GE(peak, relay.HighMark - static_cast<std::int64_t>(engine::ReadStep)) << "the backlog reached the mark";
  EXPECT_LT(relay.ClientToServerBuffered + relay.ClientToServerTotal, static_cast<std::int64_t>(size) / 2)
      << "the rest waits on the client's side";
  std::string got;
  std::thread reader([&] { got = ReceiveUpTo(peer, size, 30000); });
  ASSERT_TRUE(PumpUntil(loop, [&] {
    peak = std::max(peak, relay.ClientToServerBuffered);
    return relay.ClientToServerTotal == static_cast<std::int64_t>(size);
  }, 30000));
  sender.join();
  reader.join();
  EXPECT_LE(peak, relay.HighMark);
  EXPECT_EQ(relay.ClientToServerBuffered, 0);
  EXPECT_TRUE(got == data) << "bytes arrive complete and in order";
  EXPECT_GT(counterChecks, 10);
}

TEST_F(RelayConnection, ManyDeafServersTogetherHoldNoMoreThanTheTotalMarkAndLoseNothing) {
  // Eight connections whose servers do not read, each side allowed half the total: without the total mark
  // they would hold four times it.
  relay.HighMark = 64 * 1024;
  relay.LowMark = 32 * 1024;
  relay.TotalMark = 128 * 1024;
  relay.Log.DetailLevel = 0;
  constexpr int Count = 8;
  const std::int64_t slack = Count * 16 * 1024;  // an empty side past the total still reads one small step
  std::int64_t peak = 0;
  loop.SetMessageHandler([&](unsigned m, platform::WPARAM w, platform::LPARAM l) {
    if (m == engine::SocketEventMessage) relay.HandleSocketEvent(w, l);
    peak = std::max(peak, relay.ClientToServerBuffered + relay.ServerToClientBuffered);
  });
  std::uint16_t port = 0;
  int server = Server(port, Count);
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(port)));
  std::vector<int> clients, peers;
  for (int i = 0; i < Count; ++i) {
    std::int32_t s;
    clients.push_back(Client(s));
    peers.push_back(Accept(server));
    ASSERT_GE(peers.back(), 0);
    SetNonBlocking(clients.back());
    SetNonBlocking(peers.back());
  }
  // Every client pushes 5 MB, more than the kernel's buffers on the way hold; the servers take nothing
  // for a second and a half.
  const std::int64_t each = 5 << 20;
  std::vector<std::int64_t> sent(Count, 0), got(Count, 0);
  std::vector<char> chunk(64 * 1024, 'd');
  auto push = [&] {
    for (int i = 0; i < Count; ++i) {
      std::int64_t left = each - sent[i];
      if (left <= 0) continue;
      ssize_t n = ::send(clients[i], chunk.data(), static_cast<std::size_t>(std::min<std::int64_t>(left, 65536)), MSG_NOSIGNAL);
      if (n > 0) sent[i] += n;
    }
  };
  PumpUntil(loop, [&] {
    push();
    return false;
  }, 1500);
  EXPECT_GE(peak, relay.TotalMark) << "the backlog reached the total mark";
  EXPECT_LE(peak, relay.TotalMark + slack) << "and went past it by no more than a small step a side";
  // The servers read now: every byte pushed arrives, and nothing stays buffered.
  std::int64_t pushedAll = 0;
  ASSERT_TRUE(PumpUntil(loop, [&] {
    push();
    char buf[65536];
    std::int64_t all = 0;
    for (int i = 0; i < Count; ++i) {
      for (ssize_t n; (n = ::recv(peers[i], buf, sizeof buf, 0)) > 0;) got[i] += n;
      all += got[i];
    }
    pushedAll = all;
    return all == Count * each;
  }, 30000)) << pushedAll << " of " << Count * each;
  EXPECT_LE(peak, relay.TotalMark + slack);
  EXPECT_EQ(relay.ClientToServerTotal, Count * each);
  EXPECT_EQ(relay.ClientToServerBuffered, 0);
}

TEST_F(RelayConnection, OutOfMemoryIsReportedOnlyWhenNothingIsLeftToDrain) {
  std::string path = ::testing::TempDir() + "oom-log.txt";
  std::uint16_t port = 0;
  int server = Server(port);
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(port), "0", path));
  Settle();
  relay.Pause();
  relay.Log.LogMessage("queued while paused");
  // Every allocation fails: the queue is shown to make room, then the client is given up.
  heap.SetFailing(true);
  int client = ConnectLoopback(relay.LocalPort);
  fds.push_back(client);
  EXPECT_TRUE(PumpUntil(loop, [&] { return window.Has("queued while paused"); }));
  EXPECT_EQ(ReceiveToEnd(client, 3000), "") << "the client is let go";
  heap.SetFailing(false);
  EXPECT_EQ(relay.ConnectionCount, 0);
  EXPECT_GT(heap.Failures(), 0);
  relay.Resume();
  Settle();
  // The lines that could not be allocated are in the file only.
  relay.StopByUser(false);
  Settle();
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  EXPECT_NE(file.str().find(": Out of memory\r\n"), std::string::npos) << file.str();
  EXPECT_NE(file.str().find(": Disconnected from Client\r\n"), std::string::npos);
  for (const ViewLine& l : window.lines) EXPECT_EQ(l.text.find("Out of memory"), std::string::npos);
  (void)server;
}

using RelayEnding = RelayFixture;

TEST_F(RelayEnding, ClientClosingIsPassedOnAndTheConnectionEndsWhenTheServerFollows) {
  Open o = OpenOne();
  ASSERT_TRUE(SendAll(o.client, "bye\n"));
  ::shutdown(o.client, SHUT_WR);
  EXPECT_EQ(ReceiveToEnd(o.peer, 3000), "bye\n") << "the server sees the data, then the end";
  ASSERT_TRUE(SendAll(o.peer, "ok\n"));
  ::shutdown(o.peer, SHUT_WR);
  EXPECT_EQ(ReceiveToEnd(o.client, 3000), "ok\n") << "the half-closed client still gets the answer";
  ASSERT_TRUE(WaitGone());
  Settle();
  EXPECT_EQ(Tail(o.n, 3), (V{Msg("Client to Server (4 bytes)"), Msg("Client disconnected"),
                             Msg("Server to Client (3 bytes)"), Msg("Server disconnected"),
                             Msg("Disconnected from Server"), Msg("Disconnected from Client")}));
  EXPECT_EQ(window.Count(Counter::Connections), 0);
  EXPECT_EQ(window.Count(Counter::ClientToServerBuffered), 0);
  EXPECT_EQ(window.Count(Counter::ServerToClientBuffered), 0);
}

TEST_F(RelayEnding, ServerClosingFirstIsPassedOnToTheClient) {
  Open o = OpenOne();
  ASSERT_TRUE(SendAll(o.peer, "done\n"));
  ::close(o.peer);
  Forget(o.peer);
  EXPECT_EQ(ReceiveToEnd(o.client, 3000), "done\n");
  ::close(o.client);
  Forget(o.client);
  ASSERT_TRUE(WaitGone());
  Settle();
  EXPECT_EQ(Tail(o.n, 3), (V{Msg("Server to Client (5 bytes)"), Msg("Server disconnected"),
                             Msg("Client disconnected"), Msg("Disconnected from Server"),
                             Msg("Disconnected from Client")}));
}

TEST_F(RelayEnding, ClientResetEndsTheConnectionAtOnce) {
  Open o = OpenOne();
  Reset(o.client);
  Forget(o.client);
  ASSERT_TRUE(WaitGone());
  Settle();
  EXPECT_EQ(Tail(o.n, 3), (V{Inf("Client disconnected"), Inf("Connection reset by peer"),
                             Msg("Disconnected from Server")}));
  EXPECT_EQ(ReceiveToEnd(o.peer, 2000), "") << "the server is let go";
}

TEST_F(RelayEnding, ServerResetEndsTheConnectionAtOnce) {
  Open o = OpenOne();
  Reset(o.peer);
  Forget(o.peer);
  ASSERT_TRUE(WaitGone());
  Settle();
  EXPECT_EQ(Tail(o.n, 3), (V{Inf("Server disconnected"), Inf("Connection reset by peer"),
                             Msg("Disconnected from Client")}));
  EXPECT_EQ(ReceiveToEnd(o.client, 2000), "");
}

TEST_F(RelayEnding, AResetWithBytesWaitingForThatSideIsLoggedAsAReset) {
  // A reset reported together with room to write must not read as a failed send.
  for (bool clientResets : {true, false}) {
    SCOPED_TRACE(clientResets ? "client resets" : "server resets");
    Open o = OpenOne();
    int victim = clientResets ? o.client : o.peer;
    int sender = clientResets ? o.peer : o.client;
    const std::int64_t& buffered = clientResets ? relay.ServerToClientBuffered : relay.ClientToServerBuffered;
    SetNonBlocking(sender);
    std::string chunk(65536, 'x');
    ASSERT_TRUE(PumpUntil(loop, [&] {
      ::send(sender, chunk.data(), chunk.size(), MSG_NOSIGNAL);
      return buffered > 0;
    })) << "bytes wait in the relay for the side that will reset";
    Reset(victim);
    Forget(victim);
    ASSERT_TRUE(WaitGone());
    Settle();
    V lines = Tail(o.n, 3);
    V expected = clientResets ? V{Inf("Client disconnected"), Inf("Connection reset by peer"), Msg("Disconnected from Server")}
                              : V{Inf("Server disconnected"), Inf("Connection reset by peer"), Msg("Disconnected from Client")};
    // Data lines may come first; the connection ends with the reset's three lines.
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(V(lines.end() - 3, lines.end()), expected);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Inf(clientResets ? "Could not send data to Client"
                                                                      : "Could not send data to Server")), 0);
    EXPECT_EQ(relay.ClientToServerBuffered + relay.ServerToClientBuffered, 0);
  }
}

TEST_F(RelayEnding, StopDisconnectsEveryClientNewestFirst) {
  Open a = OpenOne();
  Open b = OpenOne();
  Open c = OpenOne();
  Settle();
  std::size_t before = window.lines.size();
  relay.StopByUser(false);
  Settle();
  V stop(window.lines.begin() + static_cast<long>(before), window.lines.end());
  auto n = [](std::int32_t number) { return std::to_string(number) + ": "; };
  EXPECT_EQ(stop, (V{Err("Stopped by user"), Msg("Local Port closed"),
                     Msg(n(c.n) + "Disconnected from Client"), Msg(n(c.n) + "Disconnected from Server"),
                     Msg(n(b.n) + "Disconnected from Client"), Msg(n(b.n) + "Disconnected from Server"),
                     Msg(n(a.n) + "Disconnected from Client"), Msg(n(a.n) + "Disconnected from Server")}));
  EXPECT_EQ(window.Count(Counter::Connections), 0);
}

TEST_F(RelayEnding, ConnectionNumbersAreNotReusedWhenTheSocketNumbersAre) {
  // One client after another gets the same socket number from the system; each must still be told apart.
  std::vector<Open> ended;
  for (int i = 0; i < 3; ++i) {
    Open o = OpenOne();
    ::close(o.client);
    ::close(o.peer);
    Forget(o.client);
    Forget(o.peer);
    ASSERT_TRUE(WaitGone());
    ended.push_back(o);
  }
  EXPECT_EQ(ended[0].s, ended[2].s) << "the system gave the socket number again (the fault's condition)";
  EXPECT_EQ(ended[0].n, 1);
  EXPECT_EQ(ended[1].n, 2);
  EXPECT_EQ(ended[2].n, 3);
  Settle();
  for (const Open& o : ended) {
    V about = window.About(static_cast<std::uint32_t>(o.n));
    EXPECT_EQ(std::count(about.begin(), about.end(), Msg("Connecting to Server")), 1) << "number " << o.n;
  }
  relay.StopRelay();
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(port)));
  Open next = OpenOne();
  EXPECT_EQ(next.n, 1) << "each relay run counts from 1";
}

TEST_F(RelayEnding, StrayEventsAreIgnoredWithoutAWord) {
  Open o = OpenOne();
  Settle();
  std::size_t before = window.lines.size();
  relay.HandleSocketEvent(o.s, winsock::WSAMAKESELECTREPLY(winsock::FD_CONNECT, 0));  // a client socket
  relay.HandleSocketEvent(4000, winsock::WSAMAKESELECTREPLY(winsock::FD_READ, 0));    // nobody's
  relay.HandleSocketEvent(4000, winsock::WSAMAKESELECTREPLY(winsock::FD_CLOSE, 10054));
  relay.HandleSocketEvent(relay.ListenSocket, winsock::WSAMAKESELECTREPLY(winsock::FD_ACCEPT, 0));  // nothing waits
  relay.HandleSocketEvent(o.s, winsock::WSAMAKESELECTREPLY(0x40, 0));                                 // no such event
  Settle();
  EXPECT_EQ(window.lines.size(), before);
  EXPECT_EQ(relay.ConnectionCount, 1);
}

TEST_F(RelayEnding, ManyConnectionsInRandomOrderKeepTheBufferedCountersExact) {
  std::mt19937 random(1234);
  std::vector<Open> open;
  for (int i = 0; i < 12; ++i) open.push_back(OpenOne());
  for (Open& o : open) {
    SetNonBlocking(o.client);
    SetNonBlocking(o.peer);
  }
  relay.Log.DetailLevel = 0;
  std::string chunk(50000, 'z');
  for (int step = 0; step < 300; ++step) {
    Open& o = open[random() % open.size()];
    switch (random() % 4) {
      case 0: ::send(o.client, chunk.data(), random() % chunk.size() + 1, MSG_NOSIGNAL); break;
      case 1: ::send(o.peer, chunk.data(), random() % chunk.size() + 1, MSG_NOSIGNAL); break;
      case 2: { char buf[30000]; ::recv(o.peer, buf, sizeof buf, 0); break; }
      default: { char buf[30000]; ::recv(o.client, buf, sizeof buf, 0); break; }
    }
    loop.RunOnce(1);
  }
  for (Open& o : open) {
    ::close(o.client);
    ::close(o.peer);
    Forget(o.client);
    Forget(o.peer);
  }
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.Connections == nullptr; }, 10000));
  EXPECT_GT(counterChecks, 100);
  EXPECT_EQ(window.Count(Counter::ClientToServerBuffered), 0);
  EXPECT_EQ(window.Count(Counter::ServerToClientBuffered), 0);
  EXPECT_EQ(window.Count(Counter::Connections), 0);
}

}  // namespace
}  // namespace tapline::test
