// The HTTP rules of the data path: the Host line of a client's HTTP/1.x request is replaced by one naming
// the remote host and port as entered, and the header lines of the answer to it are shown as text.
#pragma once

#include <cstdint>
#include <string>

#include "engine/transfer_buffer.h"
#include "log/log_record.h"
#include "platform/heap.h"

namespace tapline::engine {

// The block is the `n` bytes of `buffer` from `old` on; `head`..`tail` are its text lines (the whole block
// formed lines). Replaces the request's last Host line, in the data and in the chain (as a purple record),
// unless the request names a proxy or the line does not end in CR LF. Sets `httpRequestSeen`. Answers the
// block's new length, or -2 when memory ran out (nothing has changed then).
std::int32_t RewriteHostHeader(platform::Heap& heap, TransferBuffer& buffer, const std::string& hostText,
                               const std::string& portText, std::int32_t& httpRequestSeen, log::LogRecord*& head,
                               log::LogRecord*& tail, std::int32_t old, std::int32_t n);

// A server block of `n` bytes that did not form text lines entirely; `textLength` is where its first
// non-text line begins and `head`..`tail` the lines before it. After a request, an answer's header lines
// (through the empty line) stay text: answers how many bytes they take. Otherwise frees the chain, answers 0.
std::int32_t KeepResponseHeader(platform::Heap& heap, std::int32_t httpRequestSeen, log::LogRecord*& head,
                                log::LogRecord*& tail, const char* block, std::int32_t n, std::int32_t textLength);

}  // namespace tapline::engine
