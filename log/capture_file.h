// The capture file: each relayed connection as one TCP conversation between the client's and the
// server's endpoints, in a pcapng file that packet analysers read. Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "log/pcapng_writer.h"
#include "log/traffic_sink.h"

namespace tapline::log {

class CaptureFile : public TrafficSink {
 public:
  // The largest payload an IPv4 packet can carry (65535 less two 20-byte headers); IPv6 uses it too.
  static constexpr std::uint32_t kMaxSegment = 65495;

  // Creates (or empties) the file, holding no conversation yet; a new one is private to its owner.
  // Answers 0, or the errno value of why it cannot be created.
  int Create(const std::string& path);
  void Close() { writer_.Close(); }

  void Opened(const ConnectionOpened& event) override;
  void ServerConnected(std::int32_t id, const platform::Endpoint& server, TimePoint at) override;
  void ConnectFailed(std::int32_t id, const platform::Endpoint& server, TimePoint at) override;
  void Data(const DataRead& event) override;
  void StreamEnded(std::int32_t id, Direction direction, TimePoint at) override;
  void Closed(std::int32_t id, bool orderly, TimePoint at) override;
  void Flush() override { writer_.Flush(); }
  // Flush, and wait until the file holds everything (or the write failed).
  void Sync() { writer_.Sync(); }
  // A write failed: nothing more reaches the file, which ends at its last whole block.
  bool Failed() const { return writer_.Failed(); }
  int WriteError() const { return writer_.WriteError(); }

 private:
  struct Side {
    unsigned char address[16] = {};  // the first four bytes for IPv4
    std::uint16_t port = 0;
    std::uint32_t next = 0;          // the sequence number of its next byte
    std::uint32_t unacknowledged = 0;
    std::uint16_t ipId = 0;
    bool ended = false;
  };
  struct Pending {
    std::int32_t length;
    std::uint64_t micros;
  };
  struct Conversation {
    platform::Endpoint client;
    std::string remoteHost;
    std::uint16_t remotePort = 0;
    std::uint64_t openedMicros = 0;
    bool started = false;  // the handshake is written
    bool v6 = false;
    Side sides[2];         // the client, the server
    // What the client sent before the server connect completed: its packets follow the handshake.
    std::string pendingBytes;
    std::vector<Pending> pendingBlocks;
    bool pendingEnd = false;
    std::uint64_t pendingEndMicros = 0;
  };

  PcapngWriter writer_;
  std::unordered_map<std::int32_t, Conversation> conversations_;

  Conversation* Find(std::int32_t id);
  void SetEndpoints(Conversation& c, const platform::Endpoint& server);
  // The SYN with the connection's comment; `server` is the address text for it.
  void Begin(std::int32_t id, Conversation& c, std::string_view server);
  void Segments(Conversation& c, int from, const char* bytes, std::uint32_t length, std::uint64_t micros);
  void End(Conversation& c, int from, std::uint64_t micros);
  void Emit(Conversation& c, int from, std::uint8_t flags, const char* payload, std::uint32_t length,
            std::uint64_t micros, std::string_view comment = {});
};

}  // namespace tapline::log
