#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "log/text_lines.h"
#include "log/traffic_log.h"
#include "platform/event_loop.h"
#include "platform/heap.h"

namespace tapline::log {
namespace {

namespace fs = std::filesystem;

// Records every insertion the display queue makes.
class CapturingView : public LogView {
 public:
  struct Insertion {
    std::string text;
    Colour colour;
  };
  std::vector<Insertion> insertions;

  std::int32_t BufferSize() const override { return -1; }
  std::int64_t TextLength() const override { return length_; }
  void DeleteFirstLine() override {}
  void InsertAtEnd(const char* text, std::size_t length, Colour colour) override {
    EXPECT_EQ(text[length], '\0') << "inserted text is not NUL-terminated";
    insertions.push_back({std::string(text, length), colour});
    length_ += static_cast<std::int64_t>(length);
  }
  void ScrollToEnd() override {}

 private:
  std::int64_t length_ = 0;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tapline-render-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Time stamps depend on the locale's date format; tests compare them as "<T>; ". A stamp is the date
// (anything from the line's or tag's start), a blank, and "hh:mm:ss.047; " from the fixed clock.
std::string MaskStamps(const std::string& text) {
  static constexpr char kTimeShape[] = "99:99:99.047; ";  // 9 = any digit
  constexpr std::size_t kTimeLength = sizeof kTimeShape - 1;
  auto timeAt = [&](std::size_t at) {
    if (at + kTimeLength > text.size()) return false;
    for (std::size_t k = 0; k < kTimeLength; ++k) {
      char c = text[at + k];
      bool ok = kTimeShape[k] == '9' ? (c >= '0' && c <= '9') : c == kTimeShape[k];
      if (!ok) return false;
    }
    return true;
  };
  std::string out;
  std::size_t lineStart = 0;  // in `out`: where the current line (or the text after a tag) begins
  for (std::size_t i = 0; i < text.size();) {
    if (i > 0 && text[i - 1] == ' ' && timeAt(i)) {
      out.erase(lineStart);
      out += "<T>; ";
      i += kTimeLength;
      continue;
    }
    out += text[i];
    if (text[i] == '\n' || text[i] == '>') lineStart = out.size();
    ++i;
  }
  return out;
}

std::chrono::system_clock::time_point FixedClock() {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(1796621071047));
}

std::string Blanks(std::size_t n) { return std::string(n, ' '); }


// The dump line of the three bytes 00 41 FF at offset 0.
const std::string kThreeByteLine = "0000  00 41 FF" + Blanks(15) + " " + Blanks(24) + "  .A." + Blanks(13);

class RenderTest : public ::testing::Test {
 protected:
  RenderTest() { log_.SetClock(&FixedClock); }

  void Drain() {
    while (log_.DrainOneBatch()) {
    }
  }

  // Every line the view received, time stamps masked, with the colour of its insertion.
  std::vector<std::string> ViewLines() const {
    std::vector<std::string> lines;
    for (const auto& insertion : view_.insertions) {
      std::string masked = MaskStamps(insertion.text);
      std::size_t from = 0;
      while (from < masked.size()) {
        std::size_t end = masked.find("\r\n", from);
        EXPECT_NE(end, std::string::npos) << "insertion does not end in CR LF";
        if (end == std::string::npos) break;
        lines.push_back(masked.substr(from, end - from));
        from = end + 2;
      }
    }
    return lines;
  }

  // Classifies `block` as the relay path does and hands it to the log as a traffic event.
  void LogBlock(std::int32_t socket, const std::string& block, const char* direction, bool asText = true) {
    bool incomplete = false;
    std::int32_t textBytes = 0;
    if (asText) {
      textBytes = ScanTextLines(block.data(), static_cast<std::int32_t>(block.size()), incomplete);
      if (textBytes != static_cast<std::int32_t>(block.size())) incomplete = false;
    }
    LogEvent(socket, block, direction, textBytes, incomplete);
  }
  void LogEvent(std::int32_t socket, const std::string& block, const char* direction, std::int32_t textBytes,
                bool incomplete, std::int32_t hostLine = -1) {
    DataRead event{socket,
                   std::string(direction) == "Client to Server" ? Direction::ClientToServer : Direction::ServerToClient,
                   block.data(),
                   static_cast<std::int32_t>(block.size()),
                   log_.Now(),
                   textBytes,
                   incomplete,
                   hostLine,
                   hostLine >= 0 ? 12 : 0};
    log_.Data(event);
  }

