// Classifying a received block the way the data path does: the block sits in a real transfer buffer
// (behind older waiting bytes), is scanned and split into text lines, and then either has the Host line
// of its request header rewritten (a client block that is all text) or keeps the header lines of an
// answer (a block that is not); the log's split of the result shows the rewritten line in its colour.
//
// Input: byte 0 chooses the host and port texts, whether the buffer is filled to its capacity and an
// allocation failure mode; byte 1 is how many of the remaining bytes are older waiting bytes; the rest
// is the new block.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/host_rewrite.h"
#include "engine/transfer_buffer.h"
#include "log/log_record.h"
#include "log/text_lines.h"
#include "platform/heap.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using tapline::engine::KeepResponseHeader;
using tapline::engine::ReleaseBuffer;
using tapline::engine::ResizeBuffer;
using tapline::engine::RewriteHostHeader;
using tapline::engine::TransferBuffer;
using tapline::log::LogRecord;

constexpr std::int32_t Page = 4096;

const std::string kHosts[] = {"127.0.0.1", "example.org", "", std::string(63, 'h')};
const std::string kPorts[] = {"80", "8080", "", "1234567"};

enum class Fault {
  None,           // every allocation succeeds
  SplitFails,     // every allocation of the split fails
  DrainAndRetry,  // the first allocation fails once, the drain hook frees something and the retry works
  RewriteFails,   // every allocation of the rewrite (to grow the block) fails
};

// One line of the block as the data path must see it.
struct Line {
  std::int32_t start;   // offset of its first character in the block
  std::string chars;    // without its line ending
  std::int32_t ending;  // bytes of the ending in the block: 2 CR LF, 1 LF or a lone final CR, 0 none
};

struct Model {
  std::vector<Line> lines;  // the lines the chain must hold
  bool whole = false;       // the whole block formed lines
  std::int32_t textLength = 0;
  bool incomplete = false;
};

bool IsTextByte(unsigned char c) { return (c >= 0x20 && c <= 0x7E) || c == 0x09; }

// A code point that text may hold beyond ASCII: no C1 control, no surrogate, not past U+10FFFF.
bool TextCodePoint(std::uint32_t cp, int bytes) {
  const std::uint32_t shortest = bytes == 2 ? 0x80 : bytes == 3 ? 0x800 : 0x10000;
  return cp >= shortest && cp >= 0xA0 && !(cp >= 0xD800 && cp <= 0xDFFF) && cp <= 0x10FFFF;
}

// Printable ASCII, TAB and UTF-8 characters as above; when `cutAllowed`, the piece may end in the
// beginning of such a character (some way of finishing it makes one: the smallest or the largest).
bool AllText(std::string_view s, bool cutAllowed) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (IsTextByte(c)) {
      ++i;
      continue;
    }
    const int n = c >= 0xF0 && c <= 0xF7 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC0 && c <= 0xDF ? 2 : 0;
    if (n == 0) return false;
    std::uint32_t low = c & (0x7Fu >> n);
    std::uint32_t high = low;
    int k = 1;
    for (; k < n && i + static_cast<std::size_t>(k) < s.size(); ++k) {
      const auto d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((d & 0xC0) != 0x80) return false;
      low = low << 6 | (d & 0x3Fu);
      high = high << 6 | (d & 0x3Fu);
    }
    if (k < n) {
      if (!cutAllowed) return false;
      for (; k < n; ++k) {
        low = low << 6;
        high = high << 6 | 0x3Fu;
      }
      return TextCodePoint(low, n) || TextCodePoint(high, n);
    }
    if (!TextCodePoint(low, n)) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

// Lines are cut at each LF; a CR right before the LF belongs to the ending. Only printable ASCII and
// TAB and UTF-8 text characters may be inside a line. The last piece may lack its LF (and may end in a CR,
// or in a character cut by the end of the block).
Model Split(std::string_view block) {
  Model m;
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t lf = block.find('\n', pos);
    bool last = lf == std::string_view::npos;
    std::size_t end = last ? block.size() : lf;
    std::string_view piece = block.substr(pos, end - pos);
    std::int32_t ending = last ? 0 : 1;
    if (!piece.empty() && piece.back() == '\r') {
      piece.remove_suffix(1);
      ++ending;
    }
    if (!AllText(piece, last && ending == 0)) {
      m.textLength = static_cast<std::int32_t>(pos);
      return m;
    }
    m.lines.push_back({static_cast<std::int32_t>(pos), std::string(piece), ending});
    if (last) {
      m.incomplete = true;
      break;
    }
    pos = lf + 1;
  }
  m.whole = true;
  m.textLength = static_cast<std::int32_t>(block.size());
  return m;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

