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


#if defined(__SSE2__)
// 0xFF in each place of the sixteen bytes at `p` that holds a text byte (0x20 to 0x7E, or TAB).
inline __m128i TextBytes(const char* p) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Printable as an unsigned range test: v - 0x20 is at most 0x5E.
  __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(0x20));
  __m128i printable = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(0x5E)), shifted);
  return _mm_or_si128(printable, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
}

inline std::uint64_t NotText(__m128i text) { return ~static_cast<std::uint64_t>(_mm_movemask_epi8(text)) & 0xFFFFu; }
#endif

// Bit k set where byte k of the `count` (at most 64) bytes at `p` is no text byte: a CR, an LF or
// anything else that ends the text.
inline std::uint64_t SpecialBytes(const char* p, std::int32_t count) {
  std::int32_t k = 0;
  std::uint64_t mask = 0;
#if defined(__SSE2__)
  if (count == 64) {
    __m128i a = TextBytes(p), b = TextBytes(p + 16), c = TextBytes(p + 32), d = TextBytes(p + 48);
    // A stretch of text all through, the usual case, is passed with one test.
    if (_mm_movemask_epi8(_mm_and_si128(_mm_and_si128(a, b), _mm_and_si128(c, d))) == 0xFFFF) return 0;
    return NotText(a) | NotText(b) << 16 | NotText(c) << 32 | NotText(d) << 48;
  }
  for (; k + 16 <= count; k += 16) mask |= NotText(TextBytes(p + k)) << k;
#endif
  for (; k < count; ++k) {
    if (!IsTextByte(static_cast<unsigned char>(p[k]))) mask |= std::uint64_t{1} << k;
  }
  return mask;
}

}  // namespace

std::int32_t ScanTextLines(const char* block, std::int32_t length, bool& incomplete) {
  // The same rules as SplitTextLines, without making the records nobody may look at. Runs of text bytes
  // are passed 64 bytes at a time; only the line ends and the bytes that end the text are looked at.
  incomplete = false;
  std::int32_t lineStart = 0;  // where the line being read began: just after the last LF
  for (std::int32_t base = 0; base < length; base += 64) {
    std::int32_t count = length - base < 64 ? length - base : 64;
    for (std::uint64_t mask = SpecialBytes(block + base, count); mask != 0; mask &= mask - 1) {
      std::int32_t i = base + std::countr_zero(mask);
      char c = block[i];
      if (c == '\n') {
        lineStart = i + 1;
      } else if (c != '\r') {
        return lineStart;
      } else if (i + 1 == length) {
        incomplete = true;  // the block stops after a CR: its LF may yet come
        return length;
      } else if (block[i + 1] != '\n') {
        return lineStart;  // a CR only ends a line together with an LF (which is met next)
      }
    }
  }
  incomplete = lineStart < length;
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

}  // namespace tapline::log
