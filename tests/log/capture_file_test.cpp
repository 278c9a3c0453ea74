#include "log/capture_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/tshark.h"

namespace tapline::log {
namespace {

namespace fs = std::filesystem;
using platform::Endpoint;
using test::CaptureProblems;
using test::FollowTcp;
using test::TcpStreams;
using test::Tshark;

constexpr auto kC2S = Direction::ClientToServer;
constexpr auto kS2C = Direction::ServerToClient;

Endpoint At(const char* address, std::uint16_t port) { return *Endpoint::FromAddressText(address, port); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Feeds a capture file the events a relay reports, a millisecond apart.
class CaptureFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tapline-capture-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "capture.pcapng").string();
    ASSERT_EQ(capture_.Create(path_), 0);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  TimePoint Tick() { return now_ += std::chrono::milliseconds(1); }
  void Open(int id, const Endpoint& client, std::uint16_t remotePort = 8181) {
    capture_.Opened({id, client, "example.org", remotePort, Tick()});
  }
  void Send(int id, Direction direction, const std::string& bytes) {
    capture_.Data({id, direction, bytes.data(), static_cast<std::int32_t>(bytes.size()), Tick(), 0, false});
  }
  // Both directions end in order and the connection closes.
  void EndBoth(int id) {
    capture_.StreamEnded(id, kC2S, Tick());
    capture_.StreamEnded(id, kS2C, Tick());
    capture_.Closed(id, true, Tick());
  }
  const std::string& Finish() {
    capture_.Sync();
    return path_;
  }

