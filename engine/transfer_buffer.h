// Transfer buffers: the bytes of one direction of a connection that were read from one socket and not
// yet taken by the other. A flat block whose waiting bytes always start at its front. Main thread only.
#pragma once

#include <cstdint>

#include "platform/heap.h"
#include "platform/winsock.h"

namespace tapline::engine {

struct TransferBuffer {
  char* Data = nullptr;       // owned block of Capacity bytes; null until the first reservation
  std::int32_t Capacity = 0;  // a multiple of 4096, at least 8192 once reserved
  std::int32_t Length = 0;    // waiting bytes, at the front of the block
  // The last read found more waiting than the block had room for: the next one asks first what waits.
  bool Overflowed = false;
};

// 0 = done, or failed while the buffer stays usable; -1 = failed and the buffer is full.
int ResizeBuffer(platform::Heap& heap, TransferBuffer& buffer, std::int32_t newCapacity);
// The most one read takes when more may follow. A socket can hold megabytes; reading, splitting and
// logging all of it in one turn would stall the message loop and push the bytes out of the cache.
// What is left is reported again by the next FD_READ.
constexpr std::uint32_t ReadStep = 256 * 1024;
// The block a side first reads into: a small message fits, a larger read grows it.
constexpr std::int32_t FirstBlock = 8192;
// No limit but what is waiting: for the last read, after which no FD_READ follows.
constexpr std::uint32_t ReadAll = 0xFFFFFFFF;

struct ReadResult {
  enum Outcome { Bytes, Nothing, Failed, OutOfMemory, PeerClosed };
  Outcome outcome;
  std::int32_t count = 0;  // bytes appended, for Bytes
};

// Takes what the socket reports available, but not more than `most`. Failed leaves the socket layer's
// error number to be read. Unless the last read overflowed, the read goes straight into the room the
// block has and asks what else waits only when it filled it: one system call for a small block.
ReadResult ReadAvailable(platform::Heap& heap, winsock::Winsock& ws, TransferBuffer& buffer, winsock::SOCKET s,
                         std::uint32_t most = ReadAll);
// Bytes sent from the front (the buffer is unchanged), or -1 on a socket error.
int SendWaiting(winsock::Winsock& ws, TransferBuffer& buffer, winsock::SOCKET s);
// Removes `count` bytes from the front; shrinks a block left with more than 8192 bytes free.
void DropFront(platform::Heap& heap, TransferBuffer& buffer, std::int32_t count);
// SendWaiting, then DropFront of what was sent.
int SendAndDrop(platform::Heap& heap, winsock::Winsock& ws, TransferBuffer& buffer, winsock::SOCKET s);
// Frees the block; Length stays as it was for the counters.
void ReleaseBuffer(platform::Heap& heap, TransferBuffer& buffer);

}  // namespace tapline::engine
