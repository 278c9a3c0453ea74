// The hex dump's line layout: offset, sixteen bytes in two groups of eight, and the characters.
#include "log/hex_dump.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tapline::log {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// " XX" for every byte value in the low three bytes of a word (the top one zero), and the character the
// dump shows for it.
struct HexTables {
  std::uint32_t triples[256];
  char shown[256];
  constexpr HexTables() : triples{}, shown{} {
    const char* digits = "0123456789ABCDEF";
    for (int b = 0; b < 256; ++b) {
      triples[b] = ' ' | static_cast<std::uint32_t>(digits[b >> 4]) << 8 | static_cast<std::uint32_t>(digits[b & 15]) << 16;
      shown[b] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    }
  }
};
constexpr HexTables kTables;
constexpr const char (&kShown)[256] = kTables.shown;

// Stores " XX XX" for two bytes as one 8-byte word; its last two bytes are zero and are overwritten by
// whatever follows (the next pair, a separator, the character column).
inline void PutTwoTriples(char* p, const unsigned char* bytes) {
  static_assert(std::endian::native == std::endian::little);
  std::uint64_t word = kTables.triples[bytes[0]] | static_cast<std::uint64_t>(kTables.triples[bytes[1]]) << 24;
  std::memcpy(p, &word, 8);
}

int OffsetDigits(std::uint32_t value) {
  int digits = 4;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  return digits;
}

// Offsets up to 0xFFFF take "%04X " and leave every separator in place. Each wider offset digit eats one
// separator blank (the column gap first, then the middle gap between the two halves, then the gap
// before the characters), so the line keeps 72 characters and the character column stays at 56.
// Writes 8 bytes whatever the width; those past the offset column are overwritten by the caller.
char* PutOffset(char* p, std::uint32_t value, int digits) {
  // All eight hex digits at once: one nibble to a byte, the least significant in the lowest byte...
  std::uint64_t x = value;
  x = (x | x << 16) & 0x0000FFFF0000FFFFull;
  x = (x | x << 8) & 0x00FF00FF00FF00FFull;
  x = (x | x << 4) & 0x0F0F0F0F0F0F0F0Full;
  // ...then '0' to '9' or 'A' to 'F' (0x76 carries a nibble of 10 or more into bit 7)...
  std::uint64_t letters = ((x + 0x7676767676767676ull) & 0x8080808080808080ull) >> 7;
  x += 0x3030303030303030ull + letters * 7;
  // ...most significant first, without the leading digits the width leaves out.
  std::uint64_t word = __builtin_bswap64(x) >> (8 * (8 - digits));
  if (digits == 4) word |= static_cast<std::uint64_t>(' ') << 32;  // the gap of the four-digit layout
  std::memcpy(p, &word, 8);
  return p + (digits == 4 ? 5 : digits);
}

// The 16 characters of a full line's character column.
inline void PutShown(char* out, const unsigned char* bytes) {
#if defined(__SSE2__)
  // Printable is 0x20 to 0x7E; as signed bytes, 0x80 and above are negative and fail the first test.
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  __m128i printable = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x1F)), _mm_cmplt_epi8(v, _mm_set1_epi8(0x7F)));
  __m128i shown = _mm_or_si128(_mm_and_si128(printable, v), _mm_andnot_si128(printable, _mm_set1_epi8('.')));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), shown);
#else
  for (int k = 0; k < 16; ++k) out[k] = kShown[bytes[k]];
#endif
}

// A line of 16 bytes: no test per position, every store of a fixed width.
void PutFullLine(char* out, const unsigned char* bytes, std::uint32_t offset, int digits) {
  char* p = PutOffset(out, offset, digits);
  PutTwoTriples(p, bytes);
  PutTwoTriples(p + 6, bytes + 2);
  PutTwoTriples(p + 12, bytes + 4);
  PutTwoTriples(p + 18, bytes + 6);
  p += 24;
  if (digits <= 5) *p++ = ' ';
  PutTwoTriples(p, bytes + 8);
  PutTwoTriples(p + 6, bytes + 10);
  PutTwoTriples(p + 12, bytes + 12);
  PutTwoTriples(p + 18, bytes + 14);
  p += 24;
  // Blanks up to the character column at 56 (two, one or none); any the column starts on are overwritten.
  p[0] = p[1] = ' ';
  PutShown(out + 56, bytes);
}

}  // namespace

void FormatHexDumpLine(char* out, const unsigned char* block, std::int32_t length, std::int32_t offset) {
  auto value = static_cast<std::uint32_t>(offset);
  int digits = OffsetDigits(value);

  // Bytes present on this line; the rest of its positions are blank.
  std::int64_t left = static_cast<std::int64_t>(length) - offset;
  int count = left >= 16 ? 16 : (left > 0 ? static_cast<int>(left) : 0);
  const unsigned char* bytes = block + offset;
  if (count == 16) {
    PutFullLine(out, bytes, value, digits);
    return;
  }
  char* p = PutOffset(out, value, digits);
  for (int k = 0; k < 16; ++k) {
    if (k == 8 && digits <= 5) *p++ = ' ';
    if (k < count) {
      unsigned char b = bytes[k];
      p[0] = ' ';
      p[1] = kHexDigits[b >> 4];
      p[2] = kHexDigits[b & 0xF];
    } else {
      p[0] = p[1] = p[2] = ' ';
    }
    p += 3;
  }
  int gap = digits <= 6 ? 2 : (digits == 7 ? 1 : 0);
  for (int g = 0; g < gap; ++g) *p++ = ' ';

  for (int k = 0; k < count; ++k) p[k] = kShown[bytes[k]];
  for (int k = count; k < 16; ++k) p[k] = ' ';
}

std::size_t FormatHexDump(char* out, const unsigned char* block, std::int32_t length, std::int32_t start) {
  char* p = out;
  std::int64_t o = start;
  // Full lines first, the offset's width worked out again only where it grows.
  while (o + 16 <= length) {
    auto value = static_cast<std::uint32_t>(o);
    int digits = OffsetDigits(value);
    std::int64_t widthEnd = digits >= 8 ? length : std::min<std::int64_t>(length, std::int64_t{1} << (4 * digits));
    for (; o + 16 <= length && o < widthEnd; o += 16, p += HexDumpLineLength + 2) {
      PutFullLine(p, block + o, static_cast<std::uint32_t>(o), digits);
      p[HexDumpLineLength] = '\r';
      p[HexDumpLineLength + 1] = '\n';
    }
  }
  if (o < length) {
    FormatHexDumpLine(p, block, length, static_cast<std::int32_t>(o));
    p += HexDumpLineLength;
    *p++ = '\r';
    *p++ = '\n';
  }
  return static_cast<std::size_t>(p - out);
}

}  // namespace tapline::log
