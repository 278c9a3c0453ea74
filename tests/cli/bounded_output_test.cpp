// What watches the relay never holds it up or grows without bound: a terminal or pipe that is not read,
// a flood the view cannot keep up with, a log file that can no longer be written; and the files that
// hold traffic are private.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cli/cli_process.h"
#include "tests/cli/echo_server.h"
#include "tests/support/loopback.h"

namespace tapline::test {
namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The bytes the log's block headers ("N: Client to Server (123 bytes") add up to for one direction.
long LoggedBytes(const std::string& log, const std::string& direction) {
  long total = 0;
  std::string key = direction + " (";
  for (std::size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
    total += std::atol(log.c_str() + at + key.size());
  }
  return total;
}

// Lines of text, as an application protocol sends them.
std::string TextLines(std::size_t size, int seed) {
  std::string out;
  for (int i = 0; out.size() < size; ++i) out += "client " + std::to_string(seed) + " line " + std::to_string(i) + " of its flood\r\n";
  out.resize(size);
  return out;
}

// Sends `data` and reads the same number of bytes back; answers what came back.
std::string Echoed(int relayPort, const std::string& data, int milliseconds) {
  int c = ConnectLoopback(static_cast<std::uint16_t>(relayPort));
  if (c < 0) return "no connection";
  std::thread sender([&] { SendAll(c, data); });
  std::string back = ReceiveUpTo(c, data.size(), milliseconds);
  shutdown(c, SHUT_RDWR);
  sender.join();
  close(c);
  return back;
}

TEST(BoundedObservers, AStdoutNobodyReadsStopsNeitherATransferNorANewClientAndSigtermEndsWithinASecond) {
  EchoServer echo;
  std::string log = ::testing::TempDir() + "tapline-stalled-" + std::to_string(getpid()) + ".txt";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  // The read end stays open and is never read: the pipe fills after 64 KB, as `| sleep` or Ctrl+S do.
  CliProcess cli({"127.0.0.1", std::to_string(echo.Port()), "0", "-file", log}, 0, 0, pipeFds[1], log);
  close(pipeFds[1]);
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  std::string data = RandomBytes(2'000'000, 7);  // its dump alone is some 9 MB of log lines
  std::string back = Echoed(port, data, 15000);
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "the echo came back changed";
  EXPECT_EQ(Echoed(port, "a new client\n", 5000), "a new client\n");

  auto start = std::chrono::steady_clock::now();
  cli.Signal(SIGTERM);
  int code = cli.Wait(5000);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(code, 0);
  EXPECT_LT(took.count(), 1000);
  // The log file was written whole meanwhile: every block, both ways, in full.
  std::string written = ReadWhole(log);
  EXPECT_EQ(LoggedBytes(written, "Client to Server"), 2'000'000 + 13);
  EXPECT_EQ(LoggedBytes(written, "Server to Client"), 2'000'000 + 13);
  EXPECT_NE(written.find("Stopped by user"), std::string::npos);
  close(pipeFds[0]);
  unlink(log.c_str());
}

TEST(BoundedObservers, AFloodOfTwentyClientsKeepsTheRelaySmallAndTheLogFileWhole) {
  EchoServer echo;
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string options = std::string(asan ? asan : "") + ":quarantine_size_mb=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const long limitKb = 256 * 1024;  // the sanitizer's shadow memory (and red zones) come on top
#else
  const long limitKb = 64 * 1024;
#endif
  std::string log = ::testing::TempDir() + "tapline-flood-" + std::to_string(getpid()) + ".txt";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  // A reader that takes the view's output slowly, as a terminal far behind does, until told to hurry.
  std::atomic<bool> hurry{false};
  std::atomic<bool> sawNote{false};
  std::thread reader([&] {
    std::string shown;
    char buf[16384];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) {
      std::size_t from = shown.size() > 32 ? shown.size() - 32 : 0;
      shown.append(buf, static_cast<std::size_t>(n));
      if (shown.find(" lines not shown", from) != std::string::npos) sawNote = true;
      if (shown.size() > (1u << 20)) shown.erase(0, shown.size() - 64);
      if (!hurry) usleep(20000);
    }
  });
  std::vector<std::string> args{"127.0.0.1", std::to_string(echo.Port()), "0", "-file", log};
  {
    CliProcess cli(args, 0, 0, pipeFds[1], log);
    close(pipeFds[1]);
    int port = cli.WaitForPort();
    ASSERT_GT(port, 0);
    constexpr int Clients = 20;
    constexpr std::size_t Size = 1'500'000;
    std::atomic<long> peak{0};
    std::atomic<bool> done{false};
    std::thread sampler([&] {
      while (!done) {
        peak = std::max(peak.load(), cli.ResidentKilobytes());
        usleep(20000);
      }
    });
    std::vector<std::thread> clients;
    std::atomic<int> whole{0};
    for (int i = 0; i < Clients; ++i) {
      clients.emplace_back([&, i] {
        std::string data = TextLines(Size, i);
        if (Echoed(port, data, 60000) == data) ++whole;
      });
    }
    for (auto& t : clients) t.join();
    done = true;
    sampler.join();
    EXPECT_EQ(whole, Clients);
    EXPECT_LT(peak, limitKb);
    // The view skipped what it could not keep up with, and says so once its queue has room again.
    hurry = true;
    for (int i = 0; i < 300 && !sawNote; ++i) usleep(50000);
    EXPECT_TRUE(sawNote) << "no note of the lines skipped";
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(5000), 0);
    std::string written = ReadWhole(log);
    EXPECT_EQ(LoggedBytes(written, "Client to Server"), long{Clients} * long{Size});
    EXPECT_EQ(LoggedBytes(written, "Server to Client"), long{Clients} * long{Size});
  }
  reader.join();
  close(pipeFds[0]);
  unlink(log.c_str());
}