  platform::Heap heap_;
  platform::EventLoop loop_;  // before the log: the log's destructor waits for its workers through it
  CapturingView view_;
  TrafficLog log_{heap_, loop_};
};

// --- Detail levels ---

struct DetailCase {
  const char* name;
  std::uint32_t detail;
  std::vector<std::string> viewLines;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const DetailCase& c, std::ostream* os) { *os << c.name; }

const std::vector<std::string> kAllLines = {
    "<T>; 7: Client to Server (18 bytes)",
    "GET / HTTP/1.0",
    "",
    "<T>; 7: Server to Client (3 bytes)",
    kThreeByteLine,
    "<T>; 7: Client to Server (17 bytes, Incomplete last line)",
    "GET / HTTP/1.0",
    "X",
};

const DetailCase kDetailCases[] = {
    {"Low", 0, {}},
    {"Medium", 1,
     {"<T>; 7: Client to Server (18 bytes)", "<T>; 7: Server to Client (3 bytes)",
      "<T>; 7: Client to Server (17 bytes, Incomplete last line)"}},
    {"High", 2, kAllLines},
    {"AboveHigh", 3, kAllLines},
};

class DetailLevelTest : public RenderTest, public ::testing::WithParamInterface<DetailCase> {
 protected:
  TempDir dir_;
};

TEST_P(DetailLevelTest, ViewShowsByLevelAndFileGetsEverything) {
  std::string path = dir_.File("log.txt");
  ASSERT_TRUE(log_.File.Create(path));
  log_.DetailLevel = GetParam().detail;
  log_.CreateProcessor(view_);

  LogBlock(7, "GET / HTTP/1.0\r\n\r\n", "Client to Server");
  LogBlock(7, std::string("\x00\x41\xFF", 3), "Server to Client", false);
  LogBlock(7, "GET / HTTP/1.0\r\nX", "Client to Server");
  Drain();
  log_.File.Close();

  EXPECT_EQ(ViewLines(), GetParam().viewLines);
  std::string expectedFile;
  for (const std::string& line : kAllLines) expectedFile += line + "\r\n";
  EXPECT_EQ(MaskStamps(ReadFile(path)), expectedFile);
}

INSTANTIATE_TEST_SUITE_P(Levels, DetailLevelTest, ::testing::ValuesIn(kDetailCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- What a block sends where ---

TEST_F(RenderTest, HeaderIsNavyAndDataLinesHaveTheColourOfTheirDirection) {
  log_.CreateProcessor(view_);
  LogBlock(1234, "GET / HTTP/1.0\r\n\r\n", "Client to Server");
  LogBlock(1234, std::string("\x01\x02", 2), "Server to Client", false);
  Drain();
  ASSERT_EQ(view_.insertions.size(), 4u);
  EXPECT_EQ(view_.insertions[0].colour, MessageLine);
  EXPECT_EQ(MaskStamps(view_.insertions[0].text), "<T>; 1234: Client to Server (18 bytes)\r\n");
  EXPECT_EQ(view_.insertions[1].colour, ClientDataLine);
  EXPECT_EQ(view_.insertions[1].text, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(view_.insertions[2].colour, MessageLine);
  EXPECT_EQ(view_.insertions[3].colour, ServerDataLine) << "a dump has its direction's colour too";
  EXPECT_EQ(view_.insertions[3].text.substr(0, 11), "0000  01 02");
}

TEST_F(RenderTest, OneByteBlockIsCountedInTheSingular) {
  log_.CreateProcessor(view_);
  LogBlock(9, "x", "Client to Server", false);
  LogBlock(9, "xy", "Server to Client", false);
  Drain();
  std::vector<std::string> lines = ViewLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "<T>; 9: Client to Server (1 byte)");
  EXPECT_EQ(lines[2], "<T>; 9: Server to Client (2 bytes)");
}

TEST_F(RenderTest, LeadingTextLinesThenDumpNumberedFromTheirEnd) {
  log_.CreateProcessor(view_);
  // A response header kept as text, followed by a body that is not.
  std::string block = std::string("HTTP/1.0 200 OK\r\n\r\n") + std::string("\x01\x02", 2);
  bool incomplete = true;
  std::int32_t textBytes = ScanTextLines(block.data(), static_cast<std::int32_t>(block.size()), incomplete);
  ASSERT_EQ(textBytes, 19);
  LogEvent(5, block, "Server to Client", textBytes, false);
  Drain();
  EXPECT_EQ(ViewLines(), (std::vector<std::string>{
                             "<T>; 5: Server to Client (21 bytes)",
                             "HTTP/1.0 200 OK",
                             "",
                             "0013  01 02" + Blanks(18) + " " + Blanks(24) + "  .." + Blanks(14),
                         }));
}

TEST_F(RenderTest, RewrittenHostLineKeepsItsColourInTheView) {
  log_.CreateProcessor(view_);
  LogEvent(3, "GET / HTTP/1.0\r\nHost: h:80\r\n\r\n", "Client to Server", 30, false, 16);
  Drain();
  ASSERT_EQ(view_.insertions.size(), 4u);
  EXPECT_EQ(view_.insertions[2].text, "Host: h:80\r\n");
  EXPECT_EQ(view_.insertions[2].colour, RewrittenHostLine);
}

// --- The dump as one record ---

TEST_F(RenderTest, DumpIsOneRecordOf74CharactersPerLine) {
  log_.CreateProcessor(view_);
  std::string block(40, '\x90');
  ASSERT_TRUE(log_.LogHexDump(block.data(), 40, 5));  // lines at 5, 21 and 37
  // With merging impossible, separate line records would reach the view one by one.
  heap_.SetFailing(true);
  Drain();
  heap_.SetFailing(false);
  ASSERT_EQ(view_.insertions.size(), 1u);
  EXPECT_EQ(view_.insertions[0].colour, DataLine);
  std::string row = " 90 90 90 90 90 90 90 90  90 90 90 90 90 90 90 90  ................\r\n";
  EXPECT_EQ(view_.insertions[0].text,
            "0005 " + row + "0015 " + row + "0025  90 90 90" + Blanks(15) + " " + Blanks(24) + "  ..." + Blanks(13) +
                "\r\n");
}

struct LineCountCase {
  const char* name;
  std::int32_t length;
  std::int32_t start;
  std::size_t lines;
};

void PrintTo(const LineCountCase& c, std::ostream* os) { *os << c.name; }

class DumpLineCountTest : public RenderTest, public ::testing::WithParamInterface<LineCountCase> {};

TEST_P(DumpLineCountTest, OneLinePerSixteenBytesFromTheStart) {
  log_.CreateProcessor(view_);
  std::string block(static_cast<std::size_t>(GetParam().length), 'a');
  ASSERT_TRUE(log_.LogHexDump(block.data(), GetParam().length, GetParam().start));
  Drain();
  std::size_t lines = 0;
  for (const auto& insertion : view_.insertions) {
    EXPECT_EQ(insertion.text.size() % 74, 0u);
    lines += insertion.text.size() / 74;
  }
  EXPECT_EQ(lines, GetParam().lines);
  for (const std::string& line : ViewLines()) EXPECT_EQ(line.size(), 72u) << line;
}

const LineCountCase kLineCountCases[] = {
    {"OneByte", 1, 0, 1},          {"SixteenBytes", 16, 0, 1},      {"SeventeenBytes", 17, 0, 2},
    {"ThirtyTwoBytes", 32, 0, 2},  {"StartInsideALine", 17, 1, 1},  {"StartAtLastByte", 17, 16, 1},
    {"StartAtEnd", 17, 17, 0},     {"LongBlock", 4096, 100, 250},
};

INSTANTIATE_TEST_SUITE_P(Cases, DumpLineCountTest, ::testing::ValuesIn(kLineCountCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RenderTest, DumpDrainsTheQueueBeforeFallingBack) {
  heap_.SetDrainHook([this] { return log_.DrainOneBatch(); });
  log_.CreateProcessor(view_);
  log_.LogMessage("queued before the dump");
  heap_.FailNext(1);  // the dump's record, first try
  ASSERT_TRUE(log_.LogHexDump("\x00\x41\xFF", 3, 0));
  // The drain showed the queued line; the retried allocation then made the dump's single record.
  ASSERT_EQ(view_.insertions.size(), 1u);
  EXPECT_EQ(MaskStamps(view_.insertions[0].text), "<T>; queued before the dump\r\n");
  heap_.SetFailing(true);
  Drain();
  heap_.SetFailing(false);
  ASSERT_EQ(view_.insertions.size(), 2u);
  EXPECT_EQ(view_.insertions[1].text, kThreeByteLine + "\r\n");
}

// --- The dump line by line when memory is short ---

class DumpFallbackTest : public RenderTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.File.Create(dir_.File("log.txt")));
    log_.CreateProcessor(view_);
  }
  std::string FileText() {
    log_.File.Close();
    return ReadFile(dir_.File("log.txt"));
  }
  TempDir dir_;
  std::string block_ = std::string(32, 'a') + "bc";  // three lines
  std::string lineA_ = "0000  61 61 61 61 61 61 61 61  61 61 61 61 61 61 61 61  aaaaaaaaaaaaaaaa";
  std::string lineB_ = "0010  61 61 61 61 61 61 61 61  61 61 61 61 61 61 61 61  aaaaaaaaaaaaaaaa";
  std::string lineC_ = "0020  62 63" + Blanks(18) + " " + Blanks(24) + "  bc" + Blanks(14);
};

TEST_F(DumpFallbackTest, EachLineBecomesItsOwnRecord) {
  heap_.FailNext(1);  // the dump's record; no drain hook, so it is final
  ASSERT_TRUE(log_.LogHexDump(block_.data(), 34, 0));
  heap_.SetFailing(true);  // no merging: every record is an insertion of its own
  Drain();
  heap_.SetFailing(false);
  ASSERT_EQ(view_.insertions.size(), 3u);
  EXPECT_EQ(view_.insertions[0].text, lineA_ + "\r\n");
  EXPECT_EQ(view_.insertions[1].text, lineB_ + "\r\n");
  EXPECT_EQ(view_.insertions[2].text, lineC_ + "\r\n");
  for (const auto& insertion : view_.insertions) EXPECT_EQ(insertion.colour, DataLine);
  EXPECT_EQ(FileText(), lineA_ + "\r\n" + lineB_ + "\r\n" + lineC_ + "\r\n");
}

TEST_F(DumpFallbackTest, AFailedLineAbandonsTheRest) {
  heap_.FailNext(2);  // the dump's record, then the first line's record
  EXPECT_FALSE(log_.LogHexDump(block_.data(), 34, 0));
  Drain();
  EXPECT_TRUE(view_.insertions.empty());
  // The failed line reached the file before its record was refused; the rest went nowhere.
  EXPECT_EQ(FileText(), lineA_ + "\r\n");
}

TEST_F(DumpFallbackTest, BelowHighTheLinesGoToTheFileOnly) {
  log_.DetailLevel = 1;
  heap_.FailNext(1);
  ASSERT_TRUE(log_.LogHexDump(block_.data(), 34, 0));
  Drain();
  EXPECT_TRUE(view_.insertions.empty());
  EXPECT_EQ(FileText(), lineA_ + "\r\n" + lineB_ + "\r\n" + lineC_ + "\r\n");
}

TEST_F(RenderTest, NoDumpWorkWhenNobodyWouldSeeIt) {
  log_.DetailLevel = 1;  // below High, and no log file
  log_.CreateProcessor(view_);
  heap_.FailNext(1);     // would be used up by any allocation
  EXPECT_TRUE(log_.LogHexDump("\x01\x02\x03", 3, 0));
  EXPECT_EQ(heap_.Failures(), 0);
  Drain();
  EXPECT_TRUE(view_.insertions.empty());
}

// --- The HTML file of a short run ---

TEST_F(RenderTest, HtmlFileOfAMessageAndARequest) {
  TempDir dir;
  std::string path = dir.File("run.htm");
  ASSERT_TRUE(log_.File.Create(path));
  log_.CreateProcessor(view_);
  log_.LogMessage("Resolving Remote Host");
  LogBlock(1234, "GET / HTTP/1.0\r\n\r\n", "Client to Server");
  log_.File.Close();

  std::string contents = MaskStamps(ReadFile(path));
  std::size_t bodyStart = contents.find("<body>\r\n");
  ASSERT_NE(bodyStart, std::string::npos);
  EXPECT_EQ(contents.substr(bodyStart + 8),
            "<span class=\"tsmsg\"><T>; Resolving Remote Host\r\n"
            "<T>; 1234: Client to Server (18 bytes)\r\n"
            "</span><span class=\"tsclient\">GET / HTTP/1.0\r\n"
            "\r\n"
            "</span>\r\n"
            "</body>\r\n"
            "</html>\r\n");
}

TEST_F(RenderTest, HtmlFileWritesTheRewrittenHostLineInItsColour) {
  TempDir dir;
  std::string path = dir.File("run.html");
  ASSERT_TRUE(log_.File.Create(path));
  log_.CreateProcessor(view_);
  LogEvent(3, "GET / HTTP/1.0\r\nHost: h:80\r\n", "Client to Server", 28, false, 16);
  log_.LogHexDump("<&>  ", 5, 0);
  log_.File.Close();

  std::string contents = MaskStamps(ReadFile(path));
  std::size_t bodyStart = contents.find("<body>\r\n");
  ASSERT_NE(bodyStart, std::string::npos);
  // Blanks stay blanks: 36 after the byte columns, 13 after the three characters.
  std::string dump = "0000  3C 26 3E 20 20" + std::string(36, ' ') + "&lt;&amp;&gt;" + std::string(13, ' ');
  EXPECT_EQ(contents.substr(bodyStart + 8),
            "<span class=\"tsmsg\"><T>; 3: Client to Server (28 bytes)\r\n"
            "</span><span class=\"tsclient\">GET / HTTP/1.0\r\n"
            "</span><span class=\"tshost\">Host: h:80\r\n"
            "</span><span class=\"tsdata\">" +
                dump + "\r\n</span>\r\n</body>\r\n</html>\r\n");
}

// --- The time stamp and socket number before a line ---

TEST_F(RenderTest, AConnectionsLineCarriesItsSocketNumberAfterTheStamp) {
  log_.CreateProcessor(view_);
  log_.LogMessage(1234, "Client connected");
  log_.LogInform("Stopped by user");
  Drain();
  EXPECT_EQ(ViewLines(), (std::vector<std::string>{"<T>; 1234: Client connected", "<T>; Stopped by user"}));
}

std::chrono::system_clock::time_point FiveMillisecondsPast() {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(1796621071005));
}

TEST_F(RenderTest, MillisecondsBelowAHundredKeepTheirLeadingZeros) {
  log_.SetClock(&FiveMillisecondsPast);
  log_.CreateProcessor(view_);
  log_.LogMessage(7, "x");
  Drain();
  ASSERT_EQ(view_.insertions.size(), 1u);
  const std::string& text = view_.insertions[0].text;
  const std::string tail = ":31.005; 7: x\r\n";  // the clock's second is 31 in every time zone
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

}  // namespace
}  // namespace tapline::log
