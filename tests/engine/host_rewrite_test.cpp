// The Host line of HTTP requests on their way through the relay, and how the answers are shown.
#include "tests/engine/relay_fixture.h"

namespace tapline::test {
namespace {

using HostRewrite = RelayFixture;

struct RewriteCase {
  const char* name;
  std::string block;     // what the client sends, in one block
  std::string expected;  // what the server must get; "{host}" stands for the substituted line
  bool purple;           // the view shows the substituted line
};

TEST_F(HostRewrite, RequestsGetTheirHostLineAndEverythingElseIsForwardedUnchanged) {
  const RewriteCase cases[] = {
      {"plain request", "GET / HTTP/1.1\r\nHost: example.org\r\nAccept: */*\r\n\r\n",
       "GET / HTTP/1.1\r\n{host}Accept: */*\r\n\r\n", true},
      {"HTTP/1.0, Host last", "GET /x HTTP/1.0\r\nHost: a\r\n", "GET /x HTTP/1.0\r\n{host}", true},
      {"first line exactly 8 characters", "HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1\r\n{host}\r\n", true},
      {"HTTP/1.10 is no request", "GET / HTTP/1.10\r\nHost: a\r\n\r\n", "", false},
      {"lower-case protocol", "GET / http/1.1\r\nHost: a\r\n\r\n", "", false},
      {"a response is no request", "HTTP/1.1 200 OK\r\nHost: a\r\n\r\n", "", false},
      {"proxy request", "GET http://a/ HTTP/1.1\r\nHost: a\r\nProxy-Connection: keep-alive\r\n\r\n", "", false},
      {"proxy line before Host", "GET / HTTP/1.1\r\nProxy-Connection: x\r\nHost: a\r\n\r\n", "", false},
      {"lower-case host", "GET / HTTP/1.1\r\nhost: a\r\n\r\n", "", false},
      {"no blank after the colon", "GET / HTTP/1.1\r\nHost:a\r\n\r\n", "", false},
      {"no Host line", "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n", "", false},
      {"body that is not text", "POST / HTTP/1.1\r\nHost: a\r\n\r\n\x01\x02", "", false},
      {"Host line ending in a bare LF", "GET / HTTP/1.1\r\nHost: a\nAccept: b\r\n\r\n", "", false},
      {"Host line without an ending", "GET / HTTP/1.1\r\nHost: a", "", false},
      {"a header ending like the Host line comes first",
       "GET / HTTP/1.1\r\nX-Forwarded-Host: a\r\nHost: a\r\n\r\n", "GET / HTTP/1.1\r\nX-Forwarded-Host: a\r\n{host}\r\n",
       true},
      {"two pipelined requests: only the first header is touched",
       "GET /1 HTTP/1.1\r\nHost: a\r\n\r\nGET /2 HTTP/1.1\r\nHost: a\r\n\r\n",
       "GET /1 HTTP/1.1\r\n{host}\r\nGET /2 HTTP/1.1\r\nHost: a\r\n\r\n", true},
      {"a body line that starts like a Host line is forwarded unchanged",
       "POST /form HTTP/1.1\r\nHost: a\r\nContent-Length: 9\r\n\r\nHost: b\r\n",
       "POST /form HTTP/1.1\r\n{host}Content-Length: 9\r\n\r\nHost: b\r\n", true},
      {"a Host line only in the body is no Host line",
       "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nHost: b\r\n", "", false},
  };
  for (const RewriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Open o = OpenOne();
    std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    std::string expected = c.expected.empty() ? c.block : c.expected;
    if (auto at = expected.find("{host}"); at != std::string::npos) expected.replace(at, 6, host);
    ASSERT_TRUE(SendAll(o.client, c.block));
    EXPECT_EQ(Receive(o.peer, expected.size(), 3000), expected);
    std::string header = std::to_string(o.n) + ": Client to Server (" + std::to_string(expected.size()) + " bytes" +
                         (c.block.back() != '\n' && c.purple ? ", Incomplete last line" : "");
    ASSERT_TRUE(PumpUntil(loop, [&] {
      for (const ViewLine& l : window.lines) {
        if (l.text.compare(0, header.size(), header) == 0) return true;
      }
      return false;
    })) << header;
    Settle();
    bool shown = false;
    for (const ViewLine& l : window.lines) shown |= l.colour == log::RewrittenHostLine;
    EXPECT_EQ(shown, c.purple);
    window.lines.clear();
    ::close(o.client);
    ::close(o.peer);
    Forget(o.client);
    Forget(o.peer);
    ASSERT_TRUE(WaitGone());
  }
}

TEST_F(HostRewrite, TheViewShowsTheSubstitutedLineInPlaceOfTheOldOne) {
  Open o = OpenOne();
  ASSERT_TRUE(SendAll(o.client, "GET /1 HTTP/1.1\r\nHost: a\r\n\r\nGET /2 HTTP/1.1\r\nHost: a\r\n\r\n"));
  std::string host = "Host: 127.0.0.1:" + std::to_string(port);
  std::string header = std::to_string(o.n) + ": Client to Server (" + std::to_string(56 + host.size() - 7) + " bytes)";
  ASSERT_TRUE(WaitLine(header));
  Settle();
  EXPECT_EQ(DataAfter(header),
            (std::vector<std::string>{"GET /1 HTTP/1.1", "[purple] " + host, "", "GET /2 HTTP/1.1", "Host: a", ""}));
}

TEST_F(HostRewrite, AHostLineThatOutgrowsAFullBufferGetsRoomFirst) {
  Open o = OpenOne();
  // Exactly one full block of 8192 bytes, so the read fills the buffer to its capacity.
  std::string head = "GET / HTTP/1.1\r\nHost: a\r\n";
  std::string filler = "X-Fill: ";
  std::string block = head + filler;
  block += std::string(8192 - block.size() - 4, 'f') + "\r\n\r\n";
  ASSERT_EQ(block.size(), 8192u);
  ASSERT_TRUE(SendAll(o.client, block));
  std::string expected = block;
  expected.replace(16, 9, "Host: 127.0.0.1:" + std::to_string(port) + "\r\n");
  EXPECT_EQ(Receive(o.peer, expected.size(), 3000), expected);
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.ClientToServerTotal == static_cast<std::int64_t>(expected.size()); }));
}

