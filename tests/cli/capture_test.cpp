// tapline-cli with a capture file: what tshark reads back from it after real transfers, after the relay
// was killed, and once the file can no longer grow.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/cli/cli_process.h"
#include "tests/support/loopback.h"
#include "tests/support/tshark.h"

namespace tapline::test {
namespace {

namespace fs = std::filesystem;

class CaptureCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tapline-cli-capture-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    listener_ = ListenLoopback(serverPort_);
  }
  void TearDown() override {
    close(listener_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  std::vector<std::string> Args(const std::string& capture) const {
    return {"127.0.0.1", std::to_string(serverPort_), "0", "-detail", "Low", "-pcap", capture};
  }

  // One relayed connection: the client sends `up` and ends, the server sends `down` and ends, each at once.
  // Answers what the server and the client received.
  // `v6`: the client comes over ::1, and the server is the one `listener` accepts for.
  std::pair<std::string, std::string> Exchange(int relayPort, const std::string& up, const std::string& down,
                                               bool v6 = false, int listener = -1) {
    int client = (v6 ? ConnectLoopback6 : ConnectLoopback)(static_cast<std::uint16_t>(relayPort));
    int server = AcceptWithin(listener < 0 ? listener_ : listener, 10000);
    if (client < 0 || server < 0) return {};
    std::string serverGot;
    std::thread serverSide([&] {
      std::thread reader([&] { serverGot = ReceiveAll(server, 30000); });
      SendAll(server, down);
      shutdown(server, SHUT_WR);
      reader.join();
    });
    std::thread sender([&] {
      SendAll(client, up);
      shutdown(client, SHUT_WR);
    });
    std::string clientGot = ReceiveAll(client, 30000);
    sender.join();
    serverSide.join();
    close(client);
    close(server);
    return {serverGot, clientGot};
  }

  fs::path dir_;
  int listener_ = -1;
  std::uint16_t serverPort_ = 0;
};

TEST_F(CaptureCli, CaptureDiffersFromWhatWasRelayed) {
  const std::string capture = Path("run.pcapng");
  CliProcess cli(Args(capture));
  const int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  const std::string request = "GET /a HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const auto http = Exchange(port, request, response);
  const std::string host = "127.0.0.1:" + std::to_string(serverPort_);
  ASSERT_EQ(http.first, "GET /a HTTP/1.1\r\nHost: " + host + "\r\n\r\n");  // as rewritten
  ASSERT_EQ(http.second, response);
  const std::string up = RandomBytes(1 << 20, 1);
  const std::string down = RandomBytes(1 << 20, 2);
  const auto binary = Exchange(port, up, down);
  ASSERT_TRUE(binary.first == up && binary.second == down) << "the relay itself lost bytes";
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
  cli.Signal(SIGTERM);
  ASSERT_EQ(cli.Wait(), 0);

  EXPECT_EQ(TcpStreams(capture), 2);
  EXPECT_EQ(FollowTcp(capture, 0), http);
  const auto [client, server] = FollowTcp(capture, 1);
  EXPECT_TRUE(client == up) << client.size() << " of " << up.size() << " client bytes, not all the same";
  EXPECT_TRUE(server == down) << server.size() << " of " << down.size() << " server bytes, not all the same";
  EXPECT_EQ(Tshark(capture, "-Y 'tcp.len > 65495' -T fields -e frame.number"), "") << "a segment IP cannot carry";
  EXPECT_EQ(CaptureProblems(capture), "");
  EXPECT_EQ(Tshark(capture, "-d tcp.port==" + std::to_string(serverPort_) + ",http -Y http.request -T fields -e http.host"),
            host + "\n");
  // Each conversation's first packet names it as the log does.
  std::istringstream comments(Tshark(capture, "-Y frame.comment -T fields -e frame.comment"));
  const std::regex named("Tapline connection (\\d+): client (127\\.0\\.0\\.1:\\d+), remote " + host + " \\(127\\.0\\.0\\.1\\)");
  int count = 0;
  for (std::string line; std::getline(comments, line); ++count) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, named)) << line;
    EXPECT_NE(cli.Output().find("; " + m[1].str() + ": Client connected; " + m[2].str() + "\n"), std::string::npos)
        << line;
  }
  EXPECT_EQ(count, 2);
}

