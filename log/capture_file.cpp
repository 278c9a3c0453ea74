#include "log/capture_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tapline::log {

namespace {

constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kPsh = 0x08;
constexpr std::uint8_t kAck = 0x10;

constexpr int kClient = 0;
constexpr int kServer = 1;

// Window 65535 scaled by 2^7, as the handshake announces: 8 MiB. A side that has received half of it
// without sending anything acknowledges, so that no segment ever fills the window.
constexpr std::uint8_t kWindowShift = 7;
constexpr std::uint32_t kAcknowledgeEvery = (65535u << kWindowShift) / 2;

constexpr std::uint32_t kTcpHeader = 20;
constexpr std::uint32_t kSynOptions = 8;  // MSS, NOP, window scale

std::uint64_t Micros(TimePoint t) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  return us < 0 ? 0 : static_cast<std::uint64_t>(us);
}

unsigned char* Big16(unsigned char* at, std::uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 8);
  at[1] = static_cast<unsigned char>(value);
  return at + 2;
}

unsigned char* Big32(unsigned char* at, std::uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 24);
  at[1] = static_cast<unsigned char>(value >> 16);
  at[2] = static_cast<unsigned char>(value >> 8);
  at[3] = static_cast<unsigned char>(value);
  return at + 4;
}

// The Internet checksum's running sum. Words are added in the machine's byte order: the folded sum
// stored back in that order is the right one either way, and four bytes at a time into 64 bits loses
// no carry. Every piece must start at an even offset of the checksummed whole.
std::uint64_t Sum(const unsigned char* p, std::size_t n, std::uint64_t sum = 0) {
  for (; n >= 8; p += 8, n -= 8) {
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + 4, 4);
    sum += a;
    sum += b;
  }
  unsigned char tail[8] = {};
  std::memcpy(tail, p, n);
  std::uint32_t a;
  std::uint32_t b;
  std::memcpy(&a, tail, 4);
  std::memcpy(&b, tail + 4, 4);
  return sum + a + b;
}

// Copies `n` bytes and adds them to the sum as Sum does, in one pass over the payload. Whole 64-bit
// words go into a sum whose carry goes around; that is the same sum modulo 0xFFFF.
std::uint64_t CopyAndSum(unsigned char* to, const unsigned char* from, std::size_t n, std::uint64_t sum) {
  std::uint64_t wide = 0;
  for (; n >= 8; from += 8, to += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, from, 8);
    std::memcpy(to, &word, 8);
    wide += word;
    wide += wide < word ? 1 : 0;
  }
  std::memcpy(to, from, n);
  return Sum(to, n, sum + (wide >> 32) + (wide & 0xFFFFFFFF));
}

void StoreChecksum(unsigned char* at, std::uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  const auto folded = static_cast<std::uint16_t>(~sum);
  std::memcpy(at, &folded, 2);
}

void CopyAddress(const platform::Endpoint& e, bool v6, unsigned char out[16]) {
  std::memset(out, 0, 16);
  if (e.IsV4()) {
    if (v6) {
      out[10] = 0xFF;
      out[11] = 0xFF;
      std::memcpy(out + 12, e.V4Bytes(), 4);
    } else {
      std::memcpy(out, e.V4Bytes(), 4);
    }
  } else if (e.IsV6()) {
    std::memcpy(out, e.V6Bytes(), 16);
  }
}

}  // namespace

int CaptureFile::Create(const std::string& path) {
  conversations_.clear();
  return writer_.Create(path);
}

CaptureFile::Conversation* CaptureFile::Find(std::int32_t id) {
  auto it = conversations_.find(id);
  return it == conversations_.end() ? nullptr : &it->second;
}

void CaptureFile::Opened(const ConnectionOpened& event) {
  Conversation& c = conversations_[event.id];
  c = Conversation{};
  c.client = event.client;
  c.remoteHost = event.remoteHost;
  c.remotePort = event.remotePort;
  c.openedMicros = Micros(event.at);
  // Initial sequence numbers differ between connections, as a system's do.
  const auto mix = static_cast<std::uint32_t>(c.openedMicros * 2654435761u) ^ static_cast<std::uint32_t>(event.id);
  c.sides[kClient].next = mix;
  c.sides[kServer].next = mix * 40503u + 0x5EED;
}

