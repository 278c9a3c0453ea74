#include "log/text_lines.h"

#include <cstring>

namespace tapline::log {

namespace {

enum class SplitState { LineStart, InLine, AfterCR };

bool IsTextByte(unsigned char c) { return (c >= 0x20 && c <= 0x7E) || c == 0x09; }

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

std::int32_t SplitTextLines(platform::Heap& heap, const char* block, std::int32_t length, LogRecord*& head,
                            LogRecord*& tail, bool& incomplete) {
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
    if (!NewLogRecord(heap, head, tail, DataLine, lineEnd - lineStart, block + lineStart)) {
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
    if (!NewLogRecord(heap, head, tail, DataLine, end - lineStart, block + lineStart)) {
      FreeLogRecords(heap, head);
      tail = nullptr;
      return -1;
    }
  }
  return length;
}

namespace {

// " XX" for every byte value, and the character the dump shows for it.
struct HexTables {
  char triples[256][3];
  char shown[256];
  constexpr HexTables() : triples{}, shown{} {
    const char* digits = "0123456789ABCDEF";
    for (int b = 0; b < 256; ++b) {
      triples[b][0] = ' ';
      triples[b][1] = digits[b >> 4];
      triples[b][2] = digits[b & 15];
      shown[b] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    }
  }
};
constexpr HexTables kTables;
constexpr const char (&kHexTriples)[256][3] = kTables.triples;
constexpr const char (&kShown)[256] = kTables.shown;

}  // namespace

void FormatHexDumpLine(char* out, const unsigned char* block, std::int32_t length, std::int32_t offset) {
  // Offsets up to 0xFFFF take "%04X " and leave every separator in place. Each wider offset digit eats one
  // separator blank (the column gap first, then the middle gap between the two halves, then the gap
  // before the characters), so the line keeps 72 characters and the character column stays at 56.
  auto value = static_cast<std::uint32_t>(offset);
  int digits = 4;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  char* p = out;
  for (int d = digits - 1; d >= 0; --d) *p++ = kHexDigits[(value >> (4 * d)) & 0xF];
  if (digits == 4) *p++ = ' ';

  // Bytes present on this line; the rest of its positions are blank.
  std::int64_t left = static_cast<std::int64_t>(length) - offset;
  int count = left >= 16 ? 16 : (left > 0 ? static_cast<int>(left) : 0);
  const unsigned char* bytes = block + offset;
  if (count == 16 && digits <= 5) {
    // The common case, a full line with the plain layout, without a test per position.
    for (int k = 0; k < 8; ++k, p += 3) std::memcpy(p, kHexTriples[bytes[k]], 3);
    *p++ = ' ';
    for (int k = 8; k < 16; ++k, p += 3) std::memcpy(p, kHexTriples[bytes[k]], 3);
    p[0] = p[1] = ' ';
    p += 2;
    for (int k = 0; k < 16; ++k) p[k] = kShown[bytes[k]];
    return;
  }
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

  for (int k = 0; k < count; ++k) {
    unsigned char b = bytes[k];
    p[k] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
  }
  for (int k = count; k < 16; ++k) p[k] = ' ';
}

}  // namespace tapline::log
