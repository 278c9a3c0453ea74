// Splitting a received block into text lines, and the hex dump line layout.
// Pure functions over the heap; no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "log/log_record.h"
#include "platform/heap.h"

namespace tapline::log {

// How much of a block forms text lines: the block length when all of it does (an unterminated last line
// included, which sets `incomplete`), else the offset where the first line holding a non-text byte begins.
std::int32_t ScanTextLines(const char* block, std::int32_t length, bool& incomplete);

// Fills the chain (emptied first) with the block's leading text lines, each a DataLine record ending in
// CR LF; the line that starts at `highlightAt` (if any) gets the colour of a rewritten Host line. Answers
// as ScanTextLines (the chain then holds the lines before the first non-text one), or -1 when memory ran
// out (the chain is then empty).
std::int32_t SplitTextLines(platform::Heap& heap, const char* block, std::int32_t length, LogRecord*& head,
                            LogRecord*& tail, bool& incomplete, std::int32_t highlightAt = -1);

// Copies the text from `p` to `end` into `out`, each CR LF as LF alone (any other CR stays), until the text
// ends or `room` (at least 16) has fewer than 16 places left; answers where it stopped, with the
// characters put into `out` in `written`. For outputs that want LF line ends (a terminal, a file).
const char* CopyWithLfLineEnds(const char* p, const char* end, char* out, std::size_t room, std::size_t& written);

inline constexpr int HexDumpLineLength = 72;  // 74 with its CR LF

// Composes the 72-character dump line for the bytes at `offset` (up to 16 of them) of a block of
// `length` bytes into `out` (no terminator).
void FormatHexDumpLine(char* out, const unsigned char* block, std::int32_t length, std::int32_t offset);

// Composes the dump lines for the bytes from `start` (0 <= start < length) to the block's end, each
// followed by CR LF, into `out`, which must have room for HexDumpBytes(length - start); answers the
// characters written.
std::size_t FormatHexDump(char* out, const unsigned char* block, std::int32_t length, std::int32_t start);

inline constexpr std::size_t HexDumpBytes(std::int32_t bytes) {
  return (static_cast<std::size_t>(bytes) + 15) / 16 * (HexDumpLineLength + 2);
}

}  // namespace tapline::log