TEST_F(CaptureCli, Ipv6ConnectionIsOneIpv6ConversationCarryingEveryByte) {
  std::uint16_t serverPort = 0;
  const int listener = ListenLoopback6(serverPort);
  ASSERT_GE(listener, 0);
  const std::string capture = Path("v6.pcapng");
  CliProcess cli({"::1", std::to_string(serverPort), "0", "-detail", "Low", "-pcap", capture});
  const int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  const std::string up = RandomBytes(300000, 5), down = RandomBytes(200000, 6);
  const auto got = Exchange(port, up, down, true, listener);
  close(listener);
  ASSERT_TRUE(got.first == up && got.second == down) << "the relay itself lost bytes";
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
  cli.Signal(SIGTERM);
  ASSERT_EQ(cli.Wait(), 0);

  EXPECT_EQ(TcpStreams(capture), 1);
  EXPECT_TRUE(FollowTcp(capture, 0) == got);
  EXPECT_EQ(CaptureProblems(capture), "");
  EXPECT_EQ(Tshark(capture, "-Y 'ip' -T fields -e frame.number"), "") << "an IPv4 packet in an IPv6 conversation";
  const std::string first = Tshark(capture, "-c 1 -T fields -e ipv6.src -e ipv6.dst -e tcp.dstport -e frame.comment");
  const std::regex expected("::1\t::1\t" + std::to_string(serverPort) +
                            "\tTapline connection \\d+: client \\[::1\\]:\\d+, remote \\[?::1\\]?:" +
                            std::to_string(serverPort) + " \\(::1\\)\n");
  EXPECT_TRUE(std::regex_match(first, expected)) << first;
}

TEST_F(CaptureCli, KilledRelayLeavesPartOfABlock) {
  const std::string capture = Path("killed.pcapng");
  CliProcess cli(Args(capture));
  const int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  int client = ConnectLoopback(static_cast<std::uint16_t>(port));
  int server = AcceptWithin(listener_, 10000);
  ASSERT_GE(server, 0);
  const std::string up = RandomBytes(64 << 20, 3);
  std::thread sender([&] { SendAll(client, up); });
  // Killed in the middle of the transfer, blocks on their way to the file.
  ReceiveUpTo(server, 8 << 20, 20000);
  cli.Signal(SIGKILL);
  EXPECT_EQ(cli.Wait(), -2);
  close(server);
  sender.join();
  close(client);

  // The kernel may stop a write to a file between two pages when the writer is killed, so the last block
  // can be cut short; every block before it is whole and read.
  const std::string got = FollowTcp(capture, 0, true).first;
  EXPECT_GT(got.size(), 0u);
  EXPECT_EQ(up.compare(0, got.size(), got), 0) << "the capture's bytes are not the start of what was sent";
}

TEST_F(CaptureCli, CaptureThatCannotGrowEndsTheRelayOrSaysNothing) {
  const std::string capture = Path("limited.pcapng");
  const long limit = 1 << 20;
  CliProcess cli(Args(capture), 0, limit);
  const int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  const std::string down = RandomBytes(4 << 20, 4);
  const auto got = Exchange(port, "", down);
  EXPECT_TRUE(got.second == down) << "the relay stopped relaying; " << got.second.size() << " bytes came";
  ASSERT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
  cli.Signal(SIGTERM);
  EXPECT_EQ(cli.Wait(), 0);
  // A file over the size limit: the kernel's reason, with the file's name.
  EXPECT_EQ(cli.Count("; Could not write capture file " + capture + ": File too large\n"), 1) << cli.Output();
  // What the file holds ends with a whole block.
  EXPECT_LE(static_cast<long>(fs::file_size(capture)), limit);
  EXPECT_GT(FollowTcp(capture, 0).second.size(), 0u);
}

}  // namespace
}  // namespace tapline::test
