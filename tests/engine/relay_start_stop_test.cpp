// Starting and stopping a relay run: field checks, the remote lookup, the listener, and what is logged.
#include <fstream>
#include <sstream>

#include "tests/engine/relay_fixture.h"

namespace tapline::test {
namespace {

using RelayStartStop = RelayFixture;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(RelayStartStop, FieldChecksRefuseTheStartWithTheirMessageAndField) {
  struct Case {
    std::string host, remotePort, localPort, logFile, message;
    Field field;
  } cases[] = {
      {"", "80", "", "", "Remote Host required", Field::RemoteHost},
      {std::string(64, 'h'), "80", "", "", "Remote Host is too long", Field::RemoteHost},
      {"h", "", "", "", "Remote Port required", Field::RemotePort},
      {"h", "0", "", "", "Remote Port must be a number from 1 to 65535", Field::RemotePort},
      {"h", "-5", "", "", "Remote Port must be a number from 1 to 65535", Field::RemotePort},
      {"h", "http", "", "", "Remote Port must be a number from 1 to 65535", Field::RemotePort},
      {"h", " 80", "", "", "Remote Port must be a number from 1 to 65535", Field::RemotePort},
      {"h", "65536", "", "", "Remote Port must be a number from 1 to 65535", Field::RemotePort},
      {"h", "4294967377", "", "", "Remote Port must be a number from 1 to 65535", Field::RemotePort},
      {"h", "80", "-1", "", "Local Port must be a number from 0 to 65535", Field::LocalPort},
      {"h", "80", "x", "", "Local Port must be a number from 0 to 65535", Field::LocalPort},
      {"h", "80", "70000", "", "Local Port must be a number from 0 to 65535", Field::LocalPort},
      {"h", "80", "", "/no/such/folder/log.txt", "Could not create log file /no/such/folder/log.txt: No such file or directory",
       Field::LogFile},
      {"h", "80", "", "/tmp/" + std::string(251, 'f'), "Log File name is too long", Field::LogFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + " for " + c.remotePort);
    window.Set(Field::RemoteHost, c.host);
    window.Set(Field::RemotePort, c.remotePort);
    window.Set(Field::LocalPort, c.localPort);
    window.Set(Field::LogFile, c.logFile);
    try {
      relay.StartRelay(Options());
      ADD_FAILURE() << "started";
    } catch (const engine::ValidationError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.field(), c.field);
    }
    EXPECT_FALSE(relay.Started);
    EXPECT_EQ(window.clears, 0) << "nothing happens before the fields are accepted";
    EXPECT_EQ(relay.Log.Processor(), nullptr);
  }
  Settle();
  EXPECT_TRUE(window.lines.empty());
}

TEST_F(RelayStartStop, DottedHostListensAtOnceOnTheChosenPort) {
  ASSERT_TRUE(Start("127.0.0.1", "9", ""));
  EXPECT_TRUE(relay.Started);
  EXPECT_TRUE(window.running);
  EXPECT_NE(relay.LocalPort, 0) << "port 0 is replaced by the bound port";
  Settle();
  EXPECT_EQ(window.lines, (V{Msg("Local Port (" + std::to_string(relay.LocalPort) + ") opened"),
                             Msg("Waiting for connections")}));
  EXPECT_EQ(window.clears, 1);
  relay.StopByUser(true);
  Settle();
  EXPECT_EQ(window.Texts().back(), "Local Port closed");
  EXPECT_FALSE(relay.Started);
  EXPECT_FALSE(window.running);
}

TEST_F(RelayStartStop, HostNameIsResolvedBeforeTheLocalPortOpens) {
  ws.SetResolver([](const std::string& name, std::vector<platform::Endpoint>& out) {
    if (name != "server.test") return winsock::WSAHOST_NOT_FOUND;
    out = {test::Address("127.0.0.1"), test::Address("127.0.0.2")};
    return 0;
  });
  ASSERT_TRUE(Start("server.test", "80", "0"));
  Settle();
  std::string port = std::to_string(relay.LocalPort);
  EXPECT_EQ(window.lines, (V{Msg("Resolving Remote Host"), Msg("Remote Host resolved to 127.0.0.1, 127.0.0.2"),
                             Msg("Local Port (" + port + ") opened"), Msg("Waiting for connections")}));
}

TEST_F(RelayStartStop, HostNotFoundStopsTheRunAndFinishesTheLogFile) {
  ws.SetResolver([](const std::string&, std::vector<platform::Endpoint>&) { return winsock::WSAHOST_NOT_FOUND; });
  std::string path = ::testing::TempDir() + "notfound.html";
  window.Set(Field::LogFile, path);
  EXPECT_FALSE(Start("nowhere.test", "80", "0", path));
  ASSERT_TRUE(PumpUntil(loop, [&] { return !relay.Started; }));
  Settle();
  EXPECT_EQ(window.lines, (V{Msg("Resolving Remote Host"), Err("Host not found")}));
  EXPECT_FALSE(window.running);
  std::string file = ReadFile(path);
  EXPECT_NE(file.find("Host not found"), std::string::npos);
  EXPECT_EQ(file.substr(file.size() - 18), "</body>\r\n</html>\r\n") << file;
}

TEST_F(RelayStartStop, ConnectTimeoutBeyondItsRangeIsRefusedRatherThanOverflowing) {
  window.Set(Field::RemoteHost, "127.0.0.1");
  window.Set(Field::RemotePort, "80");
  for (int seconds : {-1, 3601, 2147483647}) {
    connectTimeout = seconds;
    try {
      relay.StartRelay(Options());
      ADD_FAILURE() << "started with " << seconds;
    } catch (const engine::ValidationError& e) {
      EXPECT_EQ(std::string(e.what()), "Connect Timeout must be a number of seconds from 0 to 3600");
      EXPECT_EQ(e.field(), Field::ConnectTimeout);
    }
    EXPECT_FALSE(relay.Started);
  }
}

TEST_F(RelayStartStop, RefusedCaptureFileLeavesTheLogFileOpen) {
  window.Set(Field::LogFile, ::testing::TempDir() + "refused.txt");
  window.Set(Field::CaptureFile, "/no/such/folder/capture.pcapng");
  window.Set(Field::RemoteHost, "127.0.0.1");
  window.Set(Field::RemotePort, "80");
  try {
    relay.StartRelay(Options());
    ADD_FAILURE() << "started";
  } catch (const engine::ValidationError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Could not create capture file /no/such/folder/capture.pcapng: No such file or directory");
    EXPECT_EQ(e.field(), Field::CaptureFile);
  }
  EXPECT_FALSE(relay.Started);
  EXPECT_FALSE(relay.Log.File.IsOpen());
}

TEST_F(RelayStartStop, StopWhileResolvingCancelsTheLookup) {
  ws.SetResolver([](const std::string&, std::vector<platform::Endpoint>& out) {
    usleep(200000);
    out = {test::Address("127.0.0.1")};
    return 0;
  });
  window.Set(Field::RemoteHost, "slow.test");
  window.Set(Field::RemotePort, "80");
  relay.StartRelay(Options());
  EXPECT_TRUE(relay.Started);
  EXPECT_NE(relay.RemoteLookupHandle, 0u);
  relay.StopByUser(true);
  PumpFor(loop, 400);
  EXPECT_EQ(window.lines, (V{Err("Stopped by user"), Msg("Resolving Remote Host cancelled")}));
  EXPECT_EQ(relay.ListenSocket, winsock::INVALID_SOCKET);
}

TEST_F(RelayStartStop, LocalPortInUseLogsTheFailureAndLeavesNothingOpen) {
  std::uint16_t busy = 0;
  Server(busy);
  window.Set(Field::RemoteHost, "127.0.0.1");
  window.Set(Field::RemotePort, "80");
  window.Set(Field::LocalPort, std::to_string(busy));
  relay.StartRelay(Options());
  EXPECT_FALSE(relay.Started);
  EXPECT_FALSE(window.running);
  EXPECT_EQ(relay.ListenSocket, winsock::INVALID_SOCKET);
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.Log.WorkersEnded(); }));
  EXPECT_EQ(window.lines, (V{Err("Could not open Local Port"), Err("Address already in use")}));
}

