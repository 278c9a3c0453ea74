// The Host line of an HTTP/1.x request is replaced by one naming the remote host and port; the header
// lines of the answer to such a request are shown as text even when its body is not.
#include "engine/host_rewrite.h"

#include <cstring>

namespace tapline::engine {

namespace {

// One line of a block of text lines: its characters from `at`, and the ending it really had there:
// CR LF, LF, a lone CR at the block's end, or none.
struct Line {
  std::int32_t at;
  std::int32_t length;  // characters without the ending
  int ending;
  std::int32_t Extent() const { return length + ending; }
  bool StartsWith(const char* block, const char* prefix) const {
    std::size_t n = std::strlen(prefix);
    return static_cast<std::size_t>(length) >= n && std::memcmp(block + at, prefix, n) == 0;
  }
};

Line LineAt(const char* block, std::int32_t n, std::int32_t at) {
  const void* lf = std::memchr(block + at, '\n', static_cast<std::size_t>(n - at));
  if (lf != nullptr) {
    auto end = static_cast<std::int32_t>(static_cast<const char*>(lf) - block);
    if (end > at && block[end - 1] == '\r') return {at, end - 1 - at, 2};
    return {at, end - at, 1};
  }
  if (n > at && block[n - 1] == '\r') return {at, n - 1 - at, 1};
  return {at, n - at, 0};
}

}  // namespace

std::int32_t RewriteHostHeader(platform::Heap& heap, TransferBuffer& buffer, const std::string& line,
                               std::int32_t& httpRequestSeen, std::int32_t old, std::int32_t n, HostLine& rewritten) {
  rewritten = HostLine{};
  const char* block = buffer.Data + old;
  Line first = LineAt(block, n, 0);
  // The request line ends in "HTTP/1." and one more character.
  if (first.length < 8 || std::memcmp(block + first.length - 8, "HTTP/1.", 7) != 0) {
    httpRequestSeen = 0;
    return n;
  }
  httpRequestSeen = 1;
  if (line.empty()) return n;  // requests keep their Host line

  Line host{-1, 0, 0};
  bool proxy = false;
  // Only the header: a body, or a second request behind this one, is forwarded exactly as it came.
  for (std::int32_t at = first.Extent(); at < n;) {
    Line l = LineAt(block, n, at);
    if (l.length == 0) break;
    if (l.StartsWith(block, "Host: ")) {
      host = l;
    } else if (l.StartsWith(block, "Proxy-Connection: ")) {
      proxy = true;
    }
    at += l.Extent();
  }
  if (host.at < 0 || proxy) return n;
  // Only a line ended by CR LF is replaced; any other line is forwarded and shown as it was sent.
  if (host.ending != 2) return n;

  auto newLength = static_cast<std::int32_t>(line.size());
  std::int32_t diff = newLength - host.Extent();
  // The waiting bytes must never run past the block: make room first, and treat no room as no memory.
  if (buffer.Length + diff > buffer.Capacity) {
    std::int32_t want = (buffer.Length + diff) / 4096 * 4096 + 4096;
    ResizeBuffer(heap, buffer, want);
    if (buffer.Length + diff > buffer.Capacity) return -2;
  }
  // Replace the line at its own place in the block (the data may have moved while growing).
  char* lineStart = buffer.Data + old + host.at;
  char* after = lineStart + host.Extent();
  std::size_t rest = static_cast<std::size_t>(buffer.Data + buffer.Length - after);
  std::memmove(lineStart + newLength, after, rest);
  std::memcpy(lineStart, line.data(), line.size());
  buffer.Length += diff;
  rewritten = HostLine{host.at, newLength};
  return n + diff;
}

std::int32_t KeepResponseHeader(std::int32_t httpRequestSeen, const char* block, std::int32_t textLength) {
  if (httpRequestSeen != 1 || textLength == 0) return 0;
  Line first = LineAt(block, textLength, 0);
  if (!first.StartsWith(block, "HTTP/1.")) return 0;
  for (std::int32_t at = 0; at < textLength;) {
    Line l = LineAt(block, textLength, at);
    at += l.Extent();
    if (l.length == 0) return at;
  }
  return textLength;
}

}  // namespace tapline::engine
