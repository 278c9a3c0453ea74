// One hex dump line for up to 16 bytes at any offset: always 72 characters, the offset in upper-case hex
// at the front, one " XX" group per byte (three blanks past the block's end) and the character column at
// 56. Offsets above 0xFFFF take more digits, each eating one separator blank: first the one after the
// offset, then the one between the two halves, then one of the two before the characters.
//
// Input: bytes 0..3 the offset (little-endian), byte 4 its width class, byte 5 how many bytes the block
// holds from the offset on, then the bytes themselves.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "log/hex_dump.h"
#include "log/text_lines.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using tapline::log::FormatHexDumpLine;
using tapline::log::HexDumpLineLength;

constexpr std::int64_t kLargest = std::numeric_limits<std::int32_t>::max();

// Blocks beyond a few megabytes only exist as a reserved address range: just the pages around the offset
// are written, and given back after each run.
char* LargeBlock() {
  static char* block = [] {
    void* p = mmap(nullptr, static_cast<std::size_t>(kLargest) + 1, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    FUZZ_CHECK(p != MAP_FAILED, "reserving the address range of a 2 GB block");
    return static_cast<char*>(p);
  }();
  return block;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case digits are not what the dump writes
}

void CheckLine(const char* line, const unsigned char* block, std::int64_t length, std::int64_t offset) {
  const auto value = static_cast<std::uint32_t>(offset);
  const auto o = static_cast<unsigned long long>(offset);  // for the messages
  int digits = 4;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;

  // The offset column.
  std::uint32_t shown = 0;
  for (int d = 0; d < digits; ++d) {
    int v = HexValue(line[d]);
    FUZZ_CHECK(v >= 0, "offset %llX: character %d of the offset column is '%c'", o, d, line[d]);
    shown = shown << 4 | static_cast<std::uint32_t>(v);
  }
  FUZZ_CHECK(shown == value, "offset %llX shown as %X", o, shown);

  // Where each group starts under the width scheme; with four digits it is the plain "%04X " layout.
  int at = digits + (digits == 4 ? 1 : 0);
  for (int k = 0; k < 16; ++k) {
    if (k == 8 && digits <= 5) {
      FUZZ_CHECK(line[at] == ' ', "offset %llX: no blank between the halves", o);
      ++at;
    }
    if (digits == 4) {
      FUZZ_CHECK(at == 5 + 3 * k + (k >= 8 ? 1 : 0), "plain layout: group %d at %d", k, at);
    }
    FUZZ_CHECK(line[at] == ' ', "offset %llX: group %d does not start with a blank", o, k);
    if (offset + k < length) {
      int hi = HexValue(line[at + 1]);
      int lo = HexValue(line[at + 2]);
      FUZZ_CHECK(hi >= 0 && lo >= 0, "offset %llX: group %d is not two hex digits", o, k);
      FUZZ_CHECK((hi << 4 | lo) == block[offset + k], "offset %llX: group %d reads %02X, byte is %02X",
                 o, k, hi << 4 | lo, block[offset + k]);
    } else {
      FUZZ_CHECK(line[at + 1] == ' ' && line[at + 2] == ' ', "offset %llX: group %d past the end is not blank",
                 o, k);
    }
    at += 3;
  }
  int gap = digits <= 6 ? 2 : (digits == 7 ? 1 : 0);
  for (int g = 0; g < gap; ++g, ++at) {
    FUZZ_CHECK(line[at] == ' ', "offset %llX: no blank before the characters", o);
  }
  FUZZ_CHECK(at == 56, "offset %llX: the character column starts at %d", o, at);

  // The character column.
  for (int k = 0; k < 16; ++k) {
    char want = ' ';
    if (offset + k < length) {
      unsigned char b = block[offset + k];
      want = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    }
    FUZZ_CHECK(line[56 + k] == want, "offset %llX: character %d is '%c', '%c' expected", o, k, line[56 + k], want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  std::uint32_t raw = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
                      static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
  // Each width class keeps the offset in its own range, so all offset widths come up equally often.
  static constexpr std::int64_t kClassEnd[] = {0x100, 0x10000, 0x100000, 0x1000000, 0x10000000, kLargest + 1};
  int widthClass = data[4] % 6;
  std::int64_t lowest = widthClass == 0 ? 0 : kClassEnd[widthClass - 1];
  std::int64_t offset = lowest + raw % (kClassEnd[widthClass] - lowest);
  std::int64_t tail = data[5] % 24;  // bytes of the block from the offset on; 16 and more fill the line
  std::int64_t length = offset + tail;
  if (length > kLargest) length = kLargest;
  const std::uint8_t* bytes = data + 6;
  std::size_t given = size - 6;

  const bool small = length <= 0x20000;
  std::unique_ptr<unsigned char[]> heapBlock;
  unsigned char* block;
  if (small) {
    // Exactly the block's size on the heap, so that a read past its end is caught.
    heapBlock = std::make_unique<unsigned char[]>(static_cast<std::size_t>(length) + (length == 0 ? 1 : 0));
    block = heapBlock.get();
  } else {
    block = reinterpret_cast<unsigned char*>(LargeBlock());
  }
  for (std::int64_t k = 0; k < 16 && offset + k < length; ++k) {
    block[offset + k] = given == 0 ? 0 : bytes[static_cast<std::size_t>(k) % given];
  }

  auto line = std::make_unique<char[]>(HexDumpLineLength);  // exactly 72: a longer line is caught
  std::memset(line.get(), 0, HexDumpLineLength);
  FormatHexDumpLine(line.get(), block, static_cast<std::int32_t>(length), static_cast<std::int32_t>(offset));
  for (int i = 0; i < HexDumpLineLength; ++i) {
    FUZZ_CHECK(line[i] >= 0x20 && line[i] <= 0x7E, "character %d of the line is %02X", i,
               static_cast<unsigned char>(line[i]));
  }
  CheckLine(line.get(), block, length, offset);

  if (!small) {
    // Give back the pages written this run; the range itself stays reserved.
    auto pageSize = static_cast<std::uintptr_t>(4096);
    auto first = reinterpret_cast<std::uintptr_t>(block + offset) & ~(pageSize - 1);
    madvise(reinterpret_cast<void*>(first), 2 * pageSize, MADV_DONTNEED);
  }
  return 0;
}
