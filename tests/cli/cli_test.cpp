// tapline-cli as a user runs it: exit codes and messages, stopping with a signal, and real transfers
// whose bytes must arrive unchanged.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/cli/cli_process.h"
#include "tests/cli/one_shot_server.h"
#include "tests/support/loopback.h"

namespace tapline::test {
namespace {

TEST(CliErrors, UsageAndFieldErrorsExitTwoNamingTheArgumentAndNoLogLine) {
  // A usage error says what is wrong with which argument on a line of its own, then the usage.
  const std::string usage = "\nUsage: tapline-cli <remote host> <remote port> <local port> [-file <log file>] ";
  struct Case {
    std::vector<std::string> args;
    std::string start;  // what standard error begins with
  } cases[] = {
      {{}, "Missing <remote host> <remote port> <local port>" + usage},
      {{"host"}, "Missing <remote port> <local port>" + usage},
      {{"host", "80"}, "Missing <local port>" + usage},
      {{"host", "80", "0", "-foo"}, "Unknown option -foo" + usage},
      {{"host", "80", "0", "--file", "x"}, "Unknown option --file" + usage},
      {{"host", "80", "0", "-file", "x", "y"}, "Unexpected argument y" + usage},
      {{"host", "80", "0", "-bind"}, "-bind needs an address" + usage},
      {{"host", "80", "0", "-file"}, "-file needs a file name" + usage},
      {{"host", "80", "0", "-pcap"}, "-pcap needs a file name" + usage},
      {{"host", "80", "0", "-tls-key"}, "-tls-key needs a file name" + usage},
      {{"host", "80", "0", "-size", "64KB"}, "-size needs one of 32KB, 128KB, 512KB, 2MB, Unlimited (got 64KB)" + usage},
      {{"host", "80", "0", "-detail", "high"}, "-detail needs one of Low, Medium, High (got high)" + usage},
      {{"host", "80", "0", "-detail"}, "-detail needs one of Low, Medium, High" + usage},
      {{"host", "80", "0", "-detail", "Low\nUsage: forged"}, "-detail needs one of Low, Medium, High (got Low?Usage: forged)" + usage},
      {{"host", "80", "0", "-connect-timeout", "-1"},
       "-connect-timeout needs a number of seconds from 0 to 3600 (got -1)" + usage},
      {{"host", "80", "0", "-connect-timeout", "3601"},
       "-connect-timeout needs a number of seconds from 0 to 3600 (got 3601)" + usage},
      {{"host", "80", "0", "-bind", "not an address!"}, "Listen Address must be an IP address or host name.\n"},
      {{"host", "80", "0", "-bind", "[::1"}, "Listen Address must be an IP address or host name.\n"},
      {{"", "80", "0"}, "Remote Host required.\n"},
      {{"host", "99999", "0"}, "Remote Port must be a number from 1 to 65535.\n"},
      {{"host", "80", "-1"}, "Local Port must be a number from 0 to 65535.\n"},
      {{"127.0.0.1", "18080", "70000"}, "Local Port must be a number from 0 to 65535.\n"},
      {{"host", "80", "0", "-file", "/no/such/dir/x.txt"},
       "Could not create log file /no/such/dir/x.txt: No such file or directory.\n"},
      {{"host", "80", "0", "-pcap", "/no/such/dir/x.pcapng"},
       "Could not create capture file /no/such/dir/x.pcapng: No such file or directory.\n"},
      {{"host", "80", "0", "-pcap", "/tmp"}, "Could not create capture file /tmp: Is a directory.\n"},
      {{"host", "80", "0", "-split", "/proc/no/folder"}, "Could not create split folder /proc/no/folder: "},
      {{"host", "80", "0", "-json", "/no/such/dir/x.jsonl"},
       "Could not create JSON file /no/such/dir/x.jsonl: No such file or directory.\n"},
  };
  for (const Case& c : cases) {
    CliProcess cli(c.args);
    EXPECT_EQ(cli.Wait(), 2);
    EXPECT_EQ(cli.Errors().rfind(c.start, 0), 0u) << cli.Errors();
    EXPECT_EQ(cli.Output(), "");
  }
  // The usage ends the message, with the full stop of a message box.
  CliProcess last({"host", "80", "0", "-foo"});
  EXPECT_EQ(last.Wait(), 2);
  EXPECT_TRUE(last.Errors().ends_with(" [-connect-timeout <seconds>].\n")) << last.Errors();
}

std::string ReadText(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::string text;
  if (f == nullptr) return text;
  char chunk[8192];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  std::fclose(f);
  return text;
}

// `word` stands alone in `text`: no letter, digit or hyphen right before or after it.
bool HasWord(const std::string& text, const std::string& word) {
  auto part = [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) != 0 || ch == '-'; };
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const std::size_t end = at + word.size();
    if ((at == 0 || !part(text[at - 1])) && (end == text.size() || !part(text[end]))) return true;
  }
  return false;
}

