#include "log/text_lines.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tapline::log {

namespace {

enum class SplitState { LineStart, InLine, AfterCR };

bool IsTextByte(unsigned char c) { return (c >= 0x20 && c <= 0x7E) || c == 0x09; }

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

std::int32_t ScanTextLines(const char* block, std::int32_t length, bool& incomplete) {
  // The same rules as SplitTextLines, without making the records nobody may look at.
  incomplete = false;
  bool afterCr = false;
  std::int32_t lineStart = 0;
  bool lineOpen = false;
  for (std::int32_t i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(block[i]);
    if (!lineOpen) {
      lineStart = i;
      lineOpen = true;
    }
    if (!afterCr) {
      if (IsTextByte(c)) continue;
      if (c == '\r') {
        afterCr = true;
        continue;
      }
    }
    if (c != '\n') return lineStart;
    afterCr = false;
    lineOpen = false;
  }
  incomplete = lineOpen;
  return length;
}

std::int32_t SplitTextLines(platform::Heap& heap, const char* block, std::int32_t length, LogRecord*& head,
                            LogRecord*& tail, bool& incomplete, std::int32_t highlightAt) {
  // Whatever the caller left in the chain would otherwise leak when we overwrite it.
  FreeLogRecords(heap, head);
  tail = nullptr;
  incomplete = false;

  SplitState state = SplitState::LineStart;
  std::int32_t lineStart = 0;
  std::int32_t lineEnd = -1;
  for (std::int32_t i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(block[i]);
    if (state == SplitState::LineStart) {
      lineStart = i;
      lineEnd = -1;
      state = SplitState::InLine;
    }
    bool endsLine = false;
    if (state == SplitState::InLine) {
      if (IsTextByte(c)) continue;
      if (c == '\r') {
        lineEnd = i;
        state = SplitState::AfterCR;
        continue;
      }
      endsLine = c == '\n';
    } else {
      endsLine = c == '\n';  // after a CR only an LF keeps the block text
    }
    if (!endsLine) {
      incomplete = false;
      return lineStart;  // the complete lines before this one stay in the chain
    }
    if (lineEnd < 0) lineEnd = i;
    Colour colour = lineStart == highlightAt ? RewrittenHostLine : DataLine;
    if (!NewLogRecord(heap, head, tail, colour, lineEnd - lineStart, block + lineStart)) {
      FreeLogRecords(heap, head);
      tail = nullptr;
      return -1;
    }
    state = SplitState::LineStart;
  }

  incomplete = state != SplitState::LineStart;
  if (incomplete) {
    // A block that stops right after a CR: the line ends at the CR, which may yet be followed by an LF.
    std::int32_t end = state == SplitState::AfterCR ? lineEnd : length;
    Colour colour = lineStart == highlightAt ? RewrittenHostLine : DataLine;
    if (!NewLogRecord(heap, head, tail, colour, end - lineStart, block + lineStart)) {
      FreeLogRecords(heap, head);
      tail = nullptr;
      return -1;
    }
  }
  return length;
}

const char* CopyWithLfLineEnds(const char* p, const char* end, char* out, std::size_t room, std::size_t& written) {
  std::size_t n = 0;
  while (p < end && room - n >= 16) {
#if defined(__SSE2__)
    // Sixteen characters at a time are copied whole; where a CR is among them, the copy counts only up
    // to it (what follows it is copied again).
    if (end - p >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), v);
      int crs = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
      if (crs == 0) {
        p += 16;
        n += 16;
        continue;
      }
      int before = __builtin_ctz(static_cast<unsigned>(crs));
      p += before;
      n += static_cast<std::size_t>(before);
    }
#endif
    char c = *p++;
    if (c == '\r' && p < end && *p == '\n') continue;  // the LF alone stays
    out[n++] = c;
  }
  written = n;
  return p;
}

namespace {

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
