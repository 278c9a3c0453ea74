#include <gtest/gtest.h>
#include <sys/mman.h>

#include <climits>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "log/hex_dump.h"
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

// The formatter as it was before its fast paths, one position at a time: the layout they must reproduce.
std::string ReferenceLine(const unsigned char* block, std::int32_t length, std::int32_t offset) {
  static const char digitsOf[] = "0123456789ABCDEF";
  std::string line;
  auto value = static_cast<std::uint32_t>(offset);
  int digits = 4;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  for (int d = digits - 1; d >= 0; --d) line += digitsOf[(value >> (4 * d)) & 0xF];
  if (digits == 4) line += ' ';
  std::int64_t left = static_cast<std::int64_t>(length) - offset;
  int count = left >= 16 ? 16 : (left > 0 ? static_cast<int>(left) : 0);
  const unsigned char* bytes = block + offset;
  for (int k = 0; k < 16; ++k) {
    if (k == 8 && digits <= 5) line += ' ';
    if (k < count) {
      line += ' ';
      line += digitsOf[bytes[k] >> 4];
      line += digitsOf[bytes[k] & 0xF];
    } else {
      line += "   ";
    }
  }
  line.append(digits <= 6 ? 2 : (digits == 7 ? 1 : 0), ' ');
  for (int k = 0; k < 16; ++k) {
    line += k >= count ? ' ' : (bytes[k] >= 0x20 && bytes[k] <= 0x7E) ? static_cast<char>(bytes[k]) : '.';
  }
  return line;
}

std::string ReferenceDump(const unsigned char* block, std::int32_t length, std::int32_t start) {
  std::string dump;
  for (std::int64_t o = start; o < length; o += 16) {
    dump += ReferenceLine(block, length, static_cast<std::int32_t>(o)) + "\r\n";
  }
  return dump;
}

// Random bytes (all 256 values, the printable boundaries included) at offsets of every width, each line
// full or cut short by the block's end.
TEST(HexDumpLine, EveryWidthAndCountMatchesTheReferenceLayout) {
  LargeBlock large;
  unsigned char* block = large.data();
  ASSERT_NE(block, nullptr) << "could not reserve the address range";
  std::mt19937 random(7);
  const std::int32_t bases[] = {0, 0xFFF0, 0x10000, 0xFFFF0, 0x100000, 0xFFFFF0, 0x1000000, 0xFFFFFF0,
                                0x10000000, 0x7FFFFFE0};
  for (std::int32_t base : bases) {
    for (int line = 0; line < 2; ++line) {
      std::int32_t offset = base + 16 * line;
      for (int count = 0; count <= 16; ++count) {
        if (std::int64_t{offset} + count > INT32_MAX) break;  // no block is longer
        for (int k = 0; k < 16; ++k) block[offset + k] = static_cast<unsigned char>(random());
        char out[80];
        std::memset(out, '#', sizeof out);
        FormatHexDumpLine(out, block, offset + count, offset);
        ASSERT_EQ(std::string(out, 72), ReferenceLine(block, offset + count, offset))
            << std::hex << "offset 0x" << offset << std::dec << ", " << count << " bytes";
        ASSERT_EQ(std::string(out + 72, 8), std::string(8, '#')) << "wrote past the 72 characters";
      }
    }
  }
}

// Whole dumps, starting anywhere in a line and running across the offsets where the column widens.
TEST(HexDump, WholeDumpsMatchTheReferenceLineByLine) {
  LargeBlock large;
  unsigned char* block = large.data();
  ASSERT_NE(block, nullptr) << "could not reserve the address range";
  std::mt19937 random(11);
  struct Span {
    std::int32_t start;
    std::int32_t length;
  };
  std::vector<Span> spans = {{0, 1}, {0, 16}, {3, 17}, {15, 16}, {0, 5000}, {7, 4099}};
  for (std::int32_t edge : {0x10000, 0x100000, 0x1000000, 0x10000000}) {
    for (int shift = 0; shift < 3; ++shift) {
      spans.push_back({edge - 80 + shift * 5, edge + 50 + shift * 16});
      spans.push_back({edge - 64, edge + 64});
    }
  }
  spans.push_back({0x7FFFFF00 + 9, 0x7FFFFFFF});
  for (const Span& span : spans) {
    for (std::int32_t i = span.start; i < span.length; ++i) block[i] = static_cast<unsigned char>(random());
    std::string expected = ReferenceDump(block, span.length, span.start);
    ASSERT_EQ(expected.size(), HexDumpBytes(span.length - span.start));
    std::string out(expected.size() + 8, '#');
    std::size_t written = FormatHexDump(out.data(), block, span.length, span.start);
    ASSERT_EQ(written, expected.size()) << std::hex << "0x" << span.start << "-0x" << span.length;
    EXPECT_EQ(out.substr(0, written), expected) << std::hex << "0x" << span.start << "-0x" << span.length;
    EXPECT_EQ(out.substr(written), std::string(8, '#')) << "wrote past the dump";
  }
}

}  // namespace
}  // namespace tapline::log
