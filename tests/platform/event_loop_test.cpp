// The message loop: order of delivery, dropped messages, the hand-over call and the host-loop descriptor.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/auto_reset_event.h"
#include "platform/event_loop.h"

namespace tapline::platform {
namespace {

struct Seen {
  unsigned message;
  WPARAM w;
  LPARAM l;
};

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

TEST(EventLoop, DeliversMessagesOneAtATimeInOrderOfArrival) {
  EventLoop loop;
  std::vector<Seen> seen;
  loop.SetMessageHandler([&](unsigned m, WPARAM w, LPARAM l) { seen.push_back({m, w, l}); });
  for (int i = 0; i < 5; ++i) loop.PostMessage(0x8000, static_cast<WPARAM>(i), i * 10);
  EXPECT_TRUE(loop.ProcessReady());
  ASSERT_EQ(seen.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(seen[i].w, static_cast<WPARAM>(i));
    EXPECT_EQ(seen[i].l, i * 10);
  }
  EXPECT_FALSE(loop.ProcessReady());
}

TEST(EventLoop, MessagesPostedWhileDeliveringWaitForTheNextTurn) {
  EventLoop loop;
  int delivered = 0;
  loop.SetMessageHandler([&](unsigned, WPARAM w, LPARAM) {
    ++delivered;
    if (w == 1) loop.PostMessage(0x8000, 2, 0);
  });
  loop.PostMessage(0x8000, 1, 0);
  loop.ProcessReady();
  EXPECT_EQ(delivered, 1);
  EXPECT_EQ(loop.Pending(), 1u);
  EXPECT_TRUE(Readable(loop.Descriptor())) << "a host loop must come back for it";
  loop.ProcessReady();
  EXPECT_EQ(delivered, 2);
  EXPECT_FALSE(Readable(loop.Descriptor()));
}

TEST(EventLoop, RemovedMessagesAreNeverDelivered) {
  EventLoop loop;
  std::vector<WPARAM> seen;
  loop.SetMessageHandler([&](unsigned, WPARAM w, LPARAM) { seen.push_back(w); });
  loop.PostMessage(0x8000, 7, 1);
  loop.PostMessage(0x8000, 8, 1);
  loop.PostMessage(0x8001, 7, 1);  // another message number for the same parameter stays
  loop.PostMessage(0x8000, 7, 2);
  loop.RemoveMessages(0x8000, 7);
  loop.ProcessReady();
  EXPECT_EQ(seen, (std::vector<WPARAM>{8, 7}));
}

TEST(EventLoop, DescriptorIsReadableExactlyWhileSomethingIsQueued) {
  EventLoop loop;
  loop.SetMessageHandler([](unsigned, WPARAM, LPARAM) {});
  EXPECT_FALSE(Readable(loop.Descriptor()));
  loop.PostMessage(0x8000, 1, 0);
  EXPECT_TRUE(Readable(loop.Descriptor()));
  loop.ProcessReady();
  EXPECT_FALSE(Readable(loop.Descriptor()));
  loop.PostMessage(0x8000, 1, 0);
  loop.RemoveMessages(0x8000, 1);
  EXPECT_FALSE(Readable(loop.Descriptor()));
}

TEST(EventLoop, HandOverRunsTheCallOnTheMainThreadBetweenMessages) {
  EventLoop loop;
  std::vector<int> order;
  loop.SetMessageHandler([&](unsigned, WPARAM w, LPARAM) { order.push_back(static_cast<int>(w)); });
  loop.PostMessage(0x8000, 1, 0);
  std::thread::id ranOn;
  std::atomic<bool> answered{false};
  bool result = false;
  std::thread worker([&] {
    result = loop.HandOver([&] {
      ranOn = std::this_thread::get_id();
      order.push_back(100);
    });
    answered = true;
  });
  // The call queues behind message 1; a message posted after it comes after it.
  while (loop.Pending() < 2) std::this_thread::yield();
  loop.PostMessage(0x8000, 2, 0);
  while (!answered) loop.RunOnce(10);
  worker.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  loop.ProcessReady();
  EXPECT_EQ(order, (std::vector<int>{1, 100, 2}));
}

TEST(EventLoop, HandOverStillQueuedWhenTheLoopCloses_AnswersFalseWithoutRunning) {
  auto loop = std::make_unique<EventLoop>();
  std::atomic<bool> ran{false};
  bool result = true;
  std::thread worker([&] { result = loop->HandOver([&] { ran = true; }); });
  while (loop->Pending() < 1) std::this_thread::yield();
  loop.reset();
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(ran);
}

TEST(EventLoop, RunHandOversLeavesMessagesQueued) {
  EventLoop loop;
  int messages = 0;
  loop.SetMessageHandler([&](unsigned, WPARAM, LPARAM) { ++messages; });
  loop.PostMessage(0x8000, 1, 0);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    loop.HandOver([] {});
    done = true;
  });
  while (loop.Pending() < 2) std::this_thread::yield();
  loop.RunHandOvers();
  worker.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(messages, 0);
  EXPECT_EQ(loop.Pending(), 1u);
}

TEST(EventLoop, ScheduledCallsRunOnceWhenDueInOrderOfTheirTime) {
  EventLoop loop;
  std::vector<int> ran;
  // Taken before the calls are scheduled: they are due 60 ms after their scheduling, not after this.
  auto start = std::chrono::steady_clock::now();
  loop.Schedule(60, [&] { ran.push_back(60); });
  loop.Schedule(20, [&] { ran.push_back(20); });
  EXPECT_FALSE(Readable(loop.Descriptor())) << "nothing is due yet";
  while (ran.size() < 2 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) loop.RunOnce(-1);
  EXPECT_EQ(ran, (std::vector<int>{20, 60}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  loop.RunOnce(50);
  EXPECT_EQ(ran.size(), 2u) << "each runs once";
}


// The display worker's wake-up: signals are neither lost nor counted twice, across threads, many times.
TEST(EventLoop, AutoResetEventWakesOneWaitPerSetAndKeepsASetMadeBeforeTheWait) {
  AutoResetEvent ping, pong;
  long shared = 0;  // handed back and forth: the events must order the two threads' accesses
  constexpr int Rounds = 20000;
  std::thread other([&] {
    for (int i = 0; i < Rounds; ++i) {
      ping.Wait();
      ++shared;
      pong.Set();
    }
  });
  for (int i = 0; i < Rounds; ++i) {
    ++shared;
    ping.Set();
    pong.Wait();
  }
  other.join();
  EXPECT_EQ(shared, 2L * Rounds);

  // Two Sets before a Wait count once: the second Wait needs a Set of its own.
  AutoResetEvent event;
  event.Set();
  event.Set();
  event.Wait();
  std::atomic<bool> setLater{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    setLater = true;
    event.Set();
  });
  event.Wait();
  EXPECT_TRUE(setLater.load()) << "the second Wait returned without a second Set";
  setter.join();
}

}  // namespace
}  // namespace tapline::platform
