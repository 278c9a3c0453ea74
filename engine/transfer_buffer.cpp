#include "engine/transfer_buffer.h"

#include <cstring>
#include <limits>

namespace tapline::engine {

using winsock::SOCKET;
using winsock::SOCKET_ERROR;
using winsock::WSAEWOULDBLOCK;

namespace {
constexpr std::int32_t Page = 4096;
constexpr std::int32_t Reserve = 8192;
}  // namespace

int ResizeBuffer(platform::Heap& heap, TransferBuffer& buffer, std::int32_t newCapacity) {
  for (;;) {
    void* block = heap.Reallocate(buffer.Data, static_cast<std::size_t>(newCapacity));
    if (block != nullptr) {
      buffer.Data = static_cast<char*>(block);
      buffer.Capacity = newCapacity;
      return 0;
    }
    if (!heap.Drain()) break;
  }
  if (newCapacity > buffer.Capacity && buffer.Length == buffer.Capacity) return -1;
  return 0;
}

ReadResult ReadAvailable(platform::Heap& heap, winsock::Winsock& ws, TransferBuffer& buffer, SOCKET s,
                         std::uint32_t most) {
  winsock::u_long waiting = 0;
  ws.ioctlsocket(s, winsock::FIONREAD, &waiting);
  if (waiting > most) waiting = most;
  std::uint32_t room = static_cast<std::uint32_t>(buffer.Capacity - buffer.Length);
  if (room < waiting) {
    std::int64_t want = (static_cast<std::int64_t>(buffer.Length) + waiting) / Page * Page + Page;
    // A block never outgrows what its 32-bit fields can count; past that the read takes what fits.
    constexpr std::int64_t Largest = std::numeric_limits<std::int32_t>::max() / Page * Page;
    if (want > Largest) want = Largest;
    if (want > buffer.Capacity && ResizeBuffer(heap, buffer, static_cast<std::int32_t>(want)) == -1) {
      return {ReadResult::OutOfMemory};
    }
    if (want <= buffer.Capacity && buffer.Length == buffer.Capacity) return {ReadResult::OutOfMemory};
    room = static_cast<std::uint32_t>(buffer.Capacity - buffer.Length);
  }
  if (room > most) room = most;
  // With the block exactly full the read asks for nothing: the socket layer then answers 0 only for the
  // peer's close.
  int n = ws.recv(s, buffer.Data + buffer.Length, static_cast<int>(room), 0);
  if (n == 0) return {ReadResult::PeerClosed};
  if (n == SOCKET_ERROR) return {ws.WSAGetLastError() == WSAEWOULDBLOCK ? ReadResult::Nothing : ReadResult::Failed};
  buffer.Length += n;
  return {ReadResult::Bytes, n};
}

int SendWaiting(winsock::Winsock& ws, TransferBuffer& buffer, SOCKET s) {
  std::int32_t sent = 0;
  while (sent < buffer.Length) {
    int r = ws.send(s, buffer.Data + sent, buffer.Length - sent, 0);
    if (r == SOCKET_ERROR) {
      if (ws.WSAGetLastError() == WSAEWOULDBLOCK) break;
      return -1;
    }
    sent += r;
  }
  return sent;
}

void DropFront(platform::Heap& heap, TransferBuffer& buffer, std::int32_t count) {
  std::memmove(buffer.Data, buffer.Data + count, static_cast<std::size_t>(buffer.Length - count));
  buffer.Length -= count;
  if (buffer.Capacity - buffer.Length > Reserve) {
    std::int32_t pages = buffer.Length / Page + 1;
    if (pages < 2) pages = 2;
    ResizeBuffer(heap, buffer, pages * Page);
  }
}

int SendAndDrop(platform::Heap& heap, winsock::Winsock& ws, TransferBuffer& buffer, SOCKET s) {
  int r = SendWaiting(ws, buffer, s);
  if (r >= 1) DropFront(heap, buffer, r);
  return r;
}

void ReleaseBuffer(platform::Heap& heap, TransferBuffer& buffer) {
  heap.Free(buffer.Data);
  buffer.Data = nullptr;
  buffer.Capacity = 0;
}

}  // namespace tapline::engine
