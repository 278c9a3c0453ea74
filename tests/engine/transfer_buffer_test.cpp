// Transfer buffers over real loopback sockets: sizes on growth and shrink, partial sends, the peer's
// close, and growth that fails with or without room left.
#include "platform/posix_socket.h"

#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/transfer_buffer.h"
#include "tests/support/loopback.h"

namespace tapline::engine {
namespace {

using namespace winsock;

// A read's outcome as one number: the bytes read, 0 for nothing, -1 failed, -2 out of memory, -3 closed.
int ReadCode(ReadResult r) {
  switch (r.outcome) {
    case ReadResult::Bytes: return r.count;
    case ReadResult::Nothing: return 0;
    case ReadResult::Failed: return -1;
    case ReadResult::OutOfMemory: return -2;
    case ReadResult::PeerClosed: return -3;
  }
  return -4;
}

class TransferBufferTest : public ::testing::Test {
 protected:
  TransferBufferTest() : ws(loop) {
    loop.SetMessageHandler([](unsigned, platform::WPARAM, platform::LPARAM) {});
    std::uint16_t port = 0;
    SOCKET listener = ws.socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    ws.bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ws.listen(listener, 1);
    int len = sizeof a;
    ws.getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    peer = test::ConnectLoopback(port);
    for (int i = 0; i < 200 && ours == INVALID_SOCKET; ++i) {
      ours = ws.accept(listener, nullptr, nullptr);
      if (ours == INVALID_SOCKET) usleep(5000);
    }
    ws.closesocket(listener);
  }
  ~TransferBufferTest() override {
    ReleaseBuffer(heap, buffer);
    if (peer >= 0) ::close(peer);
  }

  // Sends `count` bytes from the peer and waits until all of them are readable on our side.
  std::string Arrive(std::size_t count, char first = 'a') {
    std::string data(count, ' ');
    for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<char>(first + i % 26);
    EXPECT_TRUE(test::SendAll(peer, data));
    u_long waiting = 0;
    for (int i = 0; i < 400 && waiting < count; ++i) {
      ws.ioctlsocket(ours, FIONREAD, &waiting);
      if (waiting < count) usleep(2500);
    }
    EXPECT_EQ(waiting, count);
    return data;
  }

  void Reserve(std::int32_t capacity, std::int32_t length) {
    ASSERT_EQ(ResizeBuffer(heap, buffer, capacity), 0);
    buffer.Length = length;
  }

  platform::EventLoop loop;
  platform::Heap heap;
  Winsock ws;
  SOCKET ours = INVALID_SOCKET;
  int peer = -1;
  TransferBuffer buffer;
};

TEST_F(TransferBufferTest, GrowsToTheNextPageAboveWhatWaits) {
  struct Case {
    std::int32_t capacity, length;
    std::size_t waiting;
    std::int32_t grownTo;
  } cases[] = {
      {8192, 0, 8192, 8192},     // room equals what waits: no growth
      {8192, 0, 10000, 12288},   // 10,000 needs a third page
      {8192, 6000, 5000, 12288}, // (11,000 div 4096 + 1) pages
      {8192, 4096, 4096, 8192},  // exactly enough room
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waiting);
    Reserve(c.capacity, c.length);
    std::string data = Arrive(c.waiting);
    int n = ReadCode(ReadAvailable(heap, ws, buffer, ours));
    EXPECT_EQ(n, static_cast<int>(c.waiting));
    EXPECT_EQ(buffer.Capacity, c.grownTo);
    EXPECT_EQ(buffer.Length, c.length + static_cast<std::int32_t>(c.waiting));
    EXPECT_EQ(std::string(buffer.Data + c.length, c.waiting), data);
    ReleaseBuffer(heap, buffer);
    buffer = TransferBuffer{};
  }
}

TEST_F(TransferBufferTest, ALimitedReadTakesItsShareAndLeavesTheRestWaiting) {
  Reserve(8192, 0);
  std::string data = Arrive(20000);
  // Room for all of it does not matter: the limit does.
  ASSERT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours, 5000)), 5000);
  EXPECT_EQ(buffer.Capacity, 8192);
  ASSERT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours, 5000)), 5000);
  EXPECT_EQ(buffer.Capacity, 12288) << "grown for the share, not for everything waiting";
  u_long waiting = 0;
  ws.ioctlsocket(ours, FIONREAD, &waiting);
  EXPECT_EQ(waiting, 10000u);
  ASSERT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), 10000) << "without a limit the rest comes at once";
  EXPECT_EQ(buffer.Capacity, 20480);
  EXPECT_EQ(std::string(buffer.Data, 20000), data);
}