TEST(BoundedObservers, ALogFileThatCannotBeWrittenIsSaidOnceAndTheExitSaysTheFileIsIncomplete) {
  EchoServer echo;
  struct Case {
    const char* name;
    std::string file;
    long sizeLimit;
    const char* reason;
  };
  std::string capped = ::testing::TempDir() + "tapline-capped-" + std::to_string(getpid()) + ".html";
  for (const Case& c : {Case{"a full disk", "/dev/full", 0, "No space left on device"},
                        Case{"a file size limit", capped, 512 * 1024, "File too large"}}) {
    SCOPED_TRACE(c.name);
    // At Low the view (and so standard output, under the same limit) says little; the file gets everything.
    CliProcess cli({"127.0.0.1", std::to_string(echo.Port()), "0", "-file", c.file, "-detail", "Low"}, 0, c.sizeLimit);
    int port = cli.WaitForPort();
    ASSERT_GT(port, 0);
    std::string data = RandomBytes(400'000, 3);
    EXPECT_TRUE(Echoed(port, data, 10000) == data) << "the relay goes on without the file";
    EXPECT_TRUE(cli.WaitForOutput("Could not write log file\n"));
    EXPECT_TRUE(cli.WaitForOutput(std::string(c.reason) + "\n"));
    EXPECT_TRUE(Echoed(port, "still relaying\n", 5000) == "still relaying\n");
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 1);
    EXPECT_EQ(cli.Count("Could not write log file"), 1);
  }
  std::string written = ReadWhole(capped);
  EXPECT_LE(written.size(), 512u * 1024);
  EXPECT_GT(written.size(), 500u * 1024) << "the file stops at the limit, not before";
  unlink(capped.c_str());
}

TEST(BoundedObservers, OneFileNamedForBothTheLogAndTheCaptureIsRefusedAndLeftAlone) {
  std::string dir = ::testing::TempDir();
  std::string file = dir + "tapline-both-" + std::to_string(getpid()) + ".txt";
  std::ofstream(file) << "kept\n";
  std::string sameByAnotherPath = dir + "./" + "tapline-both-" + std::to_string(getpid()) + ".txt";
  CliProcess cli({"127.0.0.1", "9", "0", "-file", file, "-pcap", sameByAnotherPath});
  EXPECT_EQ(cli.Wait(), 2);
  EXPECT_NE(cli.Errors().find("The log file and the capture file must be different files."), std::string::npos)
      << cli.Errors();
  EXPECT_EQ(ReadWhole(file), "kept\n");
  EXPECT_EQ(cli.Output(), "");
  unlink(file.c_str());
}

}  // namespace
}  // namespace tapline::test

namespace tapline::test {
namespace {

TEST(PrivateTrafficFiles, EveryFileThatHoldsTrafficIsCreatedForItsOwnerAloneAndAnExistingOneKeepsItsMode) {
  EchoServer echo;
  std::string base = ::testing::TempDir() + "tapline-private-" + std::to_string(getpid());
  std::string log = base + ".html", capture = base + ".pcapng", json = base + ".jsonl", folder = base + "-split";
  std::string kept = base + "-kept.txt";
  std::ofstream(kept) << "old\n";
  ASSERT_EQ(chmod(kept.c_str(), 0644), 0);
  umask(022);  // what a user's session usually has: without the mode asked for, files would be 0644
  for (const std::vector<std::string>& files :
       {std::vector<std::string>{"-file", log, "-pcap", capture, "-json", json, "-split", folder},
        std::vector<std::string>{"-file", kept}}) {
    std::vector<std::string> args{"127.0.0.1", std::to_string(echo.Port()), "0"};
    args.insert(args.end(), files.begin(), files.end());
    CliProcess cli(args);
    int port = cli.WaitForPort();
    ASSERT_GT(port, 0);
    EXPECT_EQ(Echoed(port, "secret\n", 5000), "secret\n");
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 0);
  }
  auto mode = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
  };
  EXPECT_EQ(mode(log), 0600);
  EXPECT_EQ(mode(capture), 0600);
  EXPECT_EQ(mode(json), 0600);
  int splitFiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    ++splitFiles;
    EXPECT_EQ(mode(entry.path().string()), 0600) << entry.path();
  }
  EXPECT_EQ(splitFiles, 2);
  EXPECT_EQ(mode(kept), 0644) << "a file that exists keeps the mode its owner gave it";
  EXPECT_NE(ReadWhole(kept).find("secret"), std::string::npos);
  for (const std::string& f : {log, capture, json, kept}) unlink(f.c_str());
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tapline::test
