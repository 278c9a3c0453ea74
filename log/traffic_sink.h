// What the relay reports about each connection, in the order it happens, to whatever records traffic:
// the traffic log (view and log file) and the capture file. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/endpoint.h"

namespace tapline::log {

using TimePoint = std::chrono::system_clock::time_point;

enum class Direction { ClientToServer, ServerToClient };

// A client was accepted. `id` is its number in the relay run (1, 2, 3, ... in the order clients came),
// the number every log line about it carries; no other connection of the run gets it.
struct ConnectionOpened {
  std::int32_t id;
  platform::Endpoint client;
  std::string remoteHost;  // the Remote Host as the user gave it
  std::uint16_t remotePort;
  TimePoint at;
};

// A block read from one side, as it is forwarded to the other (a client's after the Host rewrite).
struct DataRead {
  std::int32_t id;
  Direction direction;
  const char* bytes;
  std::int32_t length;
  TimePoint readAt;
  // How the log shows it: the leading `textBytes` form whole text lines (all of them when equal to
  // `length`; an unterminated last line then sets `incomplete`), the rest is dumped. `hostLine` is where
  // a substituted Host line starts within `bytes` (-1 when none) and `hostLineLength` its length with CR LF.
  std::int32_t textBytes;
  bool incomplete;
  std::int32_t hostLine = -1;
  std::int32_t hostLineLength = 0;
  // Leading bytes (0 to 3) that finish a UTF-8 character the direction's previous block began.
  std::int32_t continued = 0;
};

class TrafficSink {
 public:
  virtual ~TrafficSink() = default;
  virtual void Opened(const ConnectionOpened& event) = 0;
  // The connect to `server` completed, or failed (then the connection is gone).
  virtual void ServerConnected(std::int32_t id, const platform::Endpoint& server, TimePoint at) = 0;
  virtual void ConnectFailed(std::int32_t id, const platform::Endpoint& server, TimePoint at) = 0;
  virtual void Data(const DataRead& event) = 0;
  // One direction's end was passed on in order, after everything before it.
  virtual void StreamEnded(std::int32_t id, Direction direction, TimePoint at) = 0;
  // The connection is gone: in order once both directions ended (`orderly`), or torn down otherwise
  // (a reset, an error, out of memory, a stop).
  virtual void Closed(std::int32_t id, bool orderly, TimePoint at) = 0;
  // The event loop is about to wait: what was recorded this turn goes out now.
  virtual void Flush() = 0;
};

}  // namespace tapline::log
