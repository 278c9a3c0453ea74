#include "log/log_file.h"
#include "log/hex_dump.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tapline::log {
namespace {

namespace fs = std::filesystem;

const char kHtmlHeader[] =
    "<!DOCTYPE html>\r\n"
    "<html>\r\n"
    "<head>\r\n"
    "  <meta charset=\"utf-8\">\r\n"
    "  <meta name=\"Generator\" content=\"Tapline\">\r\n"
    "  <title>Tapline Log File</title>\r\n"
    "  <style type=\"text/css\">\r\n"
    "    <!--\r\n"
    "    span {font-size: 10pt; font-family: \"Courier New\", Courier, monospace; white-space: pre-wrap}\r\n"
    "    span.tserror {color: red}\r\n"
    "    span.tsmsg {color: navy}\r\n"
    "    span.tsdata {color: black}\r\n"
    "    span.tsinform {color: maroon}\r\n"
    "    span.tsclient {color: darkgreen}\r\n"
    "    span.tsserver {color: teal}\r\n"
    "    span.tshost {color: purple}\r\n"
    "    body {background: white; margin-top: 0; margin-right: 0; margin-left: 0; margin-bottom: 0}\r\n"
    "    -->\r\n"
    "  </style>\r\n"
    "</head>\r\n"
    "<body>\r\n";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tapline-log-XXXXXX").string();
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

// --- File name kinds ---

struct NameCase {
  const char* name;
  bool html;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class HtmlFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(HtmlFileNameTest, ClassifiesByTheLastComponentsExtension) {
  EXPECT_EQ(IsHtmlFileName(GetParam().name), GetParam().html) << GetParam().name;
}

const NameCase kNameCases[] = {
    // HTML, in any case.
    {"LOG.HTM", true},
    {"log.Html", true},
    {"x.html", true},
    {"log.hTm", true},
    {"/tmp/run/trace.htm", true},
    {"C:\\Logs\\trace.HTML", true},
    {"dir.txt/file.htm", true},
    {"./a.b.html", true},
    {".htm", true},  // the whole name is the extension: still an HTML name
    // Plain text.
    {"log.txt", false},
    {"log", false},
    {"log.htm.txt", false},
    {"log.htm.bak", false},
    {"dir.htm/file", false},
    {"dir.htm\\file", false},
    {"dir.htm/", false},
    {"log.", false},
    {"log.htmx", false},
    {"log.ht", false},
    {"loghtm", false},
    {"", false},
};

INSTANTIATE_TEST_SUITE_P(Names, HtmlFileNameTest, ::testing::ValuesIn(kNameCases));

// --- Writing ---

using Writes = std::vector<std::pair<std::string, Colour>>;

std::string WriteAll(const TempDir& dir, const std::string& name, const Writes& writes) {
  std::string path = dir.File(name);
  LogFile file;
  EXPECT_TRUE(file.Create(path));
  for (const auto& [text, colour] : writes) file.Write(text.data(), text.size(), colour);
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  return ReadFile(path);
}

struct HtmlBodyCase {
  const char* name;
  Writes writes;
  std::string body;  // everything between the header and the body end tag
};

void PrintTo(const HtmlBodyCase& c, std::ostream* os) { *os << c.name; }

class HtmlBodyTest : public ::testing::TestWithParam<HtmlBodyCase> {
 protected:
  TempDir dir_;
};

TEST_P(HtmlBodyTest, WritesEscapedTextInSpans) {
  std::string contents = WriteAll(dir_, "log.html", GetParam().writes);
  EXPECT_EQ(contents, kHtmlHeader + GetParam().body + "</body>\r\n</html>\r\n");
}

std::string Repeat(const std::string& s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

const HtmlBodyCase kHtmlBodyCases[] = {
    // Escapes.
    {"Tag", {{"<b>bold</b>", DataLine}}, "<span class=\"tsdata\">&lt;b&gt;bold&lt;/b&gt;</span>\r\n"},
    {"Ampersand", {{"a&b", DataLine}}, "<span class=\"tsdata\">a&amp;b</span>\r\n"},
    {"QuotesUnchanged", {{"say \"hi\" 'x'", DataLine}}, "<span class=\"tsdata\">say \"hi\" 'x'</span>\r\n"},
    // The page keeps white space as it is: the file's own line ends are the page's line breaks.
    {"LineEndIsTheBreak", {{"a\r\n", DataLine}}, "<span class=\"tsdata\">a\r\n</span>\r\n"},
    {"LoneCrAndLf", {{"\r\n\r", DataLine}}, "<span class=\"tsdata\">\r\n\r</span>\r\n"},
    {"TabLfAndHighBytesUnchanged",
     {{"a\tb\nc\x80\xFF", DataLine}},
     "<span class=\"tsdata\">a\tb\nc\x80\xFF</span>\r\n"},
    // Blanks.
    {"ThreeBlanks", {{"a   b", MessageLine}}, "<span class=\"tsmsg\">a   b</span>\r\n"},
    {"SingleBlanks", {{"a b c", MessageLine}}, "<span class=\"tsmsg\">a b c</span>\r\n"},
    {"FourLeadingBlanksStayFour", {{"    x\r\n", DataLine}}, "<span class=\"tsdata\">    x\r\n</span>\r\n"},
    {"LeadingTabStays", {{"\tx\r\n", DataLine}}, "<span class=\"tsdata\">\tx\r\n</span>\r\n"},
    {"OnlyBlanks", {{"    ", DataLine}}, "<span class=\"tsdata\">    </span>\r\n"},
    {"BlankRunRestartsInEachWrite",
     {{"a ", DataLine}, {" b", DataLine}},
     "<span class=\"tsdata\">a  b</span>\r\n"},
    {"EscapeNextToBlanks", {{" < &", DataLine}}, "<span class=\"tsdata\"> &lt; &amp;</span>\r\n"},
    // Spans.
    {"SameKindSharesOneSpan",
     {{"one", MessageLine}, {"\r\n", MessageLine}, {"two", MessageLine}, {"\r\n", MessageLine}},
     "<span class=\"tsmsg\">one\r\ntwo\r\n</span>\r\n"},
    {"ChangeClosesAndOpensOnTheSameLine",
     {{"m\r\n", MessageLine}, {"i\r\n", InformLine}, {"e\r\n", ErrorLine}, {"d\r\n", DataLine}},
     "<span class=\"tsmsg\">m\r\n"
     "</span><span class=\"tsinform\">i\r\n"
     "</span><span class=\"tserror\">e\r\n"
     "</span><span class=\"tsdata\">d\r\n"
     "</span>\r\n"},
    {"EachDirectionAndTheHostLineHaveTheirSpan",
     {{"GET / HTTP/1.0\r\n", ClientDataLine}, {"Host: h:80\r\n", RewrittenHostLine}, {"\r\n", ClientDataLine},
      {"HTTP/1.0 200 OK\r\n", ServerDataLine}},
     "<span class=\"tsclient\">GET / HTTP/1.0\r\n"
     "</span><span class=\"tshost\">Host: h:80\r\n"
     "</span><span class=\"tsclient\">\r\n"
     "</span><span class=\"tsserver\">HTTP/1.0 200 OK\r\n"
     "</span>\r\n"},
    {"UnknownColourIsData", {{"x", 0x00FF00}}, "<span class=\"tsdata\">x</span>\r\n"},
    {"EmptyTextStillOpensSpan", {{"", InformLine}}, "<span class=\"tsinform\"></span>\r\n"},
    // Nothing logged: no span to close.
    {"NoLines", {}, ""},
    // Long texts go through the stream in many pieces; nothing may be lost between them.
    {"LongText",
     {{Repeat("a  <&>\r\n", 20000), DataLine}},
     "<span class=\"tsdata\">" + Repeat("a  &lt;&amp;&gt;\r\n", 20000) + "</span>\r\n"},
    {"LongRunBetweenEscapes",
     {{"<" + std::string(20000, 'x') + ">", DataLine}},
     "<span class=\"tsdata\">&lt;" + std::string(20000, 'x') + "&gt;</span>\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, HtmlBodyTest, ::testing::ValuesIn(kHtmlBodyCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct PlainCase {
  const char* name;
  const char* fileName;
};

void PrintTo(const PlainCase& c, std::ostream* os) { *os << c.name; }

class PlainFileTest : public ::testing::TestWithParam<PlainCase> {
 protected:
  TempDir dir_;
};

TEST_P(PlainFileTest, HoldsExactlyTheTextsWritten) {
  Writes writes = {{"12:00; Resolving  Remote Host", MessageLine},
                   {"\r\n", MessageLine},
                   {"<b>&amp;</b>   x\r\n", DataLine},
                   {"Host: h:80\r\n", RewrittenHostLine},
                   {std::string("\0\x80\r", 3), ErrorLine}};
  std::string expected;
  for (const auto& w : writes) expected += w.first;
  EXPECT_EQ(WriteAll(dir_, GetParam().fileName, writes), expected);
}

const PlainCase kPlainCases[] = {
    {"Txt", "log.txt"},
    {"NoExtension", "log"},
    {"HtmInTheMiddle", "log.htm.txt"},
};

INSTANTIATE_TEST_SUITE_P(Cases, PlainFileTest, ::testing::ValuesIn(kPlainCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Life of the file ---

TEST(LogFileLife, CreateFailsWhereNoFileCanBeMade) {
  TempDir dir;
  LogFile file;
  EXPECT_FALSE(file.Create(dir.File("missing-dir/log.htm")));
  EXPECT_FALSE(file.IsOpen());
  file.Write("ignored", DataLine);  // harmless without a file
  file.Close();
}

TEST(LogFileLife, CreateEmptiesAnEarlierFile) {
  TempDir dir;
  std::string path = dir.File("log.txt");
  {
    std::ofstream out(path, std::ios::binary);
    out << "left over from the previous run\r\n";
  }
  LogFile file;
  ASSERT_TRUE(file.Create(path));
  EXPECT_FALSE(file.Html());
  file.Write("new", DataLine);
  file.Close();
  EXPECT_EQ(ReadFile(path), "new");
}

TEST(LogFileLife, EachRunStartsWithoutAnOpenSpan) {
  TempDir dir;
  std::string first = dir.File("a.htm");
  std::string second = dir.File("b.htm");
  LogFile file;
  ASSERT_TRUE(file.Create(first));
  EXPECT_TRUE(file.Html());
  file.Write("x", MessageLine);
  file.Close();
  ASSERT_TRUE(file.Create(second));
  file.Write("y", MessageLine);  // same colour as the last span of the previous file, still a new span
  file.Close();
  EXPECT_EQ(ReadFile(second), std::string(kHtmlHeader) + "<span class=\"tsmsg\">y</span>\r\n</body>\r\n</html>\r\n");
}

TEST(LogFileLife, DestructionClosesWithoutTrailer) {
  TempDir dir;
  std::string path = dir.File("log.htm");
  {
    LogFile file;
    ASSERT_TRUE(file.Create(path));
    file.Write("x\r\n", InformLine);
  }
  EXPECT_EQ(ReadFile(path), std::string(kHtmlHeader) + "<span class=\"tsinform\">x\r\n");
}

TEST(LogFileLife, NulTerminatedWriteStopsAtTheNul) {
  TempDir dir;
  std::string path = dir.File("log.txt");
  LogFile file;
  ASSERT_TRUE(file.Create(path));
  file.Write("abc\0def", DataLine);
  file.Close();
  EXPECT_EQ(ReadFile(path), "abc");
}

// --- Hex dumps ---

// What the ordinary escaping makes of a dump must come out of the dump's own path byte for byte: for
// every offset width, full and short lines, a dump that starts inside a line, and character columns full
// of the characters that need escaping.
TEST(HexDumpFile, HtmlDumpIsWhatTheOrdinaryEscapingMakesOfIt) {
  // Offsets up to eight digits, in a reserved range of which only the dumped pages are touched.
  constexpr std::size_t kRange = 0x10001000;
  void* range = mmap(nullptr, kRange, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(range, MAP_FAILED);
  auto* block = static_cast<unsigned char*>(range);
  std::mt19937 random(5);
  const unsigned char tricky[] = {'<', '>', '&', ' ', ' ', ' ', '\r', '\n', 'a', 0x00, 0x7F, 0xFF};
  struct Span {
    std::int32_t start;
    std::int32_t length;
  };
  const Span spans[] = {{0, 1},         {0, 16},          {0, 4096},         {5, 4101},
                        {0xFFC0, 0x10040}, {0xFFFC3, 0x100047}, {0xFFFFC0, 0x1000040}, {0xFFFFFC7, 0x10000050}};
  TempDir dir;
  for (int mix = 0; mix < 3; ++mix) {
    for (const Span& span : spans) {
      for (std::int32_t i = span.start; i < span.length; ++i) {
        unsigned r = random();
        block[i] = mix == 0 ? static_cast<unsigned char>(r)
                 : mix == 1 ? tricky[r % sizeof tricky]
                            : static_cast<unsigned char>(' ');
      }
      std::string dump(HexDumpBytes(span.length - span.start), '\0');
      dump.resize(FormatHexDump(dump.data(), block, span.length, span.start));
      std::string expectedPath = dir.File("expected.html");
      std::string actualPath = dir.File("actual.html");
      LogFile expected;
      LogFile actual;
      ASSERT_TRUE(expected.Create(expectedPath));
      ASSERT_TRUE(actual.Create(actualPath));
      for (LogFile* file : {&expected, &actual}) file->Write("12: Client to Server (16 bytes)\r\n", MessageLine);
      expected.Write(dump.data(), dump.size(), DataLine);
      actual.WriteHexDump(dump.data(), dump.size());
      for (LogFile* file : {&expected, &actual}) file->Close();
      std::string want = ReadFile(expectedPath);
      ASSERT_GT(want.size(), dump.size());
      ASSERT_EQ(ReadFile(actualPath), want) << "mix " << mix << std::hex << ", 0x" << span.start << "-0x" << span.length;
    }
  }
  munmap(range, kRange);
}

TEST(HexDumpFile, PlainDumpIsTheDumpAsItIs) {
  TempDir dir;
  std::string path = dir.File("log.txt");
  std::string dump = "0000  3C 20 26" + std::string(15, ' ') + " " + std::string(24, ' ') + "  < &" + std::string(13, ' ') + "\r\n";
  LogFile file;
  ASSERT_TRUE(file.Create(path));
  file.WriteHexDump(dump.data(), dump.size());
  file.Close();
  EXPECT_EQ(ReadFile(path), dump);
}

}  // namespace
}  // namespace tapline::log
