// tapline-cli with -split and -json: what the files hold after several connections ran at once, against
// what the peers of the test sent and received.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/cli/cli_process.h"
#include "tests/support/loopback.h"

namespace tapline::test {
namespace {

namespace fs = std::filesystem;

constexpr int kConnections = 4;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::uint16_t LocalPortOf(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

class ExportCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tapline-cli-export-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    listener_ = ListenLoopback(serverPort_);
    // Binary both ways, large enough to take many reads, and UTF-8 text whose characters the reads may cut.
    for (int i = 0; i < kConnections; ++i) {
      up_[i] = i == 0 ? std::string("h\xC3\xA9llo w\xC3\xB6rld \xE4\xBD\xA0\xE5\xA5\xBD\r\n")
                      : RandomBytes(300000 + 1000 * static_cast<std::size_t>(i), 10 + static_cast<unsigned>(i));
      down_[i] = RandomBytes(200000 + 777 * static_cast<std::size_t>(i), 20 + static_cast<unsigned>(i));
    }
  }
  void TearDown() override {
    close(listener_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Opens the connections one after another (so that the i-th is the relay's number i + 1), then lets them
  // all send and end at once. Every peer must get exactly what the other sent.
  void RunConnections(int relayPort) {
    int clients[kConnections];
    int servers[kConnections];
    for (int i = 0; i < kConnections; ++i) {
      clients[i] = ConnectLoopback(static_cast<std::uint16_t>(relayPort));
      servers[i] = AcceptWithin(listener_, 10000);
      ASSERT_GE(clients[i], 0);
      ASSERT_GE(servers[i], 0);
      clientPort_[i] = LocalPortOf(clients[i]);
    }
    std::string serverGot[kConnections];
    std::string clientGot[kConnections];
    std::vector<std::thread> threads;
    for (int i = 0; i < kConnections; ++i) {
      threads.emplace_back([&, i] { serverGot[i] = ReceiveAll(servers[i], 30000); });
      threads.emplace_back([&, i] { clientGot[i] = ReceiveAll(clients[i], 30000); });
      threads.emplace_back([&, i] {
        SendAll(servers[i], down_[i]);
        shutdown(servers[i], SHUT_WR);
      });
      threads.emplace_back([&, i] {
        SendAll(clients[i], up_[i]);
        shutdown(clients[i], SHUT_WR);
      });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < kConnections; ++i) {
      close(clients[i]);
      close(servers[i]);
      ASSERT_TRUE(serverGot[i] == up_[i]) << "the relay itself lost bytes to the server of connection " << i + 1;
      ASSERT_TRUE(clientGot[i] == down_[i]) << "the relay itself lost bytes to the client of connection " << i + 1;
    }
  }

  // Stops the relay once every connection has ended.
  void StopWhenAllEnded(CliProcess& cli) {
    for (int waited = 0; waited < 200 && cli.Count(": Disconnected from Client\n") < kConnections; ++waited) {
      usleep(50000);
    }
    ASSERT_EQ(cli.Count(": Disconnected from Client\n"), kConnections) << cli.Output();
    cli.Signal(SIGTERM);
    ASSERT_EQ(cli.Wait(), 0);
  }

  fs::path dir_;
  int listener_ = -1;
  std::uint16_t serverPort_ = 0;
  std::string up_[kConnections];
  std::string down_[kConnections];
  std::uint16_t clientPort_[kConnections] = {};
};

TEST_F(ExportCli, SplitFilesHoldEachDirectionOfConcurrentConnectionsByteForByte) {
  const fs::path folder = dir_ / "made" / "by" / "the-relay";
  CliProcess cli({"127.0.0.1", std::to_string(serverPort_), "0", "-detail", "Low", "-split", folder.string()});
  const int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  RunConnections(port);
  StopWhenAllEnded(cli);

  int files = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2 * kConnections) << "two files per connection and nothing else";
  const std::string server = "127.0.0.1_" + std::to_string(serverPort_);
  for (int i = 0; i < kConnections; ++i) {
    const std::string client = "127.0.0.1_" + std::to_string(clientPort_[i]);
    const std::string n = std::to_string(i + 1);
    const fs::path toServer = folder / (n + "-" + client + "-to-" + server + ".bin");
    const fs::path toClient = folder / (n + "-" + server + "-to-" + client + ".bin");
    ASSERT_TRUE(fs::exists(toServer)) << toServer;
    ASSERT_TRUE(fs::exists(toClient)) << toClient;
    EXPECT_TRUE(ReadFile(toServer) == up_[i]) << "connection " << n << ": " << fs::file_size(toServer) << " of "
                                              << up_[i].size() << " bytes, not all the same";
    EXPECT_TRUE(ReadFile(toClient) == down_[i]) << "connection " << n << ": " << fs::file_size(toClient) << " of "
                                                << down_[i].size() << " bytes, not all the same";
  }
}

TEST_F(ExportCli, JsonLinesRebuildEachDirectionOfConcurrentConnectionsByteForByte) {
  const fs::path json = dir_ / "run.jsonl";
  CliProcess cli({"127.0.0.1", std::to_string(serverPort_), "0", "-detail", "Low", "-json", json.string()});
  const int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  RunConnections(port);
  StopWhenAllEnded(cli);

  // Read by a JSON parser of its own: every line one object with the fixed fields; each connection's
  // events in their order; one direction's base64 concatenated is the bytes; "text" where they are text.
  const fs::path out = dir_ / "rebuilt";
  fs::create_directory(out);
  const std::string script = R"PY(
import base64, json, re, sys
out = sys.argv[2]
events = [json.loads(line) for line in open(sys.argv[1], 'rb')]
stamp = re.compile(r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$')
assert all(stamp.match(e['time']) for e in events), 'time'
assert events[0]['event'] == 'start' and 'conn' not in events[0], 'start'
assert events[-1]['event'] == 'stop' and 'conn' not in events[-1], 'stop'
order = {}
data = {}
texts = 0
for e in events[1:-1]:
    c = e['conn']
    order.setdefault(c, []).append(e['event'] if e['event'] != 'ended' else 'ended ' + e['from'])
    if e['event'] == 'data':
        raw = base64.b64decode(e['base64'], validate=True)
        assert len(raw) == e['size'], 'size'
        data.setdefault((c, e['dir']), bytearray()).extend(raw)
        if 'text' in e:
            assert e['text'].encode('utf-8') == raw, 'text'
            texts += 1
    if e['event'] == 'opened':
        assert re.match(r'^127\.0\.0\.1:\d+$', e['client']), 'client'
    if e['event'] == 'connected':
        assert re.match(r'^127\.0\.0\.1:\d+$', e['server']), 'server'
for (c, d), b in data.items():
    open('%s/%d-%s' % (out, c, d), 'wb').write(b)
for c in sorted(order):
    seq = order[c]
    data_free = [x for x in seq if x != 'data']
    assert data_free[0] == 'opened' and data_free[1] == 'connected' and data_free[-1] == 'closed', seq
    assert sorted(data_free[2:-1]) == ['ended client', 'ended server'], seq
    print(c)
print('texts', texts)
)PY";
  const fs::path scriptPath = dir_ / "read.py";
  std::ofstream(scriptPath) << script;
  std::string command = "python3 " + scriptPath.string() + " " + json.string() + " " + out.string() + " 2>&1";
  FILE* reader = popen(command.c_str(), "r");
  ASSERT_NE(reader, nullptr);
  std::string said;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, reader) != nullptr) said += buffer;
  ASSERT_EQ(pclose(reader), 0) << said;
  std::string numbers;
  for (int i = 1; i <= kConnections; ++i) numbers += std::to_string(i) + "\n";
  EXPECT_EQ(said.substr(0, numbers.size()), numbers) << "every connection, each with its own number";
  const std::size_t texts = said.find("texts ");
  ASSERT_NE(texts, std::string::npos) << said;
  EXPECT_GT(std::stoi(said.substr(texts + 6)), 0) << "the UTF-8 request carries its text";
  for (int i = 0; i < kConnections; ++i) {
    const std::string n = std::to_string(i + 1);
    EXPECT_TRUE(ReadFile(out / (n + "-to-server")) == up_[i]) << "connection " << n << " to the server";
    EXPECT_TRUE(ReadFile(out / (n + "-to-client")) == down_[i]) << "connection " << n << " to the client";
  }
}

TEST_F(ExportCli, ExportsThatCannotGrowSayItOnceAndTheRelayGoesOn) {
  const long limit = 1 << 20;
  const fs::path folder = dir_ / "split";
  const fs::path json = dir_ / "run.jsonl";
  CliProcess cli({"127.0.0.1", std::to_string(serverPort_), "0", "-detail", "Low", "-split", folder.string(), "-json",
                  json.string()},
                 0, limit);
  const int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  down_[0] = RandomBytes(4 << 20, 4);
  RunConnections(port);
  StopWhenAllEnded(cli);
  EXPECT_EQ(cli.Count("; Could not write split file "), 1) << cli.Output();
  EXPECT_EQ(cli.Count("; Could not write JSON file " + json.string() + ": File too large\n"), 1) << cli.Output();
  EXPECT_LE(static_cast<long>(fs::file_size(json)), limit);
}

}  // namespace
}  // namespace tapline::test
