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
  std::vector<platform::Endpoint> entry;
};

TEST_F(LookupTest, LocalhostResolvesToTheLoopbackAddress) {
  HANDLE task = ws.WSAAsyncGetAddrInfo(&loop, 0x8000, "localhost", &entry);
  ASSERT_NE(task, 0u);
  EXPECT_GE(task, 0x40000000u) << "task handles never look like descriptor numbers";
  ASSERT_TRUE(test::PumpUntil(loop, [&] { return !completions.empty(); }, 5000));
  EXPECT_EQ(completions[0].task, task);
  EXPECT_EQ(completions[0].error, 0);
  ASSERT_FALSE(entry.empty());
  EXPECT_EQ(entry[0].AddressText(), "127.0.0.1");
}

TEST_F(LookupTest, ANameThatCannotResolveReportsHostNotFound) {
  HANDLE task = ws.WSAAsyncGetAddrInfo(&loop, 0x8000, "no-such-host.invalid", &entry);
  ASSERT_NE(task, 0u);
  ASSERT_TRUE(test::PumpUntil(loop, [&] { return !completions.empty(); }, 10000));
  EXPECT_EQ(completions[0].error, WSAHOST_NOT_FOUND);
}

TEST_F(LookupTest, InjectedResolverGivesEveryAddressInOrder) {
  ws.SetResolver([](const std::string& name, std::vector<platform::Endpoint>& out) {
    if (name != "relay.test") return WSAHOST_NOT_FOUND;
    out = {test::Address("10.1.2.3"), test::Address("10.1.2.4")};
    return 0;
  });
  ws.WSAAsyncGetAddrInfo(&loop, 0x8000, "relay.test", &entry);
  ASSERT_TRUE(test::PumpUntil(loop, [&] { return !completions.empty(); }));
  ASSERT_EQ(entry.size(), 2u);
  EXPECT_EQ(entry[0].AddressText(), "10.1.2.3");
  EXPECT_EQ(entry[1].AddressText(), "10.1.2.4");
}

TEST_F(LookupTest, ACancelledLookupNeverCompletes) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> resolverDone{false};
  ws.SetResolver([&](const std::string&, std::vector<platform::Endpoint>& out) {
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return release; });
    }
    out = {test::Address("10.0.0.9")};
    resolverDone = true;  // the last touch of the test's stack
    return 0;
  });
  HANDLE task = ws.WSAAsyncGetAddrInfo(&loop, 0x8000, "slow.test", &entry);
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
  EXPECT_TRUE(entry.empty()) << "the list is not written for a cancelled lookup";
}

}  // namespace
}  // namespace tapline::winsock