  CaptureFile capture_;
  TimePoint now_ = TimePoint(std::chrono::seconds(1'800'000'000));
  fs::path dir_;
  std::string path_;
};

struct Family {
  const char* name;
  const char* client;
  const char* server;
  const char* source;  // the first packet's IPv4 and IPv6 source fields
  const char* comment;
};

void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

class CaptureFamilyTest : public CaptureFileTest, public ::testing::WithParamInterface<Family> {};

TEST_P(CaptureFamilyTest, HttpExchangeReadsBackExactlyWithItsComment) {
  const std::string request = "GET /index.html HTTP/1.1\r\nHost: example.org:8181\r\nAccept: */*\r\n\r\n";
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  Open(8, At(GetParam().client, 40000));
  Send(8, kC2S, request);  // read while the server connect was under way
  capture_.ServerConnected(8, At(GetParam().server, 8181), Tick());
  Send(8, kS2C, response);
  EndBoth(8);
  const std::string& path = Finish();

  EXPECT_EQ(FollowTcp(path, 0), std::make_pair(request, response));
  EXPECT_EQ(TcpStreams(path), 1);
  EXPECT_EQ(CaptureProblems(path), "");
  EXPECT_EQ(Tshark(path, "-d tcp.port==8181,http -Y http.request -T fields -e http.request.uri -e http.host"),
            "/index.html\texample.org:8181\n");
  const std::vector<std::string> comments = Lines(Tshark(path, "-T fields -e frame.comment"));
  ASSERT_EQ(comments.size(), 8u);  // handshake 3, request, response, FIN, FIN, last ACK
  EXPECT_EQ(comments[0], GetParam().comment);
  for (std::size_t i = 1; i < comments.size(); ++i) EXPECT_EQ(comments[i], "") << "packet " << i + 1;
  EXPECT_EQ(Lines(Tshark(path, "-c 1 -T fields -e ip.src -e ipv6.src")).at(0), GetParam().source);
}

const Family kFamilies[] = {
    {"IPv4", "127.0.0.1", "127.0.0.2", "127.0.0.1\t",
     "Tapline connection 8: client 127.0.0.1:40000, remote example.org:8181 (127.0.0.2)"},
    {"IPv6", "::1", "fd00::7", "\t::1",
     "Tapline connection 8: client [::1]:40000, remote example.org:8181 (fd00::7)"},
    // IPv4 written as IPv4-mapped IPv6 is IPv4.
    {"Mapped", "::ffff:127.0.0.1", "127.0.0.2", "127.0.0.1\t",
     "Tapline connection 8: client 127.0.0.1:40000, remote example.org:8181 (127.0.0.2)"},
    // An IPv4 client of an IPv6 server: IPv6, the client IPv4-mapped.
    {"Mixed", "127.0.0.1", "::1", "\t::ffff:127.0.0.1",
     "Tapline connection 8: client 127.0.0.1:40000, remote example.org:8181 (::1)"},
};
INSTANTIATE_TEST_SUITE_P(Families, CaptureFamilyTest, ::testing::ValuesIn(kFamilies),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureFileTest, LongOneWayTransferNeverOverrunsTheWindow) {
  // 24 MiB from the server with nothing from the client: the client must acknowledge now and then,
  // or more than the 8 MiB window the handshake announced would be in flight.
  Open(10, At("::1", 40002));
  capture_.ServerConnected(10, At("::1", 9000), Tick());
  const std::string block(256 * 1024, 'x');
  for (int i = 0; i < 96; ++i) Send(10, kS2C, block);
  EndBoth(10);
  const std::string& path = Finish();

  EXPECT_EQ(CaptureProblems(path), "");
  EXPECT_EQ(Tshark(path, "-Y 'tcp.analysis.bytes_in_flight > 8388480' -T fields -e frame.number"), "");
  EXPECT_EQ(FollowTcp(path, 0).second.size(), 96u * block.size());
}

TEST_F(CaptureFileTest, EmptyConnectionIsAHandshakeAndTwoFins) {
  Open(11, At("127.0.0.1", 40003));
  capture_.ServerConnected(11, At("127.0.0.2", 9000), Tick());
  EndBoth(11);
  const std::string& path = Finish();

  EXPECT_EQ(FollowTcp(path, 0), std::make_pair(std::string(), std::string()));
  EXPECT_EQ(TcpStreams(path), 1);
  EXPECT_EQ(CaptureProblems(path), "");
  EXPECT_EQ(Tshark(path, "-T fields -e tcp.srcport -e tcp.flags -e tcp.seq -e tcp.ack"),
            "40003\t0x0002\t0\t0\n"
            "9000\t0x0012\t0\t1\n"
            "40003\t0x0010\t1\t1\n"
            "40003\t0x0011\t1\t1\n"
            "9000\t0x0011\t1\t2\n"
            "40003\t0x0010\t2\t2\n");
}

TEST_F(CaptureFileTest, FailedConnectIsASynAnsweredByAReset) {
  Open(12, At("127.0.0.1", 40004));
  Send(12, kC2S, "never forwarded");
  capture_.ConnectFailed(12, At("127.0.0.2", 9000), Tick());
  capture_.Closed(12, false, Tick());  // nothing more once the connection is gone
  const std::string& path = Finish();

  EXPECT_EQ(Tshark(path, "-T fields -e ip.src -e ip.dst -e tcp.flags -e tcp.ack -e tcp.len"),
            "127.0.0.1\t127.0.0.2\t0x0002\t0\t0\n"
            "127.0.0.2\t127.0.0.1\t0x0014\t1\t0\n");
  EXPECT_EQ(CaptureProblems(path), "");
  EXPECT_EQ(Lines(Tshark(path, "-c 1 -T fields -e frame.comment")).at(0),
            "Tapline connection 12: client 127.0.0.1:40004, remote example.org:8181 (127.0.0.2)");
}

TEST_F(CaptureFileTest, ConnectionGoneWhileConnectingStillAppears) {
  Open(13, At("::1", 40007), 443);
  capture_.Closed(13, false, Tick());
  const std::string& path = Finish();

  EXPECT_EQ(Tshark(path, "-T fields -e ipv6.src -e ipv6.dst -e tcp.dstport -e tcp.flags -e frame.comment"),
            "::1\t::\t443\t0x0002\tTapline connection 13: client [::1]:40007, remote example.org:443 (not connected)\n"
            "::\t::1\t40007\t0x0014\t\n");
  EXPECT_EQ(CaptureProblems(path), "");
}

TEST_F(CaptureFileTest, ReusedIdAfterAResetStartsANewConversation) {
  Open(5, At("127.0.0.1", 40005));
  capture_.ServerConnected(5, At("127.0.0.2", 9000), Tick());
  Send(5, kC2S, "first");
  capture_.Closed(5, false, Tick());
  Open(5, At("127.0.0.1", 40006));
  capture_.ServerConnected(5, At("127.0.0.2", 9000), Tick());
  Send(5, kC2S, "second");
  EndBoth(5);
  const std::string& path = Finish();

  EXPECT_EQ(TcpStreams(path), 2);
  EXPECT_EQ(FollowTcp(path, 0).first, "first");
  EXPECT_EQ(FollowTcp(path, 1).first, "second");
  EXPECT_EQ(Tshark(path, "-Y tcp.flags.reset==1 -T fields -e tcp.stream -e tcp.srcport"), "0\t40005\n");
  EXPECT_EQ(Lines(Tshark(path, "-Y 'frame.comment' -T fields -e tcp.srcport")), (std::vector<std::string>{
                                                                                      "40005", "40006"}));
  EXPECT_EQ(CaptureProblems(path), "");
}

}  // namespace
}  // namespace tapline::log