void CaptureFile::SetEndpoints(Conversation& c, const platform::Endpoint& server) {
  // One family for both: an IPv4 endpoint facing an IPv6 one is written IPv4-mapped.
  c.v6 = !(c.client.IsV4() && (server.Empty() || server.IsV4()));
  CopyAddress(c.client, c.v6, c.sides[kClient].address);
  CopyAddress(server, c.v6, c.sides[kServer].address);
  c.sides[kClient].port = c.client.Port();
  c.sides[kServer].port = server.Empty() ? c.remotePort : server.Port();
}

void CaptureFile::Begin(std::int32_t id, Conversation& c, std::string_view server) {
  char comment[512];
  const std::string client = c.client.ToString();
  std::snprintf(comment, sizeof comment, "Tapline connection %d: client %s, remote %s:%u (%.*s)", id,
                client.c_str(), c.remoteHost.c_str(), static_cast<unsigned>(c.remotePort),
                static_cast<int>(server.size()), server.data());
  Emit(c, kClient, kSyn, nullptr, 0, c.openedMicros, comment);
}

void CaptureFile::ServerConnected(std::int32_t id, const platform::Endpoint& server, TimePoint at) {
  Conversation* c = Find(id);
  if (c == nullptr || c->started) return;
  SetEndpoints(*c, server);
  Begin(id, *c, server.AddressText());
  // The handshake completes when the connect did, or just before the first bytes the client had sent
  // already, so that each conversation's time runs forward.
  std::uint64_t established = std::max(Micros(at), c->openedMicros);
  if (!c->pendingBlocks.empty()) established = std::min(established, c->pendingBlocks.front().micros);
  if (c->pendingEnd) established = std::min(established, c->pendingEndMicros);
  established = std::max(established, c->openedMicros);
  Emit(*c, kServer, kSyn | kAck, nullptr, 0, established);
  Emit(*c, kClient, kAck, nullptr, 0, established);
  c->started = true;
  const char* bytes = c->pendingBytes.data();
  for (const Pending& block : c->pendingBlocks) {
    Segments(*c, kClient, bytes, static_cast<std::uint32_t>(block.length), block.micros);
    bytes += block.length;
  }
  if (c->pendingEnd) End(*c, kClient, c->pendingEndMicros);
  std::string().swap(c->pendingBytes);
  std::vector<Pending>().swap(c->pendingBlocks);
}

void CaptureFile::ConnectFailed(std::int32_t id, const platform::Endpoint& server, TimePoint at) {
  Conversation* c = Find(id);
  if (c == nullptr) return;
  if (!c->started) {
    SetEndpoints(*c, server);
    Begin(id, *c, server.AddressText());
    // Refused: the answer's sequence number is 0, its acknowledgement the SYN's.
    c->sides[kServer].next = 0;
    Emit(*c, kServer, kRst | kAck, nullptr, 0, std::max(Micros(at), c->openedMicros));
  }
  conversations_.erase(id);
}

void CaptureFile::Data(const DataRead& event) {
  Conversation* c = Find(event.id);
  if (c == nullptr || event.length <= 0) return;
  const int from = event.direction == Direction::ClientToServer ? kClient : kServer;
  if (!c->started) {
    if (from != kClient || c->pendingEnd) return;
    c->pendingBytes.append(event.bytes, static_cast<std::size_t>(event.length));
    c->pendingBlocks.push_back({event.length, Micros(event.readAt)});
    return;
  }
  if (c->sides[from].ended) return;
  Segments(*c, from, event.bytes, static_cast<std::uint32_t>(event.length), Micros(event.readAt));
}

void CaptureFile::Segments(Conversation& c, int from, const char* bytes, std::uint32_t length,
                           std::uint64_t micros) {
  while (length > 0) {
    const std::uint32_t part = std::min(length, kMaxSegment);
    length -= part;
    Emit(c, from, length == 0 ? kAck | kPsh : kAck, bytes, part, micros);
    bytes += part;
  }
  if (c.sides[from].unacknowledged >= kAcknowledgeEvery) Emit(c, 1 - from, kAck, nullptr, 0, micros);
}

void CaptureFile::StreamEnded(std::int32_t id, Direction direction, TimePoint at) {
  Conversation* c = Find(id);
  if (c == nullptr) return;
  const int from = direction == Direction::ClientToServer ? kClient : kServer;
  if (!c->started) {
    if (from == kClient && !c->pendingEnd) {
      c->pendingEnd = true;
      c->pendingEndMicros = Micros(at);
    }
    return;
  }
  if (!c->sides[from].ended) End(*c, from, Micros(at));
}

