#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <ostream>
#include <string>

#include "log/text_lines.h"

namespace tapline::log {
namespace {

// A reserved (mostly untouched) address range, so that offsets up to 0x7FFFFFF0 can be dumped for real.
class LargeBlock {
 public:
  static constexpr std::size_t kSize = 0x80000000u;
  LargeBlock() {
    void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
  }
  ~LargeBlock() {
    if (data_ != nullptr) munmap(data_, kSize);
  }
  unsigned char* data() { return data_; }

 private:
  unsigned char* data_;
};

struct LayoutCase {
  const char* name;
  std::int32_t offset;
  std::string bytes;   // placed at `offset`; the block ends right after them
  std::string line;    // the expected 72 characters
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

std::string Blanks(std::size_t n) { return std::string(n, ' '); }

const LayoutCase kLayoutCases[] = {
    {"FullLineAtZero", 0, "GET / HTTP/1.1\r\n",
     "0000  47 45 54 20 2F 20 48 54  54 50 2F 31 2E 31 0D 0A  GET / HTTP/1.1.."},
    // Three bytes AB CD EF: fifteen blanks for the five missing positions of the first group, one blank,
    // twenty-four for the second group, two blanks, three points and thirteen blanks.
    {"ShortLastLine", 0x10, "\xAB\xCD\xEF",
     "0010  AB CD EF" + Blanks(15) + " " + Blanks(24) + "  " + "..." + Blanks(13)},
    {"TabAndControlsArePoints", 0x20, std::string("\t\0\x1F\x7F\x80 ~A", 8),
     "0020  09 00 1F 7F 80 20 7E 41" + Blanks(1) + Blanks(24) + "  " + "..... ~A" + Blanks(8)},
    {"NineBytesCrossTheMiddle", 0x30, "abcdefghi",
     "0030  61 62 63 64 65 66 67 68  69" + Blanks(21) + "  " + "abcdefghi" + Blanks(7)},
    {"LargestFourDigitOffset", 0xFFF0, "0123456789ABCDEF",
     "FFF0  30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46  0123456789ABCDEF"},
    // Wider offsets use up the separator blanks, first the gap after the offset column...
    {"FiveDigitOffset", 0x10000, "0123456789ABCDEF",
     "10000 30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46  0123456789ABCDEF"},
    {"FiveDigitShortLine", 0xFFFF0, "xy",
     "FFFF0 78 79" + Blanks(18) + " " + Blanks(24) + "  " + "xy" + Blanks(14)},
    // ...then the gap between the two groups...
    {"SixDigitOffset", 0x100000, "0123456789ABCDEF",
     "100000 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  0123456789ABCDEF"},
    // ...then one blank, and finally both, before the character column.
    {"SevenDigitOffset", 0x1000000, "0123456789ABCDEF",
     "1000000 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 0123456789ABCDEF"},
    {"EightDigitOffset", 0x10000000, "0123456789ABCDEF",
     "10000000 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 460123456789ABCDEF"},
    {"EightDigitShortLine", 0x7FFFFFF0, "\x01z",
     "7FFFFFF0 01 7A" + Blanks(42) + ".z" + Blanks(14)},
};

class HexDumpLineTest : public ::testing::TestWithParam<LayoutCase> {
 protected:
  static LargeBlock& Block() {
    static LargeBlock block;
    return block;
  }
};

TEST_P(HexDumpLineTest, ComposesExactly72Characters) {
  const LayoutCase& c = GetParam();
  ASSERT_EQ(c.line.size(), 72u) << "the expected line itself is malformed";
  unsigned char* block = Block().data();
  ASSERT_NE(block, nullptr) << "could not reserve the address range";
  std::memcpy(block + c.offset, c.bytes.data(), c.bytes.size());
  std::int32_t length = c.offset + static_cast<std::int32_t>(c.bytes.size());

  char out[80];
  std::memset(out, '#', sizeof out);
  FormatHexDumpLine(out, block, length, c.offset);
  EXPECT_EQ(std::string(out, 72), c.line);
  EXPECT_EQ(std::string(out + 72, 8), std::string(8, '#')) << "wrote past the 72 characters";
}

INSTANTIATE_TEST_SUITE_P(Cases, HexDumpLineTest, ::testing::ValuesIn(kLayoutCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HexDumpLine, ReadsOnlyTheBytesBeforeTheBlockEnd) {
  // The block ends at 20 while the line would reach 32; the bytes past the end must not be shown.
  unsigned char block[32];
  std::memset(block, 'Z', sizeof block);
  char out[72];
  FormatHexDumpLine(out, block, 20, 16);
  EXPECT_EQ(std::string(out, 72), "0010  5A 5A 5A 5A" + Blanks(12) + " " + Blanks(24) + "  ZZZZ" + Blanks(12));
}

}  // namespace
}  // namespace tapline::log
