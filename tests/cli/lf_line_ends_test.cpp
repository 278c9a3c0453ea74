// CR LF to LF for the terminal: every chunking of the output gives the character-by-character result.
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/lf_line_ends.h"

namespace tapline::cli {
namespace {

// The whole text through output buffers of the given size, as the terminal view drives it.
std::string WithLfLineEnds(const std::string& text, std::size_t room) {
  std::string result;
  std::vector<char> out(room + 16, '#');
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    std::size_t written = 0;
    const char* next = CopyWithLfLineEnds(p, end, out.data(), room, written);
    EXPECT_LE(written, room);
    EXPECT_EQ(std::string(out.data() + room, 16), std::string(16, '#')) << "wrote past the room it was given";
    if (next == p && written == 0) {
      ADD_FAILURE() << "no progress";
      break;
    }
    result.append(out.data(), written);
    p = next;
  }
  return result;
}

TEST(LfLineEnds, DropsTheCrOfEachCrLfOnly) {
  EXPECT_EQ(WithLfLineEnds("a\r\nb\rc\n\r\r\n\r", 64), "a\nb\rc\n\r\n\r");
  std::string line = "0000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP";
  EXPECT_EQ(WithLfLineEnds(line + "\r\n" + line + "\r\n", 16), line + "\n" + line + "\n");
}

// Random texts dense in CRs and LFs, through rooms that end at every place relative to a CR LF, against
// the plain rule applied one character at a time.
TEST(LfLineEnds, MatchesTheCharacterByCharacterRuleInEveryChunking) {
  std::mt19937 random(3);
  const char alphabet[] = {'\r', '\n', 'x', ' ', '\r', '\0'};
  for (int round = 0; round < 300; ++round) {
    std::string text(random() % 300, ' ');
    for (char& c : text) c = alphabet[random() % sizeof alphabet];
    std::string expected;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
      expected += text[i];
    }
    for (std::size_t room : {16u, 17u, 31u, 64u, 1000u}) {
      ASSERT_EQ(WithLfLineEnds(text, room), expected) << "round " << round << ", room " << room;
    }
  }
}

}  // namespace
}  // namespace tapline::cli