TEST(CliHelp, EveryOptionOfHelpIsInBothManPagesAndTheHelpPage) {
  CliProcess cli({"--help"});
  ASSERT_EQ(cli.Wait(), 0);
  // The options are the words that begin the lines of the option column ("  -file <log file> ...").
  std::vector<std::string> options;
  const std::string help = cli.Output().substr(0, cli.Output().find("\nExit status:"));
  for (std::size_t at = 0; (at = help.find("\n  -", at)) != std::string::npos;) {
    at += 3;
    for (;;) {  // "-h, --help": names joined by ", "
      const std::size_t end = help.find_first_of(" ,\n", at);
      options.push_back(help.substr(at, end - at));
      if (help.compare(end, 3, ", -") != 0) break;
      at = end + 2;
    }
  }
  ASSERT_EQ(options.size(), 20u) << help;
  const std::string resources = std::string(TAPLINE_TESTS_DIR) + "/../../resources/";
  for (const char* page : {"man/tapline.1", "man/tapline-cli.1", "help/tapline.html"}) {
    std::string text = ReadText(resources + page);
    ASSERT_FALSE(text.empty()) << page;
    for (std::size_t at; (at = text.find("\\-")) != std::string::npos;) text.erase(at, 1);  // roff's "\-"
    for (const std::string& option : options) EXPECT_TRUE(HasWord(text, option)) << option << " is not in " << page;
  }
  // What -size does here, said alike in --help and the man page.
  EXPECT_NE(help.find("-size 32KB|128KB|512KB|2MB|Unlimited\n                         accepted for the window's sake"),
            std::string::npos)
      << help;
}

TEST(CliErrors, LocalPortInUseEndsByItselfWithExitOne) {
  std::uint16_t busy = 0;
  int listener = ListenLoopback(busy);
  CliProcess cli({"127.0.0.1", "80", std::to_string(busy)});
  EXPECT_EQ(cli.Wait(), 1);
  std::string out = cli.Output();
  EXPECT_NE(out.find("; Could not open Local Port\n"), std::string::npos) << out;
  EXPECT_NE(out.find("; Address already in use\n"), std::string::npos) << out;
  close(listener);
}

TEST(CliStop, SigintStopsTheRelayAndExitsZeroAfterTheLastLines) {
  CliProcess cli({"127.0.0.1", "9", "0"});
  ASSERT_GT(cli.WaitForPort(), 0);
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(), 0);
  std::string out = cli.Output();
  auto stopped = out.find("; Stopped by user\n");
  ASSERT_NE(stopped, std::string::npos) << out;
  EXPECT_NE(out.find("; Local Port closed\n", stopped), std::string::npos) << out;
}

TEST(CliStop, SighupStopsTheRelayAsSigintDoes) {
  CliProcess cli({"127.0.0.1", "9", "0"});
  ASSERT_GT(cli.WaitForPort(), 0);
  cli.Signal(SIGHUP);
  EXPECT_EQ(cli.Wait(), 0);
  EXPECT_NE(cli.Output().find("; Stopped by user\n"), std::string::npos) << cli.Output();
}


