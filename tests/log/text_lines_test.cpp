#include "log/text_lines.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace tapline::log {
namespace {

struct SplitCase {
  const char* name;
  std::string block;
  std::int32_t result;
  std::vector<std::string> lines;
  bool incomplete;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> ChainTexts(const LogRecord* head) {
  std::vector<std::string> texts;
  for (const LogRecord* r = head; r != nullptr; r = r->Next) texts.emplace_back(r->Text(), r->Length);
  return texts;
}

class SplitTextLinesTest : public ::testing::TestWithParam<SplitCase> {
 protected:
  void TearDown() override { FreeLogRecords(heap_, head_); }
  platform::Heap heap_;
  LogRecord* head_ = nullptr;
  LogRecord* tail_ = nullptr;
};

TEST_P(SplitTextLinesTest, SplitsLeadingTextLines) {
  const SplitCase& c = GetParam();
  bool incomplete = !c.incomplete;  // must be overwritten either way
  std::int32_t result = SplitTextLines(heap_, c.block.data(), static_cast<std::int32_t>(c.block.size()), head_,
                                       tail_, incomplete);
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(incomplete, c.incomplete);

  std::vector<std::string> expected;
  for (const std::string& line : c.lines) expected.push_back(line + "\r\n");
  EXPECT_EQ(ChainTexts(head_), expected);

  // Every record is black, NUL-terminated, and the tail really is the last record.
  const LogRecord* last = nullptr;
  for (const LogRecord* r = head_; r != nullptr; r = r->Next) {
    EXPECT_EQ(r->Colour, DataLine);
    EXPECT_EQ(r->Text()[r->Length], '\0');
    last = r;
  }
  EXPECT_EQ(tail_, last);
}

const SplitCase kSplitCases[] = {
    // Line breaks.
    {"RequestWithEmptyLine", "GET / HTTP/1.0\r\n\r\n", 18, {"GET / HTTP/1.0", ""}, false},
    {"LfAlone", "a\nbc\n", 5, {"a", "bc"}, false},
    {"MixedLfAndCrLf", "a\r\nb\nc\r\n", 8, {"a", "b", "c"}, false},
    {"EmptyLinesOnly", "\n\r\n\n", 4, {"", "", ""}, false},
    {"SingleCrLf", "\r\n", 2, {""}, false},
    // Printable range and TAB.
    {"TabStaysInLine", "a\tb \t\n", 6, {"a\tb \t"}, false},
    {"PrintableBounds", std::string("\x20~\n", 3), 3, {" ~"}, false},
    // Incomplete last line.
    {"IncompleteLastLine", "GET / HTTP/1.0\r\nX", 17, {"GET / HTTP/1.0", "X"}, true},
    {"SingleByte", "x", 1, {"x"}, true},
    {"CrAtBlockEnd", "ab\r", 3, {"ab"}, true},
    {"LoneCrAtBlockEnd", "\r", 1, {""}, true},
    {"CrAtEndAfterLines", "a\n\r", 3, {"a", ""}, true},
    // Bytes that stop the split: the answer is the start of the line holding them.
    {"LoneCrInLine", "ok\r\nx\ry\r\n", 4, {"ok"}, false},
    {"CrCrLf", "a\r\r\n", 0, {}, false},
    {"DelByte", "abc\x7F\n", 0, {}, false},
    {"HighByte", "l1\nab\x80\n", 3, {"l1"}, false},
    {"NulByte", std::string("l1\nl2\n\0", 7), 6, {"l1", "l2"}, false},
    {"ControlBelowBlank", "l1\n\x1F", 3, {"l1"}, false},
    {"NonTextAfterIncompleteText", "abc\xFF", 0, {}, false},
    // UTF-8 text is text; controls, stray and malformed sequences are not.
    {"Utf8Words", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80\r\n", 22,
     {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80"}, false},
    {"NoBreakSpaceIsText", "\xC2\xA0\n", 3, {"\xC2\xA0"}, false},
    {"C1ControlIsNot", "l1\n\xC2\x85x\n", 3, {"l1"}, false},
    {"OverlongIsNot", "\xC0\xAF\n", 0, {}, false},
    {"SurrogateIsNot", "\xED\xA0\x80\n", 0, {}, false},
    {"PastTheLastCodePointIsNot", "\xF4\x90\x80\x80\n", 0, {}, false},
    {"StrayContinuationIsNot", "\xA9\n", 0, {}, false},
    {"CutBeforeItsEndInsideTheBlockIsNot", "\xE6\x97\n", 0, {}, false},
    {"CharacterCutByTheBlockEnd", "ok\ncaf\xC3", 7, {"ok", "caf\xC3"}, true},
    {"FourByteCharacterCutAfterThree", "\xF0\x9F\x98", 3, {"\xF0\x9F\x98"}, true},
    {"CutC1ControlIsNotText", "a\xC2\x85", 0, {}, false},
    // Nothing at all.
    {"EmptyBlock", "", 0, {}, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, SplitTextLinesTest, ::testing::ValuesIn(kSplitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The scan passes text 64 bytes at a time: each case behind a full line of every length, so that its
// line ends and stray bytes fall at every place of a stretch and across stretches.
TEST(ScanTextLines, AnswersEveryCaseWhereverItFallsInAStretch) {
  for (const SplitCase& c : kSplitCases) {
    for (std::size_t before = 0; before <= 140; ++before) {
      std::string block = std::string(before, 'a') + "\n" + c.block;
      bool incomplete = !c.incomplete;
      std::int32_t result = ScanTextLines(block.data(), static_cast<std::int32_t>(block.size()), incomplete);
      ASSERT_EQ(result, c.result + static_cast<std::int32_t>(before + 1)) << c.name << " behind " << before;
      ASSERT_EQ(incomplete, c.incomplete) << c.name << " behind " << before;
    }
  }
}

// Random blocks dense in line ends and stray bytes: the scan answers as the split that makes the lines.
TEST(ScanTextLines, AnswersAsTheSplitOnRandomBlocks) {
  platform::Heap heap;
  std::mt19937 random(7);
  const char alphabet[] = {'x', 'y', ' ', '\t', 'x', '~', '\r', '\n', 'x', '\x7F', '\x80', '\x1F', 'z', '\n',
                           '\xC3', '\xA9', '\xE6', '\x97', '\xF0', '\x9F', '\xC2', '\x85'};
  for (int round = 0; round < 2000; ++round) {
    std::string block(random() % 300, 'x');
    // Mostly text, so that the scan gets past the first stretches.
    for (char& c : block) c = random() % 40 == 0 ? alphabet[random() % sizeof alphabet] : 'x';
    auto n = static_cast<std::int32_t>(block.size());
    LogRecord* head = nullptr;
    LogRecord* tail = nullptr;
    bool splitIncomplete = false;
    std::int32_t split = SplitTextLines(heap, block.data(), n, head, tail, splitIncomplete);
    FreeLogRecords(heap, head);
    bool incomplete = !splitIncomplete;
    ASSERT_EQ(ScanTextLines(block.data(), n, incomplete), split) << "round " << round;
    ASSERT_EQ(incomplete, splitIncomplete) << "round " << round;
  }
}

// A character cut in two by the end of a read: the block after it starts with the bytes that finish it.
TEST(ScanTextLines, TheBytesThatFinishACutCharacterKeepTheNextBlockText) {
  const std::string first = "caf\xC3";
  const std::string second = "\xA9 au lait\n";
  ASSERT_EQ(CutCharacterBytes(first.data(), static_cast<std::int32_t>(first.size())), 1);
  bool incomplete = false;
  const auto n = static_cast<std::int32_t>(second.size());
  EXPECT_EQ(ScanTextLines(second.data(), n, incomplete, 1), n);
  EXPECT_EQ(ScanTextLines(second.data(), n, incomplete, 0), 0) << "without the cut, a stray byte is no text";
  platform::Heap heap;
  LogRecord* head = nullptr;
  LogRecord* tail = nullptr;
  EXPECT_EQ(SplitTextLines(heap, second.data(), n, head, tail, incomplete, -1, 1, ServerDataLine), n);
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(std::string(head->Text(), static_cast<std::size_t>(head->Length)), "\xA9 au lait\r\n");
  EXPECT_EQ(head->Colour, ServerDataLine);
  FreeLogRecords(heap, head);
  EXPECT_EQ(CutCharacterBytes("\xF0\x9F", 2), 2);
  EXPECT_EQ(CutCharacterBytes("\xC3\xA9", 2), 0);
  EXPECT_EQ(CutCharacterBytes("\xC2\x85", 2), 0);
}

// A terminal must never receive a control byte, whatever a line holds.
TEST(ReplaceNonText, LeavesTextAndReplacesEveryControlAndStrayByte) {
  std::string text = "caf\xC3\xA9\t\x1B[2J\xC2\x85\x7F\xA9\r\nend\xE6\x97";
  ASSERT_FALSE(IsUtf8Text(text.data(), text.size()));
  ReplaceNonText(text.data(), text.size());
  EXPECT_EQ(text, "caf\xC3\xA9\t?[2J????\r\nend??");
  EXPECT_TRUE(IsUtf8Text(text.data(), text.size()));
}

TEST(SplitTextLinesChain, ReplacesWhatTheChainHeldBefore) {
  platform::Heap heap;
  LogRecord* head = nullptr;
  LogRecord* tail = nullptr;
  ASSERT_TRUE(NewLogRecord(heap, head, tail, MessageLine, 3, "old"));
  bool incomplete = false;
  // The old record must be freed, not leaked and not kept (the leak checker watches the first half).
  EXPECT_EQ(SplitTextLines(heap, "new\n", 4, head, tail, incomplete), 4);
  EXPECT_EQ(ChainTexts(head), std::vector<std::string>{"new\r\n"});
  EXPECT_EQ(head, tail);
  FreeLogRecords(heap, head);
}

struct SplitFailureCase {
  const char* name;
  std::string block;
};

void PrintTo(const SplitFailureCase& c, std::ostream* os) { *os << c.name; }

class SplitTextLinesOutOfMemory : public ::testing::TestWithParam<SplitFailureCase> {};

TEST_P(SplitTextLinesOutOfMemory, AnswersMinusOneWithAnEmptyChain) {
  platform::Heap heap;  // no drain hook: the first failed allocation is final
  LogRecord* head = nullptr;
  LogRecord* tail = nullptr;
  bool incomplete = false;
  heap.FailNext(1);
  const std::string& block = GetParam().block;
  EXPECT_EQ(SplitTextLines(heap, block.data(), static_cast<std::int32_t>(block.size()), head, tail, incomplete), -1);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(heap.Failures(), 1);
}

const SplitFailureCase kSplitFailureCases[] = {
    {"AtLineFeed", "a\nb\n"},
    {"AtIncompleteLastLine", "abc"},
    {"AtCrAtBlockEnd", "abc\r"},
};

INSTANTIATE_TEST_SUITE_P(Cases, SplitTextLinesOutOfMemory, ::testing::ValuesIn(kSplitFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SplitTextLinesOutOfMemoryDrain, RetriesAfterADrainThatFreedSomething) {
  platform::Heap heap;
  int drains = 0;
  heap.SetDrainHook([&] { return ++drains == 1; });
  heap.FailNext(1);
  LogRecord* head = nullptr;
  LogRecord* tail = nullptr;
  bool incomplete = false;
  EXPECT_EQ(SplitTextLines(heap, "a\nb\n", 4, head, tail, incomplete), 4);
  EXPECT_EQ(drains, 1);
  EXPECT_EQ(ChainTexts(head), (std::vector<std::string>{"a\r\n", "b\r\n"}));
  FreeLogRecords(heap, head);
}

}  // namespace
}  // namespace tapline::log
