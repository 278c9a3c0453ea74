// Splitting a received block into text lines, and telling how much of it forms them.
// Pure functions over the heap; any thread (each call uses only what it is given).
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

}  // namespace tapline::log