TEST_F(HostRewrite, ARequestSplitOverTwoBlocksIsNotRewritten) {
  Open o = OpenOne();
  std::string n = std::to_string(o.n);
  ASSERT_TRUE(SendAll(o.client, "GET / HTTP/1.1\r\n"));
  ASSERT_TRUE(WaitLine(n + ": Client to Server (16 bytes)"));
  ASSERT_TRUE(SendAll(o.client, "Host: a\r\n\r\n"));
  EXPECT_EQ(Receive(o.peer, 27, 3000), "GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  ASSERT_TRUE(WaitLine(n + ": Client to Server (11 bytes)"));
  EXPECT_EQ(relay.Connections->HttpRequestSeen, 0);
}

TEST_F(HostRewrite, TheAnswerToARequestShowsItsHeaderAsTextAndItsBodyAsDump) {
  Open o = OpenOne();
  std::string n = std::to_string(o.n);
  ASSERT_TRUE(SendAll(o.client, "GET / HTTP/1.1\r\nHost: a\r\n\r\n"));
  Receive(o.peer, 20, 3000);
  std::string answer = std::string("HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n") + std::string("ok\r\n\0\1\2\3", 8);
  ASSERT_TRUE(SendAll(o.peer, answer));
  EXPECT_EQ(Receive(o.client, answer.size(), 3000), answer);
  std::string header = n + ": Server to Client (" + std::to_string(answer.size()) + " bytes)";
  ASSERT_TRUE(WaitLine(header));
  Settle();
  // The dump starts exactly at the body's first byte (offset 0x26), its text line included.
  EXPECT_EQ(DataAfter(header),
            (std::vector<std::string>{"HTTP/1.1 200 OK", "Content-Length: 8", "",
                                      "0026  6F 6B 0D 0A 00 01 02 03                           ok......        "}));
  EXPECT_EQ(relay.Connections->HttpRequestSeen, 0);

  // The next answer is no longer one to a request: all of it is dumped.
  ASSERT_TRUE(SendAll(o.peer, answer));
  EXPECT_EQ(Receive(o.client, answer.size(), 3000), answer);
  ASSERT_TRUE(PumpUntil(loop, [&] { return relay.ServerToClientTotal == 2 * static_cast<std::int64_t>(answer.size()); }));
  Settle();
  std::vector<std::string> all = window.Texts();
  EXPECT_EQ(std::count(all.begin(), all.end(), "HTTP/1.1 200 OK"), 1);
  EXPECT_EQ(all.back().substr(0, 6), "0020  ");
}

TEST_F(HostRewrite, TheFirstBlockDecidesTextOrDumpForTheWholeConnection) {
  Open o = OpenOne();
  std::string n = std::to_string(o.n);
  ASSERT_TRUE(SendAll(o.peer, std::string("\x80greeting\r\n")));
  Receive(o.client, 11, 3000);
  ASSERT_TRUE(WaitLine(n + ": Server to Client (11 bytes)"));
  EXPECT_EQ(relay.Connections->TextMode, 0);
  ASSERT_TRUE(SendAll(o.client, "GET / HTTP/1.1\r\nHost: a\r\n\r\n"));
  EXPECT_EQ(Receive(o.peer, 27, 3000), "GET / HTTP/1.1\r\nHost: a\r\n\r\n") << "no rewrite in hex mode";
  std::string header = n + ": Client to Server (27 bytes)";
  ASSERT_TRUE(WaitLine(header));
  Settle();
  std::vector<std::string> data = DataAfter(header);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0], "0000  47 45 54 20 2F 20 48 54  54 50 2F 31 2E 31 0D 0A  GET / HTTP/1.1..");
}

TEST_F(HostRewrite, HexOnlyDumpsEveryBlockOfConnectionsAcceptedWhileSet) {
  relay.HexOnly = 1;
  Open o = OpenOne();
  relay.HexOnly = 0;  // later changes do not reach existing connections
  std::string n = std::to_string(o.n);
  ASSERT_TRUE(SendAll(o.client, "hello\r\n"));
  Receive(o.peer, 7, 3000);
  std::string header = n + ": Client to Server (7 bytes)";
  ASSERT_TRUE(WaitLine(header));
  Settle();
  EXPECT_EQ(DataAfter(header),
            (std::vector<std::string>{"0000  68 65 6C 6C 6F 0D 0A                              hello..         "}));
}

}  // namespace
}  // namespace tapline::test
