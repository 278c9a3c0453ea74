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

bool IsContinuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

// The UTF-8 character that begins at `p` with `left` bytes available: its length (2 to 4) when it is
// well formed and no C1 control, 0 when it is not text, -1 when it is a well-formed beginning that the
// end cuts short. Overlong forms, surrogates and values past U+10FFFF are not well formed.
int Utf8Character(const unsigned char* p, std::int64_t left) {
  const unsigned char b = p[0];
  int need = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    need = 2;
    if (b == 0xC2) low = 0xA0;  // C2 80 to C2 9F are the C1 controls
  } else if (b == 0xE0) {
    need = 3;
    low = 0xA0;
  } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
    need = 3;
  } else if (b == 0xED) {
    need = 3;
    high = 0x9F;
  } else if (b == 0xF0) {
    need = 4;
    low = 0x90;
  } else if (b >= 0xF1 && b <= 0xF3) {
    need = 4;
  } else if (b == 0xF4) {
    need = 4;
    high = 0x8F;
  } else {
    return 0;
  }
  for (int k = 1; k < need; ++k) {
    if (k >= left) return -1;
    const unsigned char c = p[k];
    if (k == 1 ? (c < low || c > high) : !IsContinuation(c)) return 0;
  }
  return need;
}

// How many of the first `continued` bytes finish a character of the previous block.
std::int32_t LeadingContinuation(const char* block, std::int32_t length, std::int32_t continued) {
  std::int32_t k = 0;
  while (k < continued && k < length && k < 3 && IsContinuation(static_cast<unsigned char>(block[k]))) ++k;
  return k == continued || k == length ? k : 0;
}


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

std::int32_t ScanTextLines(const char* block, std::int32_t length, bool& incomplete, std::int32_t continued) {
  // The same rules as SplitTextLines, without making the records nobody may look at. Runs of text bytes
  // are passed 64 bytes at a time; only the line ends and the bytes that end the text are looked at.
  incomplete = false;
  std::int32_t lineStart = 0;  // where the line being read began: just after the last LF
  std::int32_t skipTo = LeadingContinuation(block, length, continued);  // bytes of a character already passed
  for (std::int32_t base = 0; base < length; base += 64) {
    std::int32_t count = length - base < 64 ? length - base : 64;
    for (std::uint64_t mask = SpecialBytes(block + base, count); mask != 0; mask &= mask - 1) {
      std::int32_t i = base + std::countr_zero(mask);
      if (i < skipTo) continue;
      char c = block[i];
      if (static_cast<unsigned char>(c) >= 0x80) {
        int n = Utf8Character(reinterpret_cast<const unsigned char*>(block) + i, length - i);
        if (n == 0) return lineStart;
        if (n < 0) {
          incomplete = true;  // a character cut by the end of the read: text, its line unfinished
          return length;
        }
        skipTo = i + n;
        continue;
      }
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
                            LogRecord*& tail, bool& incomplete, std::int32_t highlightAt, std::int32_t continued,
                            Colour dataColour) {
  // Whatever the caller left in the chain would otherwise leak when we overwrite it.
  FreeLogRecords(heap, head);
  tail = nullptr;
  incomplete = false;

  SplitState state = SplitState::LineStart;
  std::int32_t lineStart = 0;
  std::int32_t lineEnd = -1;
  const std::int32_t passed = LeadingContinuation(block, length, continued);
  for (std::int32_t i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(block[i]);
    if (state == SplitState::LineStart) {
      lineStart = i;
      lineEnd = -1;
      state = SplitState::InLine;
    }
    bool endsLine = false;
    if (state == SplitState::InLine) {
      if (IsTextByte(c) || i < passed) continue;
      if (c >= 0x80) {
        int n = Utf8Character(reinterpret_cast<const unsigned char*>(block) + i, length - i);
        if (n > 0) {
          i += n - 1;
          continue;
        }
        if (n < 0) {
          i = length - 1;  // a character cut by the end: the rest of the block is its unfinished line
          continue;
        }
      }
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
    Colour colour = lineStart == highlightAt ? RewrittenHostLine : dataColour;
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
    Colour colour = lineStart == highlightAt ? RewrittenHostLine : dataColour;
    if (!NewLogRecord(heap, head, tail, colour, end - lineStart, block + lineStart)) {
      FreeLogRecords(heap, head);
      tail = nullptr;
      return -1;
    }
  }
  return length;
}

std::int32_t CutCharacterBytes(const char* block, std::int32_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(block);
  // The beginning of a character is at most three bytes back.
  for (std::int32_t back = 1; back <= 3 && back <= length; ++back) {
    const unsigned char b = bytes[length - back];
    if (IsContinuation(b)) continue;
    if (b < 0xC2) return 0;
    int n = Utf8Character(bytes + length - back, back);
    if (n >= 0) return 0;
    // How long its character is, from the lead byte.
    int need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    return need - back;
  }
  return 0;
}

bool IsUtf8Text(const char* text, std::size_t length) {
  // Runs of printable ASCII are passed 64 bytes at a time, as the scan does.
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t skipTo = 0;
  for (std::size_t base = 0; base < length; base += 64) {
    auto count = static_cast<std::int32_t>(length - base < 64 ? length - base : 64);
    for (std::uint64_t mask = SpecialBytes(text + base, count); mask != 0; mask &= mask - 1) {
      std::size_t i = base + static_cast<std::size_t>(std::countr_zero(mask));
      if (i < skipTo) continue;
      const unsigned char c = bytes[i];
      if (c == '\r' || c == '\n') continue;
      if (c < 0x80) return false;
      int n = Utf8Character(bytes + i, static_cast<std::int64_t>(length - i));
      if (n <= 0) return false;
      skipTo = i + static_cast<std::size_t>(n);
    }
  }
  return true;
}

void ReplaceNonText(char* text, std::size_t length) {
  auto* bytes = reinterpret_cast<unsigned char*>(text);
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    if (IsTextByte(c) || c == '\r' || c == '\n') continue;
    int n = c >= 0x80 ? Utf8Character(bytes + i, static_cast<std::int64_t>(length - i)) : 0;
    if (n > 0) {
      i += static_cast<std::size_t>(n) - 1;
    } else {
      bytes[i] = '?';
    }
  }
}

}  // namespace tapline::log