struct Expected {
  std::string text;
  std::uint32_t colour;
};

void CheckChain(const LogRecord* head, const LogRecord* tail, const std::vector<Expected>& expected,
                const char* what) {
  const LogRecord* r = head;
  const LogRecord* last = nullptr;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    FUZZ_CHECK(r != nullptr, "%s: chain ends after %zu records, %zu expected", what, i, expected.size());
    const std::string& want = expected[i].text;
    FUZZ_CHECK(r->Length == static_cast<std::int32_t>(want.size()), "%s: record %zu has Length %d, %zu expected",
               what, i, r->Length, want.size());
    FUZZ_CHECK(std::memcmp(r->Text(), want.data(), want.size()) == 0 && r->Text()[want.size()] == '\0',
               "%s: record %zu text differs", what, i);
    FUZZ_CHECK(r->Colour == expected[i].colour, "%s: record %zu colour %06X, %06X expected", what, i,
               static_cast<unsigned>(r->Colour), static_cast<unsigned>(expected[i].colour));
    last = r;
    r = r->Next;
  }
  FUZZ_CHECK(r == nullptr, "%s: chain holds more than %zu records", what, expected.size());
  FUZZ_CHECK(tail == last, "%s: tail is not the chain's last record", what);
}

std::vector<Expected> LinesAsRecords(const std::vector<Line>& lines, std::size_t count) {
  std::vector<Expected> records;
  for (std::size_t i = 0; i < count; ++i) records.push_back({lines[i].chars + "\r\n", tapline::log::DataLine});
  return records;
}

