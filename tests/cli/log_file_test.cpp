// The log file written by tapline-cli for real traffic: an HTTP exchange with curl logged as HTML, and a
// plain-text file that holds every line whatever the detail level.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/cli/cli_process.h"
#include "tests/support/loopback.h"

namespace tapline::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// The class of the span that is open at `at` in an HTML log file.
std::string SpanClassAt(const std::string& html, std::size_t at) {
  auto open = html.rfind("<span class=\"", at);
  if (open == std::string::npos) return "";
  open += 13;
  return html.substr(open, html.find('"', open) - open);
}

TEST(LogFileEndToEnd, CurlThroughTheRelayIsLoggedAsHtml) {
  FILE* server = popen("python3 " TAPLINE_TESTS_DIR "/host_echo_server.py 1", "r");
  ASSERT_NE(server, nullptr);
  char portLine[32] = {};
  ASSERT_NE(fgets(portLine, sizeof portLine, server), nullptr);
  std::string serverPort = std::to_string(std::atoi(portLine));
  std::string path = ::testing::TempDir() + "curl-log.html";
  CliProcess cli({"127.0.0.1", serverPort, "0", "-file", path});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  std::string answer = Capture("curl -s --max-time 10 http://127.0.0.1:" + std::to_string(port) + "/some/path");
  pclose(server);
  std::string hostLine = "Host: 127.0.0.1:" + serverPort;
  EXPECT_EQ(answer.substr(0, 11 + hostLine.size() - 6), "Host seen: " + hostLine.substr(6))
      << "the server saw the rewritten Host line; curl got: " << answer << "\nlog:\n" << cli.Output();
  EXPECT_EQ(answer.size(), 11 + hostLine.size() - 6 + 1 + 32u) << "curl got the answer unchanged";
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(), 0);

  std::string html = ReadFile(path);
  ASSERT_EQ(html.substr(0, 25), "<!DOCTYPE html>\r\n<html>\r\n");
  EXPECT_NE(html.find("<meta charset=\"utf-8\">"), std::string::npos);
  auto request = html.find("GET /some/path HTTP/1.1\r\n");
  ASSERT_NE(request, std::string::npos) << html;
  EXPECT_EQ(SpanClassAt(html, request), "tsclient");
  auto host = html.find(hostLine + "\r\n", request);
  ASSERT_NE(host, std::string::npos) << "the substituted line is in the file";
  EXPECT_EQ(SpanClassAt(html, host), "tshost") << "the file colours it as the view does";
  auto status = html.find("HTTP/1.0 200 OK\r\n", host);
  ASSERT_NE(status, std::string::npos);
  EXPECT_EQ(SpanClassAt(html, status), "tsserver");
  // The body follows as a hex dump from its first byte ("Host seen: "), at the header's length 0x4F.
  auto dump = html.find("004F  48 6F 73 74 20 73 65 65  6E 3A 20", status);
  ASSERT_NE(dump, std::string::npos) << html.substr(status);
  EXPECT_EQ(SpanClassAt(html, dump), "tsserver");
  EXPECT_NE(html.find("; Stopped by user\r\n"), std::string::npos);
  EXPECT_EQ(html.substr(html.size() - 27), "</span>\r\n</body>\r\n</html>\r\n") << html.substr(html.size() - 80);
}

// The bytes of the blocks of one direction, rebuilt from the text lines and dump lines of a plain log.
std::string Rebuild(const std::string& file, const std::string& direction) {
  std::string bytes;
  std::istringstream in(file);
  std::string line;
  bool inBlock = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find("; ") != std::string::npos && line.find(" bytes") != std::string::npos) {
      inBlock = line.find(": " + direction + " (") != std::string::npos;
      continue;
    }
    if (line.find("; ") != std::string::npos && line.size() != 72) {
      inBlock = false;
      continue;
    }
    if (!inBlock) continue;
    if (line.size() == 72 && line[4] == ' ' && line[5] == ' ') {
      for (std::size_t k = 0; k < 16; ++k) {
        std::size_t i = 6 + 3 * k + (k >= 8 ? 1 : 0);  // one more blank between the groups of eight
        if (line[i] == ' ') break;                      // past the block's end
        bytes += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
      }
    } else {
      bytes += line + "\r\n";
    }
  }
  return bytes;
}

