// tapline-cli with TLS on either side, against peers of the test's own made with OpenSSL and certificates
// the test makes: what reaches each peer, what the log shows, and how failures end a connection.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/cli/cli_process.h"
#include "tests/cli/one_shot_server.h"
#include "tests/cli/tls_peer.h"
#include "tests/support/loopback.h"
#include "tests/support/test_certificates.h"

namespace tapline::test {
namespace {

using OneServer = OneShotServer;

// The lines of the log from `first` on, each without its time stamp and socket number.
std::vector<std::string> LinesFrom(const std::string& log, const std::string& first) {
  std::vector<std::string> lines;
  std::size_t at = log.find(first);
  if (at == std::string::npos) return lines;
  at = log.rfind('\n', at) + 1;
  while (at < log.size()) {
    std::size_t end = log.find('\n', at);
    std::string line = log.substr(at, end - at);
    std::size_t colon = line.find(": ");
    if (colon != std::string::npos) lines.push_back(line.substr(colon + 2));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

class CliTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    files_ = MakeTestCertificates();
    other_ = MakeTestCertificates();
  }
  void SetUp() override { ASSERT_FALSE(files_.caFile.empty() || other_.caFile.empty()); }

  // A TLS server with `certs`: one request in, one answer out; it records what it saw.
  struct Seen {
    std::string request, serverName, error;
  };
  static std::function<void(int)> AnswerOnce(const TestCertificates& certs, Seen& seen, std::size_t requestSize,
                                             std::string answer) {
    return [&certs, &seen, requestSize, answer](int fd) {
      auto peer = TlsPeer::Accept(fd, certs.serverCert, certs.serverKey, seen.error);
      if (!peer) return;
      seen.serverName = peer->ServerName();
      seen.request = peer->ReceiveUpTo(requestSize, 10000);
      peer->Exchange(answer, 10000);
    };
  }

  // One plain client through the relay: sends `ask`, waits up to `milliseconds` for what comes back, closes,
  // and waits for the server to finish. What came back, or what went wrong first.
  static std::string AskThroughRelay(CliProcess& cli, OneServer& server, const std::string& ask, int milliseconds) {
    int port = cli.WaitForPort();
    if (port <= 0) return "no port";
    int client = ConnectLoopback(static_cast<std::uint16_t>(port));
    std::string got = SendAll(client, ask) ? ReceiveAll(client, milliseconds) : "could not send";
    close(client);
    server.Join();
    return got;
  }

  static TestCertificates files_;
  static TestCertificates other_;
};

TestCertificates CliTls::files_;
TestCertificates CliTls::other_;

TEST_F(CliTls, RemoteServerGetsTheRewrittenRequestWithItsNameAndTheLogShowsPlaintext) {
  Seen seen;
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  // The request as the server must get it: "Host: localhost:NNNNN" is as long as the line it replaces.
  const std::string request = "GET /x HTTP/1.1\r\nHost: relay.test:1234\r\n\r\n";
  OneServer server(AnswerOnce(files_, seen, request.size(), answer));
  CliProcess cli({"localhost", server.PortText(), "0", "-tls", "-tls-ca", files_.caFile});
  std::string got = AskThroughRelay(cli, server, request, 10000);
  EXPECT_EQ(seen.error, "");
  EXPECT_EQ(seen.serverName, "localhost");
  EXPECT_EQ(seen.request, "GET /x HTTP/1.1\r\nHost: localhost:" + server.PortText() + "\r\n\r\n");
  EXPECT_EQ(got, answer);
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
  std::string out = cli.Output();
  std::vector<std::string> lines = LinesFrom(out, ": Connected to Server\n");
  // The handshake completes before the answer; the request may be logged before it, read while it went on.
  auto startsWith = [](const char* prefix) {
    return [prefix](const std::string& line) { return line.rfind(prefix, 0) == 0; };
  };
  auto established = std::find_if(lines.begin(), lines.end(), startsWith("TLS established with Server; TLSv1.3, TLS_"));
  auto answered = std::find_if(lines.begin(), lines.end(), startsWith("Server to Client"));
  EXPECT_TRUE(established != lines.end() && established < answered) << out;
  EXPECT_NE(out.find("\nHost: localhost:" + server.PortText() + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nHTTP/1.1 200 OK\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("not verified"), std::string::npos) << out;
}

TEST_F(CliTls, UntrustedServerCertificateEndsTheConnectionAsAFailedConnect) {
  // The system's trust store alone, then a CA file that did not sign the server's certificate.
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{}, std::vector<std::string>{"-tls-ca", other_.caFile}}) {
    Seen seen;
    OneServer server(AnswerOnce(files_, seen, 1, "never"));
    std::vector<std::string> args = {"127.0.0.1", server.PortText(), "0", "-tls"};
    args.insert(args.end(), extra.begin(), extra.end());
    CliProcess cli(args);
    EXPECT_EQ(AskThroughRelay(cli, server, "waits and is dropped", 10000), "");
    EXPECT_EQ(seen.request, "");
    ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
    std::string out = cli.Output();
    std::vector<std::string> lines = LinesFrom(out, ": TLS handshake with Server failed\n");
    ASSERT_EQ(lines.size(), 4u) << out;
    // The other CA has the same name as the one that signed, so its key fails the signature instead.
    EXPECT_EQ(lines[1], extra.empty() ? "certificate verify failed: unable to get local issuer certificate"
                                      : "certificate verify failed: certificate signature failure");
    EXPECT_EQ(lines[2].rfind("Server certificate: subject CN=localhost; ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "Disconnected from Client");
  }
}

TEST_F(CliTls, RefusedServerCertificateIsShownWithTheNameThatWasExpected) {
  const std::string localNames = "names DNS:localhost, IP Address:127.0.0.1, IP Address:0:0:0:0:0:0:0:1; ";
  struct Case {
    std::string certificate, host, reason, shown;
  } cases[] = {
      {files_.otherNameCert, "127.0.0.1", "certificate verify failed: IP address mismatch",
       "Server certificate: subject CN=other.example; names DNS:other.example; issuer CN=Tapline Test CA; "
       "valid 2020-01-01 00:00:00Z to 2100-01-01 00:00:00Z; expected address 127.0.0.1"},
      {files_.otherNameCert, "localhost", "certificate verify failed: hostname mismatch",
       "Server certificate: subject CN=other.example; names DNS:other.example; issuer CN=Tapline Test CA; "
       "valid 2020-01-01 00:00:00Z to 2100-01-01 00:00:00Z; expected name localhost"},
      {files_.expiredCert, "127.0.0.1", "certificate verify failed: certificate has expired",
       "Server certificate: subject CN=localhost; " + localNames +
           "issuer CN=Tapline Test CA; valid 2020-01-01 00:00:00Z to 2021-01-01 00:00:00Z; expected address 127.0.0.1"},
  };
  for (const Case& c : cases) {
    std::string serverError;
    OneServer server([&](int fd) { TlsPeer::Accept(fd, c.certificate, files_.serverKey, serverError); });
    CliProcess cli({c.host, server.PortText(), "0", "-tls", "-tls-ca", files_.caFile});
    EXPECT_EQ(AskThroughRelay(cli, server, "waits and is dropped", 10000), "");
    ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n")) << cli.Output();
    std::vector<std::string> lines = LinesFrom(cli.Output(), ": TLS handshake with Server failed\n");
    ASSERT_EQ(lines.size(), 4u) << cli.Output();
    EXPECT_EQ(lines[1], c.reason);
    EXPECT_EQ(lines[2], c.shown);
    EXPECT_EQ(lines[3], "Disconnected from Client");
  }
}

TEST_F(CliTls, InsecureRemoteIsUsedAndSaidOnce) {
  Seen seen;
  OneServer server(AnswerOnce(files_, seen, 4, "pong"));
  CliProcess cli({"127.0.0.1", server.PortText(), "0", "-tls", "-tls-insecure"});
  EXPECT_EQ(AskThroughRelay(cli, server, "ping", 10000), "pong");
  EXPECT_EQ(seen.request, "ping");
  EXPECT_EQ(seen.serverName, "") << "an address is no server name";
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
  EXPECT_EQ(cli.Count(": Server certificate not verified\n"), 1) << cli.Output();
}

// A TLS client through -tls-listen to a plain server that answers one line; answers what the client got.
std::string ListenExchange(CliProcess& cli, const std::string& caFile, std::string& error) {
  int port = cli.WaitForPort();
  if (port <= 0) return "no port";
  auto peer = TlsPeer::Connect(ConnectLoopback(static_cast<std::uint16_t>(port)), caFile, "localhost", error);
  if (!peer) return "";
  return peer->Exchange("hello\n", 10000);
}

TEST_F(CliTls, ListenWithTheGivenCertificateServesATlsClient) {
  OneServer server([](int fd) {
    std::string got = ReceiveUpTo(fd, 6, 10000);
    SendAll(fd, "got " + got);
    close(fd);
  });
  CliProcess cli({"127.0.0.1", server.PortText(), "0", "-tls-listen", "-tls-cert", files_.serverCert, "-tls-key",
                  files_.serverKey});
  std::string error;
  EXPECT_EQ(ListenExchange(cli, files_.caFile, error), "got hello\n");
  EXPECT_EQ(error, "");
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
  std::string out = cli.Output();
  EXPECT_EQ(out.find("Certificate for clients"), std::string::npos) << out;
  EXPECT_NE(out.find(": TLS established with Client; TLSv1.3, "), std::string::npos) << out;
  EXPECT_NE(out.find("\nhello\n"), std::string::npos) << out;
}

TEST_F(CliTls, ListenWithoutACertificateMakesOneInTheDataFolderAndSaysWhere) {
  const std::string data = files_.folder + "/data";
  const char* before = std::getenv("XDG_DATA_HOME");
  std::string saved = before != nullptr ? before : "";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);  // the child inherits it
  OneServer server([](int fd) {
    std::string got = ReceiveUpTo(fd, 6, 10000);
    SendAll(fd, "got " + got);
    close(fd);
  });
  CliProcess cli({"127.0.0.1", server.PortText(), "0", "-tls-listen"});
  if (before != nullptr) ::setenv("XDG_DATA_HOME", saved.c_str(), 1); else ::unsetenv("XDG_DATA_HOME");
  const std::string cert = data + "/Tapline/localhost-certificate.pem";
  std::string error;
  EXPECT_EQ(ListenExchange(cli, cert, error), "got hello\n");
  EXPECT_EQ(error, "");
  struct stat key {};
  ASSERT_EQ(::stat((data + "/Tapline/localhost-key.pem").c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);
  // The fingerprint in the log is the certificate's own.
  FILE* f = std::fopen(cert.c_str(), "r");
  ASSERT_NE(f, nullptr);
  X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  ASSERT_NE(x, nullptr);
  unsigned char md[32];
  unsigned int length = 0;
  X509_digest(x, EVP_sha256(), md, &length);
  X509_free(x);
  std::string fingerprint;
  char pair[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", md[i]);
    fingerprint += pair;
  }
  std::vector<std::string> lines = LinesFrom(cli.Output(), "; Certificate for clients: ");
  ASSERT_FALSE(lines.empty()) << cli.Output();
  EXPECT_EQ(cli.Output().find("; Certificate for clients: " + cert + " (SHA-256 " + fingerprint + ")\n"),
            cli.Output().find(";"))
      << "the run's first line: " << cli.Output();
}

TEST_F(CliTls, PlainClientOnTheTlsPortFailsAloneAndTheRelayServesTheNext) {
  std::uint16_t serverPort = 0;
  int listener = ListenLoopback(serverPort);
  // Only the TLS client gets a server connection: the plain one fails its handshake before any is made.
  int accepted = 0;
  std::thread servers([listener, &accepted] {
    for (int fd; (fd = AcceptWithin(listener, accepted == 0 ? 10000 : 500)) >= 0;) {
      ++accepted;
      std::string got = ReceiveUpTo(fd, 6, 3000);
      SendAll(fd, "got " + got);
      close(fd);
    }
  });
  CliProcess cli({"127.0.0.1", std::to_string(serverPort), "0", "-tls-listen", "-tls-cert", files_.serverCert,
                  "-tls-key", files_.serverKey});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  int plain = ConnectLoopback(static_cast<std::uint16_t>(port));
  ASSERT_TRUE(SendAll(plain, "GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(ReceiveAll(plain, 10000), "") << "the plain client is let go";
  close(plain);
  ASSERT_TRUE(cli.WaitForOutput(": TLS handshake with Client failed\n"));
  std::string error;
  EXPECT_EQ(ListenExchange(cli, files_.caFile, error), "got hello\n");
  EXPECT_EQ(error, "");
  servers.join();
  close(listener);
  std::string out = cli.Output();
  std::vector<std::string> lines = LinesFrom(out, ": TLS handshake with Client failed\n");
  ASSERT_GE(lines.size(), 3u) << out;
  EXPECT_EQ(lines[1], "http request") << out;
  EXPECT_EQ(lines[2], "Disconnected from Client") << out;
  EXPECT_EQ(accepted, 1) << "the failed handshake cost no server connection";
  EXPECT_EQ(out.find("GET / HTTP"), std::string::npos) << "nothing of the plain client was relayed: " << out;
  EXPECT_EQ(cli.Count(": TLS handshake with Client failed\n"), 1);
}

// TLS client → -tls-listen -tls → TLS server, 16 MB each way at once; the client reads slowly when asked.
void BothSidesBulk(const TestCertificates& files, int clientPauseUs) {
  const std::size_t size = 16u << 20;
  std::string up = RandomBytes(size, 11), down = RandomBytes(size, 12);
  std::string serverGot, serverError;
  bool serverCloseNotify = false;
  OneServer server([&](int fd) {
    auto peer = TlsPeer::Accept(fd, files.serverCert, files.serverKey, serverError);
    if (!peer) return;
    serverGot = peer->Exchange(down, 120000);
    serverCloseNotify = peer->EndedWithCloseNotify();
  });
  CliProcess cli({"localhost", server.PortText(), "0", "-tls-listen", "-tls-cert", files.serverCert, "-tls-key",
                  files.serverKey, "-tls", "-tls-ca", files.caFile, "-detail", "Low"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  std::string error;
  auto client = TlsPeer::Connect(ConnectLoopback(static_cast<std::uint16_t>(port)), files.caFile, "localhost", error);
  ASSERT_TRUE(client) << error;
  std::string clientGot = client->Exchange(up, 120000, clientPauseUs > 0 ? 16384 : 1 << 16, clientPauseUs);
  server.Join();
  EXPECT_EQ(serverError, "");
  EXPECT_EQ(serverGot.size(), size);
  EXPECT_TRUE(serverGot == up) << "client to server is byte-exact";
  EXPECT_EQ(clientGot.size(), size);
  EXPECT_TRUE(clientGot == down) << "server to client is byte-exact";
  EXPECT_TRUE(serverCloseNotify && client->EndedWithCloseNotify()) << "each end was passed on as close_notify";
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
  std::string out = cli.Output();
  // Both sides at once: each handshake names its side.
  EXPECT_EQ(cli.Count(": TLS established with Client; TLSv1.3, "), 1) << out;
  EXPECT_EQ(cli.Count(": TLS established with Server; TLSv1.3, "), 1) << out;
  EXPECT_EQ(out.find("without close_notify"), std::string::npos) << out;
}

TEST_F(CliTls, BothSidesCarrySixteenMegabytesEachWayExactly) { BothSidesBulk(files_, 0); }

TEST_F(CliTls, BothSidesStayExactWithAClientThatReadsSlowly) {
  // 16 KiB a millisecond is 16 MB/s at best: far below what the server sends, so the relay's mark has to
  // hold the server back through TLS.
  BothSidesBulk(files_, 1000);
}

TEST_F(CliTls, CloseNotifyThatCameWithTheLastDataIsPassedOnWithoutATcpEnd) {
  std::string serverError;
  OneServer server([&](int fd) {
    auto peer = TlsPeer::Accept(fd, files_.serverCert, files_.serverKey, serverError);
    if (!peer) return;
    peer->ReceiveUpTo(4, 10000);
    // The answer and the close_notify at once, and no TCP end after them: only the record says it.
    peer->Exchange("pong", 10000, 1 << 16, 0, false);
  });
  CliProcess cli({"127.0.0.1", server.PortText(), "0", "-tls", "-tls-insecure"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  int client = ConnectLoopback(static_cast<std::uint16_t>(port));
  ASSERT_TRUE(SendAll(client, "ping"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReceiveAll(client, 5000), "pong");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << "the server's end was passed on";
  EXPECT_TRUE(cli.WaitForOutput(": Server disconnected\n", 100)) << cli.Output();
  close(client);
  server.Join();
  EXPECT_EQ(serverError, "");
}

TEST_F(CliTls, AServerCutShortAfterTheClientsEndIsStillNotedAsSuch) {
  // The server's plain close ends the connection in the same step that reads it: the note must not be lost.
  std::string serverError;
  OneServer server([&](int fd) {
    auto peer = TlsPeer::Accept(fd, files_.serverCert, files_.serverKey, serverError);
    if (!peer) return;
    peer->ReceiveUpTo(1 << 20, 10000);  // the request, up to the relay's close_notify
    peer->Send("answer", 10000);
  });
  CliProcess cli({"127.0.0.1", server.PortText(), "0", "-tls", "-tls-insecure"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  int client = ConnectLoopback(static_cast<std::uint16_t>(port));
  ASSERT_TRUE(SendAll(client, "ask"));
  shutdown(client, SHUT_WR);
  EXPECT_EQ(ReceiveAll(client, 5000), "answer");
  close(client);
  server.Join();
  EXPECT_EQ(serverError, "");
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n")) << cli.Output();
  std::string out = cli.Output();
  std::size_t noted = out.find(": TLS stream from Server ended without close_notify\n");
  ASSERT_NE(noted, std::string::npos) << out;
  EXPECT_LT(noted, out.find(": Server disconnected\n")) << out;
}

TEST_F(CliTls, ACorruptRecordFromTheServerIsLoggedInTlsWordsNotAsAnErrorNumber) {
  std::string serverError;
  OneServer server([&](int fd) {
    auto peer = TlsPeer::Accept(fd, files_.serverCert, files_.serverKey, serverError);
    if (!peer) return;
    peer->ReceiveUpTo(3, 10000);
    // An application-data record whose 32 bytes cannot be decrypted.
    peer->SendRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x5a'));
    peer->ReceiveUpTo(1, 5000);  // until the relay lets go
  });
  CliProcess cli({"127.0.0.1", server.PortText(), "0", "-tls", "-tls-insecure"});
  EXPECT_EQ(AskThroughRelay(cli, server, "ask", 5000), "");
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n")) << cli.Output();
  std::vector<std::string> lines = LinesFrom(cli.Output(), ": Could not read data from Server\n");
  ASSERT_GE(lines.size(), 3u) << cli.Output();
  EXPECT_EQ(lines[1], "decryption failed or bad record mac") << cli.Output();
  EXPECT_EQ(lines[2], "Disconnected from Client") << cli.Output();
  EXPECT_EQ(cli.Output().find("Unhandled error"), std::string::npos) << cli.Output();
}

TEST_F(CliTls, ResetOfAnEstablishedServerIsNoHandshakeFailure) {
  std::string serverError;
  OneServer server([&](int fd) {
    auto peer = TlsPeer::Accept(fd, files_.serverCert, files_.serverKey, serverError);
    if (!peer) return;
    // Reads nothing until the relay's records pile up in the socket, then resets.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    peer->Reset();
  });
  CliProcess cli({"127.0.0.1", server.PortText(), "0", "-tls", "-tls-insecure", "-detail", "Low"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  int client = ConnectLoopback(static_cast<std::uint16_t>(port));
  SetNonBlocking(client);
  std::string block(1 << 20, 'x');
  for (int i = 0; i < 8; ++i) send(client, block.data(), block.size(), MSG_NOSIGNAL);
  server.Join();
  EXPECT_EQ(serverError, "");
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n")) << cli.Output();
  close(client);
  std::string out = cli.Output();
  EXPECT_EQ(out.find("TLS handshake"), std::string::npos) << out;
  EXPECT_NE(out.find(": Connection reset by peer\n"), std::string::npos) << out;
}

TEST_F(CliTls, BadCertificateKeyOrCaFileExitsTwoNamingTheFile) {
  const std::string missing = files_.folder + "/missing.pem";
  struct Case {
    std::vector<std::string> tlsArgs;
    std::string message;
  } cases[] = {
      {{"-tls-listen", "-tls-cert", missing, "-tls-key", files_.serverKey},
       "Cannot read the certificate file " + missing + ": No such file or directory.\n"},
      {{"-tls-listen", "-tls-cert", files_.serverCert, "-tls-key", files_.otherKey},
       "The key file " + files_.otherKey + " does not match the certificate in " + files_.serverCert + ".\n"},
      {{"-tls", "-tls-ca", files_.serverKey}, "The CA file " + files_.serverKey + " holds no certificate.\n"},
      // The system's reason for each kind of file.
      {{"-tls-listen", "-tls-cert", files_.serverCert, "-tls-key", missing},
       "Cannot read the key file " + missing + ": No such file or directory.\n"},
      {{"-tls", "-tls-ca", files_.folder}, "Cannot read the CA file " + files_.folder + ": Is a directory.\n"},
  };
  const std::string logFile = files_.folder + "/refused.log";
  for (const Case& c : cases) {
    std::vector<std::string> args = {"127.0.0.1", "9", "0", "-file", logFile};
    args.insert(args.end(), c.tlsArgs.begin(), c.tlsArgs.end());
    CliProcess cli(args);
    EXPECT_EQ(cli.Wait(), 2);
    EXPECT_EQ(cli.Errors(), c.message);
    EXPECT_EQ(cli.Output(), "");
    EXPECT_NE(::access(logFile.c_str(), F_OK), 0) << "nothing was created before the refusal";
  }
}

}  // namespace
}  // namespace tapline::test
