// Splitting a received block into text lines, and telling how much of it forms them.
// Pure functions over the heap; any thread (each call uses only what it is given).
#pragma once

#include <cstddef>
#include <cstdint>

#include "log/log_record.h"
#include "platform/heap.h"

namespace tapline::log {

// Text is UTF-8 without control characters: printable ASCII, TAB, and well-formed sequences of
// characters from U+00A0 on (C0, DEL and the C1 controls U+0080-U+009F are not text); CR LF or LF ends a
// line. A character cut in two by the end of a read is text on both sides: the block may end in the
// well-formed beginning of one, and the next may start with the `continued` bytes that finish it.

// How much of a block forms text lines: the block length when all of it does (an unterminated last line
// included, which sets `incomplete`), else the offset where the first line holding a non-text byte begins.
std::int32_t ScanTextLines(const char* block, std::int32_t length, bool& incomplete, std::int32_t continued = 0);

// Fills the chain (emptied first) with the block's leading text lines, each a record of `colour` ending in
// CR LF; the line that starts at `highlightAt` (if any) gets the colour of a rewritten Host line. Answers
// as ScanTextLines (the chain then holds the lines before the first non-text one), or -1 when memory ran
// out (the chain is then empty).
std::int32_t SplitTextLines(platform::Heap& heap, const char* block, std::int32_t length, LogRecord*& head,
                            LogRecord*& tail, bool& incomplete, std::int32_t highlightAt = -1,
                            std::int32_t continued = 0, Colour colour = DataLine);

// The bytes (1 to 3) still missing from a character whose well-formed beginning ends the block; 0 when the
// block ends with a whole character or with no beginning of one.
std::int32_t CutCharacterBytes(const char* block, std::int32_t length);

// Whether all of the text is UTF-8 as the view shows it (no controls other than TAB, CR and LF).
bool IsUtf8Text(const char* text, std::size_t length);

// The text with every byte that IsUtf8Text refuses (a control, a stray or cut part of a character)
// replaced by "?", for an output that must never receive a raw control byte.
void ReplaceNonText(char* text, std::size_t length);

}  // namespace tapline::log