void CaptureFile::End(Conversation& c, int from, std::uint64_t micros) {
  Emit(c, from, kFin | kAck, nullptr, 0, micros);
  c.sides[from].ended = true;
  // The side that ended first acknowledges the other's FIN.
  if (c.sides[1 - from].ended) Emit(c, 1 - from, kAck, nullptr, 0, micros);
}

void CaptureFile::Closed(std::int32_t id, bool orderly, TimePoint at) {
  Conversation* c = Find(id);
  if (c == nullptr) return;
  const std::uint64_t micros = std::max(Micros(at), c->openedMicros);
  if (!c->started) {
    // Gone before the server connect completed: no server address to show, so the SYN goes to the
    // unspecified address at the remote port and is answered by a reset.
    SetEndpoints(*c, platform::Endpoint{});
    Begin(id, *c, "not connected");
    c->sides[kServer].next = 0;
    Emit(*c, kServer, kRst | kAck, nullptr, 0, micros);
  } else if (!orderly || !c->sides[kClient].ended || !c->sides[kServer].ended) {
    Emit(*c, kClient, kRst | kAck, nullptr, 0, micros);
  }
  conversations_.erase(id);
}

void CaptureFile::Emit(Conversation& c, int from, std::uint8_t flags, const char* payload, std::uint32_t length,
                       std::uint64_t micros, std::string_view comment) {
  Side& self = c.sides[from];
  Side& peer = c.sides[1 - from];
  const std::uint32_t tcpHeader = kTcpHeader + ((flags & kSyn) ? kSynOptions : 0);
  const std::uint32_t tcpLength = tcpHeader + length;
  const std::uint32_t ipHeader = c.v6 ? 40 : 20;
  unsigned char* packet = writer_.AddPacket(micros, ipHeader + tcpLength, comment);

  // The pseudo-header's sum: addresses, protocol, TCP length.
  std::uint64_t sum;
  unsigned char* at = packet;
  if (c.v6) {
    at = Big32(at, 0x60000000);  // version 6, no traffic class or flow label
    at = Big16(at, tcpLength);
    *at++ = 6;                   // TCP
    *at++ = 64;                  // hop limit
    std::memcpy(at, self.address, 16);
    std::memcpy(at + 16, peer.address, 16);
    at += 32;
    unsigned char tail[8] = {};
    Big32(tail, tcpLength);
    tail[7] = 6;
    sum = Sum(packet + 8, 32, Sum(tail, 8));
  } else {
    *at++ = 0x45;  // version 4, five-word header
    *at++ = 0;
    at = Big16(at, ipHeader + tcpLength);
    at = Big16(at, self.ipId++);
    at = Big16(at, 0x4000);  // don't fragment
    *at++ = 64;              // time to live
    *at++ = 6;               // TCP
    *at++ = 0;               // checksum, below
    *at++ = 0;
    std::memcpy(at, self.address, 4);
    std::memcpy(at + 4, peer.address, 4);
    at += 8;
    StoreChecksum(packet + 10, Sum(packet, 20));
    unsigned char tail[4] = {0, 6, 0, 0};
    Big16(tail + 2, tcpLength);
    sum = Sum(packet + 12, 8, Sum(tail, 4));
  }

  unsigned char* tcp = at;
  at = Big16(at, self.port);
  at = Big16(at, peer.port);
  at = Big32(at, self.next);
  at = Big32(at, (flags & kAck) ? peer.next : 0);
  *at++ = static_cast<unsigned char>((tcpHeader / 4) << 4);
  *at++ = flags;
  at = Big16(at, 0xFFFF);  // window
  *at++ = 0;               // checksum, below
  *at++ = 0;
  at = Big16(at, 0);  // urgent pointer
  if (flags & kSyn) {
    at = Big32(at, 0x02040000 | kMaxSegment);             // maximum segment size
    at = Big32(at, 0x01030300 | kWindowShift);            // no-op, window scale
  }
  sum = Sum(tcp, tcpHeader, sum);
  if (length > 0) sum = CopyAndSum(at, reinterpret_cast<const unsigned char*>(payload), length, sum);
  StoreChecksum(tcp + 16, sum);

  self.next += length + ((flags & (kSyn | kFin)) ? 1 : 0);
  self.unacknowledged += length;
  if (flags & kAck) peer.unacknowledged = 0;
}

}  // namespace tapline::log
