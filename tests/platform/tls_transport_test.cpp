// TLS transports in pairs over loopback TCP, driven by a small poll loop that stands in for the socket layer;
// and one behind the socket layer itself.
#include "platform/posix_socket.h"
#include "platform/tls_transport.h"
#include "platform/winsock.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>

#include "tests/support/loopback.h"
#include "tests/support/test_certificates.h"

namespace tapline::platform {
namespace {

struct Peer {
  explicit Peer(std::unique_ptr<Transport> t = nullptr) : transport(std::move(t)) {}
  int fd = -1;
  std::unique_ptr<Transport> transport;
  std::string out;  // to send, then half-close if `endAfterSending`
  std::size_t sent = 0;
  bool endAfterSending = false;
  bool reading = true;
  std::string in;
  bool ended = false;   // Read answered 0
  bool failed = false;  // Progress, Read or Write failed
  int refusals = 0;     // writes answered EAGAIN
  std::vector<TransportNote> notes;

  ~Peer() {
    if (fd >= 0) ::close(fd);
  }
  bool Noted(const std::string& text) const {
    for (const TransportNote& n : notes)
      if (n.text == text) return true;
    return false;
  }
  short Events() const {
    short events = 0;
    if (transport->Needs() & NeedRead || (transport->Established() && reading && !ended)) events |= POLLIN;
    if (transport->Needs() & NeedWrite || (transport->Established() && sent < out.size())) events |= POLLOUT;
    return events;
  }
  void Turn(short revents) {
    if (failed) return;
    failed = transport->Progress(fd, revents & POLLIN, revents & POLLOUT) != 0;
    for (TransportNote& n : transport->TakeNotes()) notes.push_back(std::move(n));
    if (failed || !transport->Established()) return;
    int error = 0;
    while (sent < out.size()) {
      long n = transport->Write(fd, out.data() + sent, out.size() - sent, error);
      if (n < 0) {
        failed = error != EAGAIN;
        refusals += error == EAGAIN;
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
    if (sent == out.size() && endAfterSending) {
      endAfterSending = false;
      failed = transport->ShutdownSend(fd) != 0;
    }
    char buffer[65536];
    for (long n = 1; reading && !ended && !failed && n > 0;) {
      n = transport->Read(fd, buffer, sizeof buffer, false, error);
      if (n > 0) in.append(buffer, static_cast<std::size_t>(n));
      ended = n == 0;
      failed = n < 0 && error != EAGAIN;
    }
    for (TransportNote& n : transport->TakeNotes()) notes.push_back(std::move(n));
  }
};

class TlsTransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { files_ = test::MakeTestCertificates(); }
  void SetUp() override { ASSERT_FALSE(files_.caFile.empty()); }

  // A client socket and its accepted end, both non-blocking.
  void ConnectPair(Peer& client, Peer& server) {
    std::uint16_t port = 0;
    int listener = test::ListenLoopback(port);
    client.fd = test::ConnectLoopback(port);
    server.fd = test::AcceptWithin(listener, 2000);
    ::close(listener);
    ASSERT_GE(client.fd, 0);
    ASSERT_GE(server.fd, 0);
    test::SetNonBlocking(client.fd);
    test::SetNonBlocking(server.fd);
  }
  std::unique_ptr<Transport> ClientSide(const std::string& host, const std::string& ca, bool insecure = false) {
    TlsSettings settings;
    settings.toRemote = true;
    settings.caFile = ca;
    settings.insecure = insecure;
    std::string error;
    auto context = TlsContext::Make(settings, error);
    EXPECT_TRUE(context) << error;
    return MakeTlsFactory(context)->ForServer(host);
  }
  std::unique_ptr<Transport> ServerSide() {
    TlsSettings settings;
    settings.forClients = true;
    settings.certFile = files_.serverCert;
    settings.keyFile = files_.serverKey;
    std::string error;
    auto context = TlsContext::Make(settings, error);
    EXPECT_TRUE(context) << error;
    return MakeTlsFactory(context)->ForClient();
  }
  static bool Drive(Peer& a, Peer* b, const std::function<bool()>& done, int milliseconds = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      pollfd fds[2] = {{a.fd, a.Events(), 0}, {b != nullptr ? b->fd : -1, b != nullptr ? b->Events() : short{0}, 0}};
      ::poll(fds, 2, 20);
      a.Turn(fds[0].revents);
      if (b != nullptr) b->Turn(fds[1].revents);
    }
    return done();
  }
  static bool Drive(Peer& a, Peer& b, const std::function<bool()>& done) { return Drive(a, &b, done); }
  static bool Settled(const Peer& p) { return p.failed || p.transport->Established(); }

