// Log records: one queued piece of display text in a single heap block (header, then the text), the
// log kinds (colours, laid out 0x00BBGGRR), and the helpers that build and free chains of records.
#pragma once

#include <cstdint>

#include "platform/heap.h"

namespace tapline::log {

using Colour = std::uint32_t;

inline constexpr Colour MessageLine = 0x800000;        // navy, "tsmsg", time-stamped
inline constexpr Colour InformLine = 0x000080;         // maroon, "tsinform", time-stamped
inline constexpr Colour ErrorLine = 0x0000FF;          // red, "tserror", time-stamped
inline constexpr Colour DataLine = 0x000000;           // black, "tsdata", never time-stamped
inline constexpr Colour RewrittenHostLine = 0x800080;  // purple in the view; written to the file as data

struct LogRecord {
  LogRecord* Next;
  std::uint32_t Colour;  // a Colour value
  std::int32_t Length;  // characters of the text, its closing CR LF included, the NUL not

  // The text follows the header in the same block; it ends in CR LF and a NUL.
  char* Text() { return reinterpret_cast<char*>(this + 1); }
  const char* Text() const { return reinterpret_cast<const char*>(this + 1); }
};

// Bytes to allocate for a record whose text holds `characters` characters and the NUL.
inline constexpr std::size_t LogRecordBytes(std::size_t characters) { return sizeof(LogRecord) + characters + 1; }

// Makes a record of `length` characters of `text` (no line break), adds CR LF and a NUL, and appends it to
// the chain. The allocation drains the display queue and retries; false when memory is still short.
bool NewLogRecord(platform::Heap& heap, LogRecord*& head, LogRecord*& tail, Colour colour, std::int32_t length,
                  const char* text);

// Links `record` at the chain's tail with the given colour and length.
void AppendLogRecord(LogRecord*& head, LogRecord*& tail, Colour colour, std::int32_t length, LogRecord* record);

// Frees every record from `head` on and leaves `head` null.
void FreeLogRecords(platform::Heap& heap, LogRecord*& head);

}  // namespace tapline::log
