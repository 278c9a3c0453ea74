#include "log/conversation_store.h"

#include <gtest/gtest.h>

#include <string>

namespace tapline::log {
namespace {

class ConversationStoreTest : public ::testing::Test {
 protected:
  void Open(std::int32_t id) { store_.Opened(ConnectionOpened{id, platform::Endpoint{}, "example.org", 80, at_}); }
  void Send(std::int32_t id, Direction direction, const std::string& bytes) {
    DataRead event{id, direction, bytes.data(), static_cast<std::int32_t>(bytes.size()), at_, 0, false};
    store_.Data(event);
  }
  std::int64_t Kept(const Conversation& c, Direction direction) const {
    std::int64_t n = 0;
    for (const ConversationBlock& b : c.blocks) {
      if (b.direction == direction) n += static_cast<std::int64_t>(b.bytes.size());
    }
    return n;
  }

  ConversationStore store_;
  TimePoint at_ = std::chrono::system_clock::now();
};

// A flood in one direction must neither grow the store past its bound nor push out the other direction.
TEST_F(ConversationStoreTest, AFloodKeepsTheNewestMebibyteOfItsDirectionAndMarksWhatWent) {
  Open(1);
  Send(1, Direction::ClientToServer, "GET /big HTTP/1.1\r\n\r\n");
  const std::string chunk(256 * 1024, 'x');
  for (int i = 0; i < 40; ++i) Send(1, Direction::ServerToClient, chunk + std::to_string(i));
  const Conversation* c = store_.Find(1);
  ASSERT_NE(c, nullptr);
  EXPECT_LE(Kept(*c, Direction::ServerToClient), ConversationStore::kPerDirection);
  EXPECT_GE(Kept(*c, Direction::ServerToClient), ConversationStore::kPerDirection - 2 * 256 * 1024);
  EXPECT_EQ(c->blocks.front().bytes, "GET /big HTTP/1.1\r\n\r\n") << "the request stays, its answer's start goes";
  EXPECT_EQ(c->blocks.back().bytes, chunk + "39") << "the newest block is kept whole";
  EXPECT_GT(c->bytesLetGo, 0);
  EXPECT_LE(c->blocks.size(), 2u + ConversationStore::kPerDirection / chunk.size() + 1)
      << "what went is one mark, not a block each";
  EXPECT_EQ(c->bytes[1], 40 * static_cast<std::int64_t>(chunk.size()) + 10 + 30 * 2) << "the count is of everything";
  EXPECT_EQ(c->firstLine, "GET /big HTTP/1.1");
  EXPECT_EQ(store_.BytesKept(), Kept(*c, Direction::ClientToServer) + Kept(*c, Direction::ServerToClient));
}

// Ended connections are kept up to a bound, the oldest going first; open ones are never let go.
TEST_F(ConversationStoreTest, EndedRowsPastTheLimitGoOldestFirstAndOpenOnesStay) {
  Open(1);  // stays open through everything
  const auto last = static_cast<std::int32_t>(ConversationStore::kEndedRows) + 11;
  for (std::int32_t id = 2; id <= last; ++id) {
    Open(id);
    Send(id, Direction::ClientToServer, "ping\r\n");
    store_.Closed(id, true, at_);
  }
  EXPECT_EQ(store_.All().size(), ConversationStore::kEndedRows + 1);
  ASSERT_NE(store_.Find(1), nullptr);
  EXPECT_EQ(store_.Find(1)->state, ConversationState::Connecting);
  EXPECT_EQ(store_.Find(11), nullptr) << "the oldest ended ones went";
  ASSERT_NE(store_.Find(12), nullptr);
  EXPECT_EQ(store_.Find(12)->state, ConversationState::Ended);
  EXPECT_EQ(store_.BytesKept(), static_cast<std::int64_t>(ConversationStore::kEndedRows) * 6);
  const std::uint64_t removals = store_.Removals();
  store_.Clear();
  EXPECT_TRUE(store_.All().empty());
  EXPECT_EQ(store_.BytesKept(), 0);
  EXPECT_GT(store_.Removals(), removals);
}

}  // namespace
}  // namespace tapline::log