TEST(LogFileEndToEnd, TheFileHoldsEachLineAsItHappensAndSurvivesAKill) {
  std::string path = ::testing::TempDir() + "live-log.html";
  std::uint16_t serverPort = 0;
  int listener = ListenLoopback(serverPort);
  CliProcess cli({"127.0.0.1", std::to_string(serverPort), "0", "-file", path, "-detail", "Low"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  // Before any client: the header and the start's lines are in the file, not in a buffer.
  std::string file = ReadFile(path);
  EXPECT_EQ(file.rfind("<!DOCTYPE html>\r\n<html>", 0), 0u) << file.substr(0, 40);
  EXPECT_NE(file.find("Waiting for connections"), std::string::npos) << "a quiet run's file is not empty";
  int client = ConnectLoopback(static_cast<std::uint16_t>(port));
  int peer = AcceptWithin(listener, 5000);
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(SendAll(client, "last words\r\n"));
  ASSERT_EQ(ReceiveUpTo(peer, 12, 5000), "last words\r\n");
  ASSERT_TRUE(cli.WaitForOutput(": Connected to Server\n"));
  usleep(100000);  // the turn that logged the block has ended
  cli.Signal(SIGKILL);
  EXPECT_EQ(cli.Wait(), -2);
  file = ReadFile(path);
  EXPECT_NE(file.find("Client to Server (12 bytes)"), std::string::npos);
  EXPECT_NE(file.find("last words"), std::string::npos) << "every line logged before the kill is in the file";
  close(client);
  close(peer);
  close(listener);
}

TEST(LogFileEndToEnd, PlainTextFileHoldsEveryLineAtDetailLow) {
  std::string text = "HELLO there\r\nsecond line\r\n";
  std::string binary = std::string("\x00\x01\x02 binary \xFE\xFF tail", 18);
  std::string path = ::testing::TempDir() + "plain-log.txt";
  std::uint16_t serverPort = 0;
  int listener = ListenLoopback(serverPort);
  CliProcess cli({"127.0.0.1", std::to_string(serverPort), "0", "-file", path, "-detail", "Low"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);

  // A text connection and a binary one, each way.
  for (const std::string& payload : {text, binary}) {
    int client = ConnectLoopback(static_cast<std::uint16_t>(port));
    int peer = AcceptWithin(listener, 5000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(SendAll(client, payload));
    ASSERT_EQ(ReceiveUpTo(peer, payload.size(), 5000), payload);
    ASSERT_TRUE(SendAll(peer, payload));
    ASSERT_EQ(ReceiveUpTo(client, payload.size(), 5000), payload);
    close(client);
    close(peer);
  }
  // Both connections have ended once the second "Disconnected from Client" is out.
  for (int i = 0; i < 500; ++i) {
    std::string o = cli.Output();
    std::size_t n = 0;
    for (auto p = o.find("Disconnected from Client"); p != std::string::npos; p = o.find("Disconnected from Client", p + 1)) ++n;
    if (n >= 2) break;
    usleep(10000);
  }
  cli.Signal(SIGINT);
  ASSERT_EQ(cli.Wait(), 0);
  close(listener);

  std::string file = ReadFile(path);
  // Nothing but whole lines ending in CR LF.
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(file.substr(file.size() - 2), "\r\n");
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\n') {
      ASSERT_TRUE(i > 0 && file[i - 1] == '\r') << "bare LF at " << i;
    }
    if (file[i] == '\r') {
      ASSERT_TRUE(i + 1 < file.size() && file[i + 1] == '\n') << "bare CR at " << i;
    }
  }
  // Everything standard output showed at Low, in the same order, each line with CR LF.
  std::string out = cli.Output();
  std::istringstream shown(out);
  std::string line;
  std::size_t at = 0;
  int lines = 0;
  while (std::getline(shown, line)) {
    auto found = file.find(line + "\r\n", at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line;
    at = found + line.size() + 2;
    ++lines;
  }
  EXPECT_GE(lines, 12);
  // The data the view did not show is all in the file.
  EXPECT_EQ(out.find(" bytes)"), std::string::npos) << "Low shows no block header";
  EXPECT_EQ(Rebuild(file, "Client to Server"), text + binary);
  EXPECT_EQ(Rebuild(file, "Server to Client"), text + binary);
}

}  // namespace
}  // namespace tapline::test
