// The HTTP rules of the data path: the Host line of a client's HTTP/1.x request header is replaced by one
// naming the remote host and port, and the header lines of the answer to it are shown as text. Pure
// functions over a block's bytes; main thread only (they use the relay's heap).
#pragma once

#include <cstdint>
#include <string>

#include "engine/transfer_buffer.h"
#include "platform/heap.h"

namespace tapline::engine {

// Where a replaced Host line now stands in its block, with its length (CR LF included); at -1 for none.
struct HostLine {
  std::int32_t at = -1;
  std::int32_t length = 0;
};

// The block is the `n` bytes of `buffer` from `old` on, all of it text lines. When it starts with an
// HTTP/1.x request line, the request's header (up to its first empty line) is searched: its last Host
// line is replaced at its own position by `line` (which ends in CR LF), unless the header names a proxy
// or the Host line does not end in CR LF, or `line` is empty. What follows the header is never touched. Sets
// `httpRequestSeen`. Answers the block's new length, or -2 when memory ran out (nothing has changed then).
std::int32_t RewriteHostHeader(platform::Heap& heap, TransferBuffer& buffer, const std::string& line,
                               std::int32_t& httpRequestSeen, std::int32_t old, std::int32_t n, HostLine& rewritten);

// A server block that did not form text lines entirely; its first `textLength` bytes are whole text lines.
// After a request, an answer's header lines (through the empty line) stay text: answers how many bytes
// they take (all `textLength` when the empty line is not among them). Otherwise 0.
std::int32_t KeepResponseHeader(std::int32_t httpRequestSeen, const char* block, std::int32_t textLength);

}  // namespace tapline::engine
