// Log records: one queued piece of display text in a single heap block (header, then the text), the
// log line kinds with their colours (laid out 0x00BBGGRR), and the helpers that build and free chains of records.
// Any thread may build or free a chain; the display queue hands chains from the main thread to its worker.
#pragma once

#include <cstdint>

#include "platform/heap.h"

namespace tapline::log {

using Colour = std::uint32_t;

// The kinds of log line, and the one place that gives each its colour; a record carries the colour.
enum class LineKind { Message, Inform, Error, Data, RewrittenHost, ClientData, ServerData };

constexpr Colour ColourOf(LineKind kind) {
  switch (kind) {
    case LineKind::Message: return 0x800000;        // navy, "tsmsg", time-stamped
    case LineKind::Inform: return 0x000080;         // maroon, "tsinform", time-stamped
    case LineKind::Error: return 0x0000FF;          // red, "tserror", time-stamped
    case LineKind::Data: return 0x000000;           // black, "tsdata", never time-stamped
    case LineKind::RewrittenHost: return 0x800080;  // purple, "tshost"
    case LineKind::ClientData: return 0x006400;     // dark green, "tsclient": what the client sent
    case LineKind::ServerData: return 0x808000;     // teal, "tsserver": what the server sent
  }
  return 0x000000;
}

inline constexpr Colour MessageLine = ColourOf(LineKind::Message);
inline constexpr Colour InformLine = ColourOf(LineKind::Inform);
inline constexpr Colour ErrorLine = ColourOf(LineKind::Error);
inline constexpr Colour DataLine = ColourOf(LineKind::Data);
inline constexpr Colour RewrittenHostLine = ColourOf(LineKind::RewrittenHost);
inline constexpr Colour ClientDataLine = ColourOf(LineKind::ClientData);
inline constexpr Colour ServerDataLine = ColourOf(LineKind::ServerData);

// Data lines (text lines and hex dumps, whichever way they went) carry no time stamp; every other kind does.
constexpr bool IsDataColour(Colour colour) {
  return colour == DataLine || colour == RewrittenHostLine || colour == ClientDataLine || colour == ServerDataLine;
}

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