TEST_F(RelayStartStop, TotalsSurviveAStopAndTheNextStartZeroesThem) {
  std::uint16_t port = 0;
  int server = Server(port);
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(port)));
  std::int32_t number;
  int client = Client(number);
  int peer = Accept(server);
  ASSERT_TRUE(WaitLine(std::to_string(number) + ": Connected to Server"));
  ASSERT_TRUE(SendAll(client, "12345"));
  EXPECT_EQ(Receive(peer, 5, 3000), "12345");
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.ClientToServerTotal == 5; }));
  relay.Reset();
  EXPECT_EQ(window.Count(Counter::ClientToServerTotal), 0);
  EXPECT_EQ(window.Count(Counter::Connections), 1) << "Reset leaves the connection count";
  ASSERT_TRUE(SendAll(client, "678"));
  EXPECT_EQ(Receive(peer, 3, 3000), "678");
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.ClientToServerTotal == 3; }));
  relay.StopByUser(true);
  EXPECT_EQ(window.Count(Counter::Connections), 0);
  EXPECT_EQ(window.Count(Counter::ClientToServerTotal), 3);
  ASSERT_TRUE(Start("127.0.0.1", std::to_string(port)));
  EXPECT_EQ(window.Count(Counter::ClientToServerTotal), 0);
}

TEST_F(RelayStartStop, EventsWithoutARelayRunAreIgnoredButTheLocalAddressIsShown) {
  ws.SetResolver([](const std::string&, std::vector<platform::Endpoint>& out) {
    out = {test::Address("192.0.2.7")};
    return 0;
  });
  ASSERT_EQ(relay.StartLocalLookup(), 0);
  ASSERT_TRUE(PumpUntil(loop, [&] { return !window.localAddress.empty(); }));
  EXPECT_EQ(window.localAddress, "192.0.2.7");
  relay.HandleSocketEvent(1234, winsock::WSAMAKESELECTREPLY(winsock::FD_READ, 0));
  Settle();
  EXPECT_TRUE(window.lines.empty());
}

TEST_F(RelayStartStop, FailedLocalLookupShowsTheLoopbackAddress) {
  ws.SetResolver([](const std::string&, std::vector<platform::Endpoint>&) { return winsock::WSATRY_AGAIN; });
  ASSERT_EQ(relay.StartLocalLookup(), 0);
  ASSERT_TRUE(PumpUntil(loop, [&] { return !window.localAddress.empty(); }));
  EXPECT_EQ(window.localAddress, "127.0.0.1");
}

}  // namespace
}  // namespace tapline::test
