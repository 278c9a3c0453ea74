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

int ReadAvailable(platform::Heap& heap, winsock::Winsock& ws, TransferBuffer& buffer, SOCKET s, std::uint32_t most) {
  winsock::u_long waiting = 0;
  ws.ioctlsocket(s, winsock::FIONREAD, &waiting);
  if (waiting > most) waiting = most;
  std::uint32_t room = static_cast<std::uint32_t>(buffer.Capacity - buffer.Length);
  if (room < waiting) {
    std::int64_t want = (static_cast<std::int64_t>(buffer.Length) + waiting) / Page * Page + Page;
    // A block never outgrows what its 32-bit fields can count; past that the read takes what fits.
    constexpr std::int64_t Largest = std::numeric_limits<std::int32_t>::max() / Page * Page;
    if (want > Largest) want = Largest;
    if (want > buffer.Capacity && ResizeBuffer(heap, buffer, static_cast<std::int32_t>(want)) == -1) return -2;
    if (want <= buffer.Capacity && buffer.Length == buffer.Capacity) return -2;
    room = static_cast<std::uint32_t>(buffer.Capacity - buffer.Length);
  }
  if (room == 0) {
    // Nothing was reported waiting and the block is exactly full. A recv of 0 bytes would answer 0 and
    // read as the peer's close, so peek at one byte instead to tell the two apart.
    char probe;
    int p = ws.recv(s, &probe, 1, winsock::MSG_PEEK);
    if (p == 0) return -3;
    if (p == SOCKET_ERROR) return ws.WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    return 0;  // a byte arrived since: the next FD_READ grows the block for it
  }
  if (room > most) room = most;
  int n = ws.recv(s, buffer.Data + buffer.Length, static_cast<int>(room), 0);
  if (n == 0) return -3;
  if (n == SOCKET_ERROR) return ws.WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
  buffer.Length += n;
  return n;
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
