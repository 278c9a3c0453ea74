// Host lookups: results through the message loop, errors, cancellation.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/winsock.h"
#include "tests/support/loopback.h"

namespace tapline::winsock {
namespace {

class LookupTest : public ::testing::Test {
 protected:
  LookupTest() : ws(loop) {
    loop.SetMessageHandler([this](unsigned m, WPARAM w, LPARAM l) {
      EXPECT_EQ(m, 0x8000u);
      completions.push_back({static_cast<HANDLE>(w), WSAGETASYNCERROR(l)});
    });
  }
  struct Completion {
    HANDLE task;
    int error;
  };
  platform::EventLoop loop;
  Winsock ws;
  std::vector<Completion> completions;
  alignas(8) char entry[MAXGETHOSTSTRUCT] = {};
};

TEST_F(LookupTest, LocalhostResolvesToTheLoopbackAddress) {
  HANDLE task = ws.WSAAsyncGetHostByName(&loop, 0x8000, "localhost", entry, sizeof entry);
  ASSERT_NE(task, 0u);
  EXPECT_GE(task, 0x40000000u) << "task handles never look like descriptor numbers";
  ASSERT_TRUE(test::PumpUntil(loop, [&] { return !completions.empty(); }, 5000));
  EXPECT_EQ(completions[0].task, task);
  EXPECT_EQ(completions[0].error, 0);
  std::uint32_t address = 0;
  ASSERT_TRUE(FirstHostAddress(entry, address));
  EXPECT_STREQ(inet_ntoa(in_addr{address}), "127.0.0.1");
}

TEST_F(LookupTest, ANameThatCannotResolveReportsHostNotFound) {
  HANDLE task = ws.WSAAsyncGetHostByName(&loop, 0x8000, "no-such-host.invalid", entry, sizeof entry);
  ASSERT_NE(task, 0u);
  ASSERT_TRUE(test::PumpUntil(loop, [&] { return !completions.empty(); }, 10000));
  EXPECT_EQ(completions[0].error, WSAHOST_NOT_FOUND);
}

TEST_F(LookupTest, InjectedResolverGivesEveryAddressInOrder) {
  ws.SetResolver([](const std::string& name, std::vector<std::uint32_t>& out) {
    if (name != "relay.test") return WSAHOST_NOT_FOUND;
    out = {inet_addr("10.1.2.3"), inet_addr("10.1.2.4")};
    return 0;
  });
  ws.WSAAsyncGetHostByName(&loop, 0x8000, "relay.test", entry, sizeof entry);
  ASSERT_TRUE(test::PumpUntil(loop, [&] { return !completions.empty(); }));
  std::uint32_t address = 0;
  ASSERT_TRUE(FirstHostAddress(entry, address));
  EXPECT_STREQ(inet_ntoa(in_addr{address}), "10.1.2.3");
}

TEST_F(LookupTest, ACancelledLookupNeverCompletes) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> resolverDone{false};
  ws.SetResolver([&](const std::string&, std::vector<std::uint32_t>& out) {
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return release; });
    }
    out = {inet_addr("10.0.0.9")};
    resolverDone = true;  // the last touch of the test's stack
    return 0;
  });
  HANDLE task = ws.WSAAsyncGetHostByName(&loop, 0x8000, "slow.test", entry, sizeof entry);
  ASSERT_NE(task, 0u);
  EXPECT_EQ(ws.WSACancelAsyncRequest(task), 0);
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  while (!resolverDone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  test::PumpFor(loop, 100);
  EXPECT_TRUE(completions.empty());
  EXPECT_EQ(ws.LookupsInFlight(), 0u);
  std::uint32_t address = 0;
  EXPECT_FALSE(FirstHostAddress(entry, address)) << "the buffer is not written for a cancelled lookup";
}

}  // namespace
}  // namespace tapline::winsock
