// TLS handshakes that do not complete: a client or a server that stops in the middle of one is let go
// after the limit, and a client's failed handshake never costs a server connection.
#include "platform/posix_socket.h"

#include <chrono>

#include "tests/engine/relay_fixture.h"
#include "tests/support/test_certificates.h"

namespace tapline::test {
namespace {

class HandshakeLimit : public RelayFixture {
 protected:
  static constexpr int LimitMs = 300;

  void SetUp() override {
    certs_ = MakeTestCertificates();
    ASSERT_FALSE(certs_.serverCert.empty());
    ws.SetHandshakeLimit(LimitMs);
    server_ = Server(serverPort_);
  }

  // Starts towards the test's server with TLS on the sides asked for.
  bool StartTls(bool forClients, bool toRemote) {
    window.Set(Field::RemoteHost, "127.0.0.1");
    window.Set(Field::RemotePort, std::to_string(serverPort_));
    window.Set(Field::LocalPort, "0");
    engine::RelayOptions o = Options();
    o.tls.forClients = forClients;
    o.tls.certFile = certs_.serverCert;
    o.tls.keyFile = certs_.serverKey;
    o.tls.toRemote = toRemote;
    o.tls.insecure = true;
    relay.StartRelay(o);
    return PumpUntil(loop, [&] { return relay.ListenSocket != winsock::INVALID_SOCKET || !relay.Started; }) &&
           relay.ListenSocket != winsock::INVALID_SOCKET;
  }

  static long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  }

  TestCertificates certs_;
  int server_ = -1;
  std::uint16_t serverPort_ = 0;
};

TEST_F(HandshakeLimit, StalledClientHandshakeIsEndedAfterTheLimitWithNoServerConnectionMade) {
  ASSERT_TRUE(StartTls(true, false));
  auto start = std::chrono::steady_clock::now();
  std::int32_t s;
  int client = Client(s);
  // A handshake record that announces 200 bytes and brings the first of them, then nothing more.
  ASSERT_TRUE(SendAll(client, std::string("\x16\x03\x01\x00\xc8\x01", 6)));
  std::string n = std::to_string(s);
  ASSERT_TRUE(WaitLine(n + ": Disconnected from Client", 5000));
  EXPECT_GE(MillisecondsSince(start), LimitMs);
  Settle();
  V lines = window.About(s);
  ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0].text.rfind("Client connected; 127.0.0.1:", 0), 0u);
  EXPECT_EQ(V(lines.begin() + 1, lines.end()),
            (V{Inf("TLS handshake with Client failed"), Inf("Handshake not completed within 300 milliseconds"),
               Msg("Disconnected from Client")}));
  EXPECT_LT(AcceptWithin(server_, 200), 0) << "no server connection was made";
  EXPECT_EQ(ReceiveToEnd(client, 2000), "") << "the client is let go";
  EXPECT_EQ(relay.ConnectionCount, 0);
  EXPECT_EQ(relay.Connections, nullptr);
}

TEST_F(HandshakeLimit, StalledServerHandshakeIsEndedAfterTheLimit) {
  ASSERT_TRUE(StartTls(false, true));
  std::int32_t s;
  int client = Client(s);
  // The server takes the connection and never answers the ClientHello.
  int peer = Accept(server_);
  ASSERT_GE(peer, 0);
  std::string n = std::to_string(s);
  ASSERT_TRUE(WaitLine(n + ": Connected to Server"));
  auto connected = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitLine(n + ": Disconnected from Client", 5000));
  EXPECT_GE(MillisecondsSince(connected), LimitMs - 50);  // the limit counts from the connect itself
  Settle();
  EXPECT_EQ(Tail(s, 3), (V{Inf("TLS handshake with Server failed"),
                           Inf("Handshake not completed within 300 milliseconds"), Msg("Disconnected from Client")}));
  EXPECT_EQ(ReceiveToEnd(client, 2000), "") << "the client is let go";
  EXPECT_EQ(relay.Connections, nullptr);
}

}  // namespace
}  // namespace tapline::test