// Without knowing which line the rewrite chose: the output is the input, or the input with one line that
// began with "Host: " and ended in CR LF replaced by exactly `newLine`.
bool OneHostLineReplaced(std::string_view in, std::string_view out, std::string_view newLine) {
  if (in == out) return true;
  for (std::size_t ls = 0; ls < in.size();) {
    std::size_t lf = in.find('\n', ls);
    if (lf == std::string_view::npos) break;
    std::size_t le = lf + 1;
    if (StartsWith(in.substr(ls), "Host: ") && lf > ls && in[lf - 1] == '\r' &&
        out.size() == in.size() - (le - ls) + newLine.size() && out.substr(0, ls) == in.substr(0, ls) &&
        out.substr(ls, newLine.size()) == newLine && out.substr(ls + newLine.size()) == in.substr(le)) {
      return true;
    }
    ls = le;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t flags = data[0];
  const std::string& hostText = kHosts[flags & 3];
  const std::string& portText = kPorts[(flags >> 2) & 3];
  const bool fill = (flags & 0x10) != 0;
  const auto fault = static_cast<Fault>((flags >> 5) & 3);
  std::size_t rest = size - 2;
  std::size_t oldCount = data[1] < rest ? data[1] : rest - 1;
  std::string older(reinterpret_cast<const char*>(data + 2), oldCount);
  std::string block(reinterpret_cast<const char*>(data + 2 + oldCount), rest - oldCount);
  const auto n = static_cast<std::int32_t>(block.size());

  // A buffer as ReadAvailable leaves it: the next page above what it holds, or exactly full.
  std::int32_t held = static_cast<std::int32_t>(older.size()) + n;
  std::int32_t capacity = fill ? (held + Page - 1) / Page * Page : held / Page * Page + Page;
  if (capacity < 2 * Page) capacity = 2 * Page;
  if (fill) older.insert(0, static_cast<std::size_t>(capacity - held), 'F');
  const auto old = static_cast<std::int32_t>(older.size());

  tapline::platform::Heap heap;
  TransferBuffer buffer;
  FUZZ_CHECK(ResizeBuffer(heap, buffer, capacity) == 0 && buffer.Data != nullptr, "reserving %d bytes", capacity);
  FUZZ_CHECK(buffer.Capacity == capacity, "capacity %d after reserving %d", buffer.Capacity, capacity);
  std::memcpy(buffer.Data, older.data(), older.size());
  std::memcpy(buffer.Data + old, block.data(), block.size());
  buffer.Length = old + n;
  FUZZ_CHECK(buffer.Length <= buffer.Capacity, "Length %d > Capacity %d", buffer.Length, buffer.Capacity);

  const Model model = Split(block);
  LogRecord* head = nullptr;
  LogRecord* tail = nullptr;
  bool incomplete = true;

  int drains = 0;
  if (fault == Fault::SplitFails) heap.SetFailing(true);
  if (fault == Fault::DrainAndRetry) {
    heap.FailNext(1);
    heap.SetDrainHook([&drains] { return ++drains == 1; });
  }
  std::int32_t whole = tapline::log::SplitTextLines(heap, buffer.Data + old, n, head, tail, incomplete);
  heap.SetFailing(false);
  bool scannedIncomplete = true;
  std::int32_t scanned = tapline::log::ScanTextLines(buffer.Data + old, n, scannedIncomplete);
  FUZZ_CHECK(scanned == model.textLength, "ScanTextLines answered %d, %d expected", scanned, model.textLength);
  FUZZ_CHECK(scannedIncomplete == model.incomplete, "scan's incomplete flag %d, %d expected", scannedIncomplete,
             model.incomplete);
  heap.FailNext(0);
  heap.SetDrainHook(nullptr);

  if (fault == Fault::SplitFails && !model.lines.empty()) {
    FUZZ_CHECK(whole == -1, "a split whose allocations fail answered %d", whole);
    FUZZ_CHECK(head == nullptr && tail == nullptr, "a failed split left a chain");
    ReleaseBuffer(heap, buffer);
    return 0;
  }
  if (fault == Fault::DrainAndRetry) {
    FUZZ_CHECK(drains == (model.lines.empty() ? 0 : 1), "%d drains for one refused allocation", drains);
  }
  FUZZ_CHECK(whole == model.textLength, "SplitTextLines answered %d, %d expected", whole, model.textLength);
  FUZZ_CHECK(incomplete == model.incomplete, "incomplete flag %d, %d expected", incomplete, model.incomplete);
  CheckChain(head, tail, LinesAsRecords(model.lines, model.lines.size()), "split");
  FUZZ_CHECK(std::memcmp(buffer.Data, older.data(), older.size()) == 0 &&
                 std::memcmp(buffer.Data + old, block.data(), block.size()) == 0,
             "the split changed the buffer");

  if (whole == n) {
    // What the rewrite must do: the last Host line of the request's header (the lines after the request
    // line up to the first empty one), unless the header names a proxy or that line does not end in
    // CR LF, replaced where it stands. Nothing after the header is touched.
    const std::string& first = model.lines[0].chars;
    bool request = first.size() >= 8 && first.compare(first.size() - 8, 7, "HTTP/1.") == 0;
    std::size_t hostIndex = 0;
    bool proxy = false;
    for (std::size_t i = 1; i < model.lines.size() && !model.lines[i].chars.empty(); ++i) {
      if (StartsWith(model.lines[i].chars, "Host: ")) {
        hostIndex = i;
      } else if (StartsWith(model.lines[i].chars, "Proxy-Connection: ")) {
        proxy = true;
      }
    }
    bool rewrite = request && hostIndex != 0 && !proxy && model.lines[hostIndex].ending == 2;
    std::string newLine = "Host: " + hostText + ":" + portText + "\r\n";

    std::string expectedBlock = block;
    std::vector<Expected> expectedChain = LinesAsRecords(model.lines, model.lines.size());
    std::int32_t expectedResult = n;
    // The rewrite allocates only to grow a block the longer line does not fit.
    std::int32_t growth = rewrite ? static_cast<std::int32_t>(newLine.size()) -
                                        static_cast<std::int32_t>(model.lines[hostIndex].chars.size() + 2)
                                  : 0;
    bool outOfMemory = rewrite && fault == Fault::RewriteFails && buffer.Length + growth > buffer.Capacity;
    if (outOfMemory) {
      expectedResult = -2;
    } else if (rewrite) {
      const Line& line = model.lines[hostIndex];
      expectedBlock.replace(static_cast<std::size_t>(line.start), line.chars.size() + 2, newLine);
      expectedChain[hostIndex] = {newLine, tapline::log::RewrittenHostLine};
      expectedResult = static_cast<std::int32_t>(expectedBlock.size());
    }

    std::int32_t seen = -7;
    tapline::engine::HostLine rewritten;
    if (fault == Fault::RewriteFails) heap.SetFailing(true);
    std::int32_t result = RewriteHostHeader(heap, buffer, newLine, seen, old, n, rewritten);
    heap.SetFailing(false);
    if (rewrite && !outOfMemory) {
      FUZZ_CHECK(rewritten.at == model.lines[hostIndex].start && rewritten.length == static_cast<std::int32_t>(newLine.size()),
                 "the rewritten line is reported at %d (%d bytes)", rewritten.at, rewritten.length);
    } else {
      FUZZ_CHECK(rewritten.at == -1, "a line reported rewritten at %d when none was", rewritten.at);
    }
    // The log splits what is forwarded, marking the rewritten line.
    tapline::log::FreeLogRecords(heap, head);
    tail = nullptr;
    bool ignored = false;
    FUZZ_CHECK(tapline::log::SplitTextLines(heap, buffer.Data + old, buffer.Length - old, head, tail, ignored,
                                            rewritten.at) == buffer.Length - old,
               "the forwarded block no longer forms text lines");

    FUZZ_CHECK(seen == (request ? 1 : 0), "httpRequestSeen %d for a %s", seen, request ? "request" : "non-request");
    FUZZ_CHECK(result == expectedResult, "RewriteHostHeader answered %d, %d expected", result, expectedResult);
    FUZZ_CHECK(buffer.Length <= buffer.Capacity, "Length %d > Capacity %d", buffer.Length, buffer.Capacity);
    FUZZ_CHECK(buffer.Capacity % Page == 0, "capacity %d is not whole pages", buffer.Capacity);
    FUZZ_CHECK(buffer.Length == old + static_cast<std::int32_t>(expectedBlock.size()), "Length %d, %zu expected",
               buffer.Length, old + expectedBlock.size());
    FUZZ_CHECK(std::memcmp(buffer.Data, older.data(), older.size()) == 0, "the older waiting bytes changed");
    std::string_view forwarded(buffer.Data + old, static_cast<std::size_t>(buffer.Length - old));
    FUZZ_CHECK(OneHostLineReplaced(block, forwarded, newLine),
               "the forwarded bytes differ from the block by more than one Host line");
    FUZZ_CHECK(forwarded == expectedBlock, "the forwarded bytes are not the block with its last Host line replaced");
    CheckChain(head, tail, expectedChain, "rewrite");
  } else {
    // An answer's header lines up to and including the empty line stay text, after a request.
    std::vector<Expected> expectedChain;
    std::int32_t expectedCount = 0;
    bool stoppedAtEmpty = false;
    if (!model.lines.empty() && StartsWith(model.lines[0].chars, "HTTP/1.")) {
      std::size_t keep = model.lines.size();
      expectedCount = whole;
      for (std::size_t i = 0; i < model.lines.size(); ++i) {
        if (model.lines[i].chars.empty()) {
          keep = i + 1;
          expectedCount = model.lines[i].start + model.lines[i].ending;
          stoppedAtEmpty = true;
          break;
        }
      }
      expectedChain = LinesAsRecords(model.lines, keep);
    }
    std::int32_t count = KeepResponseHeader(1, buffer.Data + old, whole);
    FUZZ_CHECK(count >= 0 && count <= whole, "KeepResponseHeader answered %d for %d text bytes", count, whole);
    FUZZ_CHECK(count == expectedCount, "KeepResponseHeader answered %d, %d expected", count, expectedCount);
    // The log shows the lines the header takes.
    tapline::log::FreeLogRecords(heap, head);
    tail = nullptr;
    bool ignored = false;
    FUZZ_CHECK(tapline::log::SplitTextLines(heap, buffer.Data + old, count, head, tail, ignored) == count,
               "the kept header does not form text lines");
    CheckChain(head, tail, expectedChain, "answer header");
    if (stoppedAtEmpty) FUZZ_CHECK(tail->Length == 2, "the kept header ends in a record of Length %d", tail->Length);
    FUZZ_CHECK(buffer.Length == old + n && std::memcmp(buffer.Data + old, block.data(), block.size()) == 0,
               "keeping the answer's header changed the buffer");
  }

  tapline::log::FreeLogRecords(heap, head);
  ReleaseBuffer(heap, buffer);
  return 0;
}
