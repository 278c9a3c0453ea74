// Each connection of a run as the window's connection list and conversation pane show it: its ends,
// state, times and byte counts, and the blocks of both directions in time order, kept within bounds so
// that a flood costs no more than a copy of each block. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "log/traffic_sink.h"

namespace tapline::log {

enum class ConversationState { Connecting, Open, HalfClosed, Ended, Failed };

// The words the list shows for a state.
const char* StateName(ConversationState state);

struct ConversationBlock {
  Direction direction;
  TimePoint at;
  std::int64_t size;   // the block's bytes as forwarded
  std::string bytes;   // what is kept of them: all, or none once the bounds let them go
  std::int32_t continued;  // leading bytes that finish a character of the direction's previous block
};

struct Conversation {
  std::int32_t number = 0;
  platform::Endpoint client;
  std::string remote;         // the remote host and port as given
  platform::Endpoint server;  // the address connected to, once known
  bool serverKnown = false;
  ConversationState state = ConversationState::Connecting;
  bool ended[2] = {};  // each direction's orderly end was passed on
  TimePoint opened;
  TimePoint closed;  // meaningful once Ended or Failed
  std::int64_t bytes[2] = {};  // forwarded, client to server and server to client
  std::string firstLine;       // the client's first line when it is text (a request line, a command)
  bool firstLineDone = false;
  std::deque<ConversationBlock> blocks;  // time order; older ones are let go past the bounds
  std::uint64_t blocksLetGo = 0;         // blocks no longer listed, from the front
  std::int64_t bytesLetGo = 0;           // bytes let go, in those blocks and in the listed ones
  std::int64_t kept[2] = {};             // bytes of each direction kept in `blocks`
};

class ConversationStore : public TrafficSink {
 public:
  // Bounds: every byte beyond them goes, the oldest first.
  static constexpr std::int64_t kPerDirection = 1 << 20;    // 1 MiB of each direction of a connection
  static constexpr std::int64_t kTotal = std::int64_t{64} << 20;  // 64 MiB in all
  static constexpr std::size_t kEndedRows = 1000;           // connections kept after they ended
  static constexpr std::size_t kFirstLine = 200;            // characters of the client's first line

  // Empties the store (a new run, or Clear).
  void Clear();
  // Counts every change, so that a view refreshing now and then knows whether to look.
  std::uint64_t Version() const { return version_; }
  // Counts the changes that removed connections (Clear, the oldest ended ones let go).
  std::uint64_t Removals() const { return removals_; }
  // The connections kept, in the order of their numbers.
  const std::map<std::int32_t, Conversation>& All() const { return conversations_; }
  const Conversation* Find(std::int32_t number) const;
  std::int64_t BytesKept() const { return keptTotal_; }

  void Opened(const ConnectionOpened& event) override;
  void ServerConnected(std::int32_t id, const platform::Endpoint& server, TimePoint at) override;
  void ConnectFailed(std::int32_t id, const platform::Endpoint& server, TimePoint at) override;
  void Data(const DataRead& event) override;
  void StreamEnded(std::int32_t id, Direction direction, TimePoint at) override;
  void Closed(std::int32_t id, bool orderly, TimePoint at) override;
  void Flush() override {}

 private:
  void LetGo(Conversation& c, ConversationBlock& block);  // the block's bytes go; the block stays, marked
  void DropLetGoFront(Conversation& c);                  // blocks without bytes at the front go
  void KeepWithinTotal();
  void Ended(Conversation& c);

  std::map<std::int32_t, Conversation> conversations_;
  std::deque<std::int32_t> endedOrder_;  // numbers of ended connections, the oldest first
  std::int64_t keptTotal_ = 0;
  std::uint64_t version_ = 0;
  std::uint64_t removals_ = 0;
};

}  // namespace tapline::log
