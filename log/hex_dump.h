// The hex dump's line layout: 72-character lines of offset, bytes and characters, one line or a whole
// block's at a time. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tapline::log {

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