TEST(CliTransfer, HundredMegabytesEachWayArriveUnchanged) {
  const std::size_t size = 100u << 20;
  std::string up = RandomBytes(size, 1), down = RandomBytes(size, 2);
  std::string serverGot, clientGot;
  OneShotServer server([&](int c) {
    std::thread reader([&] { serverGot = ReceiveAll(c, 60000); });
    SendAll(c, down);
    shutdown(c, SHUT_WR);
    reader.join();
    close(c);
  });
  CliProcess cli({"127.0.0.1", std::to_string(server.Port()), "0", "-detail", "Low"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  auto started = std::chrono::steady_clock::now();
  int client = ConnectLoopback(static_cast<std::uint16_t>(port));
  ASSERT_GE(client, 0);
  std::thread reader([&] { clientGot = ReceiveAll(client, 60000); });
  SendAll(client, up);
  shutdown(client, SHUT_WR);
  reader.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  close(client);
  server.Join();
  EXPECT_EQ(serverGot.size(), up.size()) << cli.Output().substr(0, 3000);
  EXPECT_EQ(Sha256(serverGot), Sha256(up));
  EXPECT_EQ(Sha256(clientGot), Sha256(down));
  std::printf("[ figures  ] 2 x 100 MB through tapline-cli in %.2f s: %.1f MB/s each way\n", seconds,
              100.0 / seconds);
  cli.Signal(SIGTERM);
  EXPECT_EQ(cli.Wait(), 0);
  std::string out = cli.Output();
  EXPECT_NE(out.find(": Client disconnected\n"), std::string::npos);
  EXPECT_NE(out.find(": Server disconnected\n"), std::string::npos);
  EXPECT_NE(out.find(": Disconnected from Client\n"), std::string::npos);
}

TEST(CliTransfer, FastServerThatClosesAtOnceReachesASlowClientWhole) {
  // Well above what the sockets on the way can hold, so most of it waits in the relay. (Under
  // AddressSanitizer every growth of that backlog maps and touches a fresh block: the cost rises with
  // the square of the size, 18 s for 50 MB.)
  const std::size_t size = 24u << 20;
  std::string answer = RandomBytes(size, 3);
  OneShotServer server([&](int c) {
    SendAll(c, answer);
    close(c);  // answers and goes at once
  });
  CliProcess cli({"127.0.0.1", std::to_string(server.Port()), "0", "-detail", "Low"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  int client = ConnectLoopback(static_cast<std::uint16_t>(port));
  ASSERT_GE(client, 0);
  // Read slowly at first, so that the server is long gone while most of the answer still waits.
  std::string got;
  char buf[16384];
  for (int i = 0; i < 40; ++i) {
    ssize_t n = recv(client, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Behind the relay's mark the server is held back by TCP, so its end is seen once the client catches up.
  got += ReceiveAll(client, 30000);
  close(client);
  EXPECT_TRUE(cli.WaitForOutput(": Server disconnected\n", 30000)) << "the server's end was passed on";
  EXPECT_EQ(got.size(), size);
  EXPECT_EQ(Sha256(got), Sha256(answer));
  EXPECT_TRUE(cli.WaitForOutput(": Disconnected from Client\n"));
}

TEST(CliTransfer, ClientThatHalfClosesAfterItsRequestStillGetsTheWholeAnswer) {
  std::string request = "GET /file HTTP/1.0\r\n\r\n";
  std::string answer = "HTTP/1.0 200 OK\r\n\r\n" + std::string(300000, 'a');
  std::string serverGot;
  OneShotServer server([&](int c) {
    serverGot = ReceiveAll(c, 10000);  // until the client's end arrives
    SendAll(c, answer);
    close(c);
  });
  CliProcess cli({"127.0.0.1", std::to_string(server.Port()), "0"});
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  int client = ConnectLoopback(static_cast<std::uint16_t>(port));
  SendAll(client, request);
  shutdown(client, SHUT_WR);
  std::string got = ReceiveAll(client, 10000);
  close(client);
  server.Join();
  EXPECT_EQ(serverGot, request);
  EXPECT_EQ(got, answer);
}

TEST(CliHardening, RunningOutOfDescriptorsNeitherSpinsNorFloodsAndRecovers) {
  std::uint16_t serverPort = 0;
  int listener = ListenLoopback(serverPort, 64);
  // Room for the relay's own descriptors and two connections: the third client finds none left.
  std::vector<std::string> args = {"127.0.0.1", std::to_string(serverPort), "0", "-detail", "Low"};
  int idle;
  {
    CliProcess probe(args);
    ASSERT_GT(probe.WaitForPort(), 0);
    idle = probe.HighestDescriptor();
    ASSERT_GT(idle, 2);
  }
  CliProcess cli(args, idle + 1 + 4);
  int port = cli.WaitForPort();
  ASSERT_GT(port, 0);
  std::vector<int> clients, peers;
  for (int i = 0; i < 2; ++i) {
    clients.push_back(ConnectLoopback(static_cast<std::uint16_t>(port)));
    peers.push_back(AcceptWithin(listener, 5000));
    ASSERT_GE(peers.back(), 0) << cli.Output();
  }
  ASSERT_TRUE(cli.WaitForOutput(": Connected to Server\n"));
  for (int i = 0; i < 3; ++i) clients.push_back(ConnectLoopback(static_cast<std::uint16_t>(port)));
  ASSERT_TRUE(cli.WaitForOutput("; Too many open files\n")) << cli.Output();
  long before = cli.CpuTicks();
  usleep(1000000);
  long used = cli.CpuTicks() - before;
  EXPECT_LT(used, 30) << "a second of waiting for descriptors must not keep the processor busy";
  EXPECT_EQ(cli.Count("; Too many open files\n"), 1) << "one report per shortage";
  EXPECT_EQ(cli.Count("; Could not accept connection from Client\n"), 1);

  // Ending the first two connections frees descriptors; the waiting clients are taken in.
  for (int i = 0; i < 2; ++i) {
    close(clients[i]);
    close(peers[i]);
  }
  for (int i = 0; i < 2; ++i) {
    int peer = AcceptWithin(listener, 5000);
    EXPECT_GE(peer, 0) << "waiting client " << i << " reached the server";
    peers.push_back(peer);
  }
  for (int i = 0; i < 200 && cli.Count(": Client connected; ") < 4; ++i) usleep(10000);
  EXPECT_EQ(cli.Count(": Client connected; "), 4);
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(), 0);
  for (std::size_t i = 2; i < clients.size(); ++i) close(clients[i]);
  for (std::size_t i = 2; i < peers.size(); ++i) close(peers[i]);
  close(listener);
}

}  // namespace
}  // namespace tapline::test