  static test::TestCertificates files_;
};

test::TestCertificates TlsTransportTest::files_;

// A failure's first line: why; a refused certificate's description follows on the next.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST_F(TlsTransportTest, BulkBothWaysThroughRefusedWritesArrivesExactAndEndsOnCloseNotify) {
  Peer client(ClientSide("localhost", files_.caFile)), server(ServerSide());
  ConnectPair(client, server);
  client.out = RandomBytes(4 << 20, 1);
  server.out = RandomBytes(4 << 20, 2);
  client.endAfterSending = server.endAfterSending = true;
  // Nobody reads until both writers have been refused, so the held-back record path is taken.
  client.reading = server.reading = false;
  ASSERT_TRUE(Drive(client, server, [&] { return client.refusals > 0 && server.refusals > 0; }));
  client.reading = server.reading = true;
  ASSERT_TRUE(Drive(client, server, [&] { return (client.ended && server.ended) || client.failed || server.failed; }));
  EXPECT_FALSE(client.failed || server.failed) << client.transport->FailureText() << server.transport->FailureText();
  EXPECT_TRUE(client.in == server.out) << client.in.size();
  EXPECT_TRUE(server.in == client.out) << server.in.size();
  EXPECT_FALSE(client.Noted("TLS stream from Server ended without close_notify") ||
               server.Noted("TLS stream from Client ended without close_notify"));
  ASSERT_FALSE(client.notes.empty() || server.notes.empty());
  // Each side names its peer.
  EXPECT_EQ(client.notes.front().text.rfind("TLS established with Server; TLSv1.3, TLS_", 0), 0u) << client.notes.front().text;
  EXPECT_EQ(server.notes.front().text.rfind("TLS established with Client; TLSv1.3, TLS_", 0), 0u) << server.notes.front().text;
  EXPECT_FALSE(client.notes.front().inform);
}

TEST_F(TlsTransportTest, PeerThatClosesWithoutCloseNotifyEndsTheStreamWithOneNote) {
  Peer client(ClientSide("localhost", files_.caFile)), server(ServerSide());
  ConnectPair(client, server);
  client.out = "last words";
  ASSERT_TRUE(Drive(client, server, [&] { return server.in == "last words"; }));
  ::shutdown(client.fd, SHUT_WR);  // a bare TCP end
  ASSERT_TRUE(Drive(client, server, [&] { return server.ended || server.failed; }));
  EXPECT_FALSE(server.failed) << server.transport->FailureText();
  int error = 0;
  char byte;
  EXPECT_EQ(server.transport->Read(server.fd, &byte, 1, false, error), 0);  // asked again, still the end
  server.Turn(0);
  int noted = 0;
  for (const TransportNote& n : server.notes) {
    noted += n.inform && n.text == "TLS stream from Client ended without close_notify";
  }
  EXPECT_EQ(noted, 1);
}

TEST_F(TlsTransportTest, CertificateFromUnknownCaFailsVerificationWithOpenSslsReason) {
  Peer client(ClientSide("localhost", "")), server(ServerSide());
  ConnectPair(client, server);
  ASSERT_TRUE(Drive(client, server, [&] { return Settled(client); }));
  EXPECT_TRUE(client.failed);
  EXPECT_FALSE(client.transport->Established());
  EXPECT_EQ(FirstLine(client.transport->FailureText()), "certificate verify failed: unable to get local issuer certificate");
  EXPECT_TRUE(client.notes.empty());
}

TEST_F(TlsTransportTest, NameTheCertificateDoesNotShowFailsVerification) {
  Peer client(ClientSide("other.localhost", files_.caFile)), server(ServerSide());
  ConnectPair(client, server);
  ASSERT_TRUE(Drive(client, server, [&] { return Settled(client); }));
  const std::string failure = client.transport->FailureText();
  EXPECT_EQ(FirstLine(failure), "certificate verify failed: hostname mismatch");
  EXPECT_TRUE(failure.ends_with("; expected name other.localhost")) << failure;
}

TEST_F(TlsTransportTest, AddressIsCheckedAsAnAddressNotAsAName) {
  Peer client(ClientSide("127.0.0.2", files_.caFile)), server(ServerSide());
  ConnectPair(client, server);
  ASSERT_TRUE(Drive(client, server, [&] { return Settled(client); }));
  const std::string failure = client.transport->FailureText();
  EXPECT_EQ(FirstLine(failure), "certificate verify failed: IP address mismatch");
  EXPECT_TRUE(failure.ends_with("; expected address 127.0.0.2")) << failure;
}

TEST_F(TlsTransportTest, InsecureModeConnectsToAnUnknownCaAndSaysSoOnce) {
  Peer client(ClientSide("localhost", "", true)), server(ServerSide());
  ConnectPair(client, server);
  server.out = "hello";
  ASSERT_TRUE(Drive(client, server, [&] { return client.in == "hello" || client.failed; }));
  int noted = 0;
  for (const TransportNote& n : client.notes) noted += n.inform && n.text == "Server certificate not verified";
  EXPECT_EQ(noted, 1);
  EXPECT_FALSE(server.Noted("Server certificate not verified"));
}

TEST_F(TlsTransportTest, PlainClientOnTheServerSideFailsWithAReason) {
  Peer plain, server(ServerSide());
  ConnectPair(plain, server);
  ASSERT_TRUE(test::SendAll(plain.fd, "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  ASSERT_TRUE(Drive(server, nullptr, [&] { return Settled(server); }));
  EXPECT_TRUE(server.failed);
  EXPECT_NE(server.transport->Progress(server.fd, true, false), 0);  // stays failed
  EXPECT_FALSE(server.transport->FailureText().empty());
  EXPECT_EQ(server.transport->FailureText().find('\n'), std::string::npos);
  EXPECT_EQ(server.transport->Needs(), 0u);
}

TEST_F(TlsTransportTest, PlaintextLeftAfterASmallReadIsHeldAndCounted) {
  Peer client(ClientSide("localhost", files_.caFile)), server(ServerSide());
  ConnectPair(client, server);
  client.reading = false;
  server.out = RandomBytes(10000, 3);  // one record
  ASSERT_TRUE(Drive(client, server, [&] { return server.sent == server.out.size() && client.transport->Established(); }));
  int error = 0;
  char buffer[10000];
  long n = -1;
  for (int i = 0; i < 100 && n < 0; ++i, ::usleep(10000)) n = client.transport->Read(client.fd, buffer, 100, false, error);
  ASSERT_EQ(n, 100);
  EXPECT_TRUE(client.transport->Holds());
  EXPECT_GE(client.transport->Available(client.fd, error), 9900);
  std::string in(buffer, 100);
  while (client.transport->Holds() && (n = client.transport->Read(client.fd, buffer, sizeof buffer, false, error)) > 0)
    in.append(buffer, static_cast<std::size_t>(n));
  EXPECT_TRUE(in == server.out) << in.size();
  EXPECT_FALSE(client.transport->Holds());
}

TEST_F(TlsTransportTest, OwnCertificateIsTrustedForLocalhostOnceItsFileIsTrusted) {
  const char* before = std::getenv("XDG_DATA_HOME");
  const std::string saved = before != nullptr ? before : "";
  ::setenv("XDG_DATA_HOME", files_.folder.c_str(), 1);
  TlsSettings settings;
  settings.forClients = true;
  std::string error;
  auto context = TlsContext::Make(settings, error);
  if (before != nullptr) ::setenv("XDG_DATA_HOME", saved.c_str(), 1); else ::unsetenv("XDG_DATA_HOME");
  ASSERT_TRUE(context) << error;
  Peer client(ClientSide("localhost", context->CertificatePath())), server(MakeTlsFactory(context)->ForClient());
  ConnectPair(client, server);
  ASSERT_TRUE(Drive(client, server, [&] { return Settled(client) && Settled(server); }));
  EXPECT_TRUE(client.transport->Established()) << client.transport->FailureText();
}


namespace socket_layer {

// The socket layer's side writes into a full socket and ends; the client then reads. `clientEndedFirst`:
// the client ended its own stream before that, so the socket layer has already reported FD_CLOSE and
// its side is kept open (not closed) while the rest of its records go out.
class TlsSocketLayerTest : public TlsTransportTest {
 protected:
  void WritesIntoAFullSocketThenEnds(bool clientEndedFirst);
};

void TlsSocketLayerTest::WritesIntoAFullSocketThenEnds(bool clientEndedFirst) {
  EventLoop loop;
  winsock::Winsock ws(loop);
  loop.SetMessageHandler([](unsigned, WPARAM, LPARAM) {});
  winsock::SOCKET listener = ws.socket(winsock::AF_INET, winsock::SOCK_STREAM, 0);
  Endpoint bound;
  ASSERT_EQ(ws.bind(listener, test::Address("127.0.0.1")), 0);
  ASSERT_EQ(ws.listen(listener, 4), 0);
  ASSERT_EQ(ws.getsockname(listener, bound), 0);
  Peer client(ClientSide("localhost", files_.caFile));
  client.endAfterSending = clientEndedFirst;
  client.fd = test::ConnectLoopback(bound.Port());
  test::SetNonBlocking(client.fd);
  winsock::SOCKET s = ws.accept(listener, nullptr);
  ASSERT_NE(s, winsock::INVALID_SOCKET);
  int small = 16384;  // the socket fills after a few records, in the middle of one
  ::setsockopt(static_cast<int>(s), posix::kSolSocket, SO_SNDBUF, &small, sizeof small);
  ASSERT_EQ(ws.SetTransport(s, ServerSide()), 0);
  ASSERT_EQ(ws.WSAAsyncSelect(s, &loop, 0x8000, winsock::FD_READ | winsock::FD_WRITE | winsock::FD_CLOSE), 0);
  auto turn = [&] {
    loop.RunOnce(5);
    pollfd p{client.fd, client.Events(), 0};
    ::poll(&p, 1, 5);
    client.Turn(p.revents);
  };
  // Nobody reads: the relay's side writes until its socket is full.
  client.reading = false;
  const std::string data = RandomBytes(2 << 20, 3);
  std::size_t taken = 0;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10); std::chrono::steady_clock::now() < end;) {
    int n = ws.send(s, data.data() + taken, 65536, 0);
    if (n > 0) {
      taken += static_cast<std::size_t>(n);
    } else if (taken > 0) {
      break;
    } else {
      turn();  // the handshake is not over yet
    }
  }
  ASSERT_GT(taken, 0u);
  ASSERT_LT(taken, data.size());
  ASSERT_EQ(ws.shutdown(s, winsock::SD_SEND), 0);
  if (!clientEndedFirst) {
    ASSERT_EQ(ws.closesocket(s), 0);
  }
  client.reading = true;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       !client.ended && !client.failed && std::chrono::steady_clock::now() < end;) {
    turn();
  }
  EXPECT_FALSE(client.failed) << client.transport->FailureText();
  EXPECT_TRUE(client.ended);
  EXPECT_EQ(client.in.size(), taken);
  EXPECT_TRUE(client.in == data.substr(0, taken));
  EXPECT_FALSE(client.Noted("TLS stream from Server ended without close_notify"));
  if (clientEndedFirst) ws.closesocket(s);
  ws.closesocket(listener);
}

TEST_F(TlsSocketLayerTest, SocketClosedRightAfterItsLastWriteStillDeliversEveryByteAndTheEnd) {
  WritesIntoAFullSocketThenEnds(false);
}

TEST_F(TlsSocketLayerTest, RecordTailsStillGoOutAfterThePeerHasEndedItsStream) {
  WritesIntoAFullSocketThenEnds(true);
}

}  // namespace socket_layer

}  // namespace
}  // namespace tapline::platform
