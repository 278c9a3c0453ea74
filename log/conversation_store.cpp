#include "log/conversation_store.h"

#include <cassert>

#include "log/text_lines.h"

namespace tapline::log {

const char* StateName(ConversationState state) {
  switch (state) {
    case ConversationState::Connecting: return "connecting";
    case ConversationState::Open: return "open";
    case ConversationState::HalfClosed: return "half-closed";
    case ConversationState::Ended: return "ended";
    case ConversationState::Failed: return "failed";
  }
  return "";
}

void ConversationStore::Clear() {
  conversations_.clear();
  endedOrder_.clear();
  keptTotal_ = 0;
  ++version_;
  ++removals_;
}

const Conversation* ConversationStore::Find(std::int32_t number) const {
  auto it = conversations_.find(number);
  return it == conversations_.end() ? nullptr : &it->second;
}

void ConversationStore::Opened(const ConnectionOpened& event) {
  Conversation& c = conversations_[event.id];
  c = Conversation{};
  c.number = event.id;
  c.client = event.client;
  c.remote = event.remoteHost + ":" + std::to_string(event.remotePort);
  c.opened = event.at;
  ++version_;
}

void ConversationStore::ServerConnected(std::int32_t id, const platform::Endpoint& server, TimePoint) {
  auto it = conversations_.find(id);
  if (it == conversations_.end()) return;
  it->second.server = server;
  it->second.serverKnown = true;
  if (it->second.state == ConversationState::Connecting) it->second.state = ConversationState::Open;
  ++version_;
}

void ConversationStore::ConnectFailed(std::int32_t id, const platform::Endpoint& server, TimePoint at) {
  auto it = conversations_.find(id);
  if (it == conversations_.end()) return;
  it->second.server = server;
  it->second.state = ConversationState::Failed;
  it->second.closed = at;
  ++version_;
}

void ConversationStore::LetGo(Conversation& c, ConversationBlock& block) {
  const auto length = static_cast<std::int64_t>(block.bytes.size());
  c.kept[block.direction == Direction::ClientToServer ? 0 : 1] -= length;
  keptTotal_ -= length;
  c.bytesLetGo += length;
  std::string().swap(block.bytes);
}

void ConversationStore::DropLetGoFront(Conversation& c) {
  // Blocks whose bytes went leave the front; one let go in the middle stays, marked, in its place.
  while (!c.blocks.empty() && c.blocks.front().bytes.empty()) {
    c.blocks.pop_front();
    ++c.blocksLetGo;
  }
}

void ConversationStore::KeepWithinTotal() {
  // The oldest connections' blocks go first.
  for (auto it = conversations_.begin(); keptTotal_ > kTotal && it != conversations_.end(); ++it) {
    for (ConversationBlock& b : it->second.blocks) {
      if (keptTotal_ <= kTotal) break;
      LetGo(it->second, b);
    }
    DropLetGoFront(it->second);
  }
}

void ConversationStore::Data(const DataRead& event) {
  auto it = conversations_.find(event.id);
  if (it == conversations_.end()) return;
  Conversation& c = it->second;
  const int d = event.direction == Direction::ClientToServer ? 0 : 1;
  c.bytes[d] += event.length;
  if (d == 0 && !c.firstLineDone) {
    // The first line of what the client said, when it is text: a request line, a command.
    c.firstLineDone = true;
    std::size_t end = 0;
    const auto length = static_cast<std::size_t>(event.length);
    while (end < length && end < kFirstLine && event.bytes[end] != '\r' && event.bytes[end] != '\n') ++end;
    if (end > 0 && IsUtf8Text(event.bytes, end)) c.firstLine.assign(event.bytes, end);
  }
  // A block larger than the direction's bound keeps only its end (never with a read step of today).
  const auto length = static_cast<std::int64_t>(event.length);
  const std::int64_t skip = length > kPerDirection ? length - kPerDirection : 0;
  const std::int64_t keep = length - skip;
  // This direction's oldest bytes go first; the other direction's stay. Blocks let go one after another
  // become one mark, so that a long flood leaves no trail of empty blocks behind.
  for (std::size_t i = 0; i < c.blocks.size() && c.kept[d] + keep > kPerDirection;) {
    ConversationBlock& b = c.blocks[i];
    if (b.direction != event.direction || b.bytes.empty()) {
      ++i;
      continue;
    }
    LetGo(c, b);
    ConversationBlock* before = i > 0 ? &c.blocks[i - 1] : nullptr;
    if (before != nullptr && before->bytes.empty() && before->direction == b.direction) {
      before->size += b.size;
      c.blocks.erase(c.blocks.begin() + static_cast<std::ptrdiff_t>(i));
      ++c.blocksLetGo;  // the list's later blocks keep their places as counted from the first
    } else {
      ++i;
    }
  }
  DropLetGoFront(c);
  c.blocks.push_back(ConversationBlock{event.direction, event.readAt, length,
                                       std::string(event.bytes + skip, static_cast<std::size_t>(keep)),
                                       skip == 0 ? event.continued : 0});
  c.kept[d] += keep;
  keptTotal_ += keep;
  c.bytesLetGo += skip;
  KeepWithinTotal();
  ++version_;
}

void ConversationStore::StreamEnded(std::int32_t id, Direction direction, TimePoint) {
  auto it = conversations_.find(id);
  if (it == conversations_.end()) return;
  Conversation& c = it->second;
  c.ended[direction == Direction::ClientToServer ? 0 : 1] = true;
  if (c.state == ConversationState::Open) c.state = ConversationState::HalfClosed;
  ++version_;
}

void ConversationStore::Closed(std::int32_t id, bool orderly, TimePoint at) {
  auto it = conversations_.find(id);
  if (it == conversations_.end()) return;
  Conversation& c = it->second;
  if (c.state != ConversationState::Failed) c.state = orderly ? ConversationState::Ended : ConversationState::Failed;
  c.closed = at;
  Ended(c);
  ++version_;
}

void ConversationStore::Ended(Conversation& c) {
  endedOrder_.push_back(c.number);
  while (endedOrder_.size() > kEndedRows) {
    auto it = conversations_.find(endedOrder_.front());
    endedOrder_.pop_front();
    if (it == conversations_.end()) continue;
    for (const ConversationBlock& b : it->second.blocks) keptTotal_ -= static_cast<std::int64_t>(b.bytes.size());
    conversations_.erase(it);
    ++removals_;
  }
}

}  // namespace tapline::log