TEST_F(TransferBufferTest, DropFrontMovesTheRestDownAndShrinksWhenMoreThan8192AreFree) {
  struct Case {
    std::int32_t capacity, length, drop, shrunkTo;
  } cases[] = {
      {20480, 20480, 20480, 8192},  // everything sent
      {20480, 20480, 11480, 12288}, // 9,000 left
      {20480, 20480, 8480, 12288},  // 12,000 left: 8,480 free is more than 8192
      {20480, 20480, 8000, 20480},  // 12,480 left: 8,000 free, no shrink
      {8192, 100, 50, 8192},        // never below 8192
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drop);
    Reserve(c.capacity, c.length);
    for (std::int32_t i = 0; i < c.length; ++i) buffer.Data[i] = static_cast<char>(i % 251);
    DropFront(heap, buffer, c.drop);
    EXPECT_EQ(buffer.Length, c.length - c.drop);
    EXPECT_EQ(buffer.Capacity, c.shrunkTo);
    for (std::int32_t i = 0; i < buffer.Length; ++i) {
      ASSERT_EQ(buffer.Data[i], static_cast<char>((i + c.drop) % 251)) << "at " << i;
    }
    ReleaseBuffer(heap, buffer);
    buffer = TransferBuffer{};
  }
}

TEST_F(TransferBufferTest, PartialSendLeavesTheBufferAndTheNextSendContinuesFromTheNewFront) {
  const std::int32_t size = 16 << 20;  // more than the socket pair can hold
  Reserve(size, size);
  for (std::int32_t i = 0; i < size; ++i) buffer.Data[i] = static_cast<char>(i % 253);
  int sent = SendWaiting(ws, buffer, ours);
  ASSERT_GT(sent, 0);
  ASSERT_LT(sent, size);
  EXPECT_EQ(buffer.Length, size) << "SendWaiting leaves the buffer unchanged";
  DropFront(heap, buffer, sent);
  std::int32_t total = sent;
  std::string received;
  std::thread reader([&] { received = test::ReceiveUpTo(peer, static_cast<std::size_t>(size), 20000); });
  while (buffer.Length > 0) {
    int r = SendAndDrop(heap, ws, buffer, ours);
    ASSERT_GE(r, 0);
    total += r;
    if (r == 0) usleep(1000);
  }
  reader.join();
  EXPECT_EQ(total, size);
  ASSERT_EQ(received.size(), static_cast<std::size_t>(size));
  for (std::int32_t i = 0; i < size; ++i) ASSERT_EQ(received[i], static_cast<char>(i % 253)) << "at " << i;
}

TEST_F(TransferBufferTest, PeerCloseGivesMinusThreeAndKeepsWhatWasReadBefore) {
  Reserve(8192, 0);
  Arrive(100);
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), 100);
  ::shutdown(peer, SHUT_WR);
  usleep(20000);
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), -3);
  EXPECT_EQ(buffer.Length, 100);
}

TEST_F(TransferBufferTest, NothingWaitingAnswersZero) {
  Reserve(8192, 0);
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), 0);
}

TEST_F(TransferBufferTest, ExactlyFullBufferIsNotMistakenForThePeersClose) {
  Reserve(8192, 0);
  Arrive(8192);
  ASSERT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), 8192);
  ASSERT_EQ(buffer.Length, buffer.Capacity);
  // A read event with nothing new must leave a live connection alone.
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), 0);
  EXPECT_EQ(buffer.Length, 8192);
  // More data then grows the block as usual...
  Arrive(10);
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), 10);
  EXPECT_EQ(buffer.Capacity, 12288);
  // ...and a real close on a full block is still seen as one.
  buffer.Length = buffer.Capacity;
  ::shutdown(peer, SHUT_WR);
  usleep(20000);
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), -3);
}

TEST_F(TransferBufferTest, GrowthFailingWithRoomLeftReadsWhatFitsAndTheRestLater) {
  Reserve(8192, 8000);
  std::string data = Arrive(1000);
  heap.SetFailing(true);
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), 192);
  EXPECT_EQ(buffer.Capacity, 8192);
  heap.SetFailing(false);
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), 808);
  EXPECT_EQ(std::string(buffer.Data + 8000, 1000), data);
}

TEST_F(TransferBufferTest, GrowthFailingOnAFullBufferIsOutOfMemory) {
  Reserve(8192, 8192);
  Arrive(10);
  heap.SetFailing(true);
  EXPECT_EQ(ReadCode(ReadAvailable(heap, ws, buffer, ours)), -2);
  heap.SetFailing(false);
  EXPECT_EQ(buffer.Length, 8192);
  u_long waiting = 0;
  ws.ioctlsocket(ours, FIONREAD, &waiting);
  EXPECT_EQ(waiting, 10u) << "nothing was read";
}

TEST_F(TransferBufferTest, FailedGrowthDrainsTheDisplayQueueBeforeGivingUp) {
  int drains = 0;
  heap.SetDrainHook([&] { return ++drains <= 2; });  // two batches to give back, then nothing
  heap.FailNext(2);
  EXPECT_EQ(ResizeBuffer(heap, buffer, 8192), 0) << "the third try, after two drains, succeeds";
  EXPECT_EQ(drains, 2);
  EXPECT_EQ(buffer.Capacity, 8192);
  heap.SetFailing(true);
  buffer.Length = 8192;
  EXPECT_EQ(ResizeBuffer(heap, buffer, 12288), -1) << "full and nothing left to drain";
  buffer.Length = 100;
  EXPECT_EQ(ResizeBuffer(heap, buffer, 12288), 0) << "room left: not an error";
  EXPECT_EQ(buffer.Capacity, 8192);
  heap.SetFailing(false);
  heap.SetDrainHook(nullptr);
}

}  // namespace
}  // namespace tapline::engine
