// Everything a relay run is started with, as one plain value: filled by the front ends from the command
// line, the window's fields and the saved settings, and checked by StartRelay. Any thread may hold one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/tls_settings.h"

namespace tapline::engine {

// The longest connect timeout the front ends take, in seconds.
inline constexpr std::int32_t kConnectTimeoutLimit = 3600;

struct RelayOptions {
  // The texts as the user gave them; StartRelay checks them and refuses a start with the field's message.
  std::string remoteHost;
  std::string remotePort;
  std::string localPort;
  std::string logFile;  // empty: no log file
  std::string captureFile;  // empty: no capture file
  std::string splitFolder;  // empty: no files per direction
  std::string jsonFile;     // empty: no JSON Lines export
  // The log view's size in characters (32768, 131072, 524288, 2097152), or -1 for no limit.
  std::int32_t bufferSize = 32768;
  std::uint32_t detailLevel = 2;  // 0 Low, 1 Medium, 2 High
  bool hexOnly = false;
  // The address to listen on, as given: an address of either family or a name; empty for every interface.
  std::string listenAddress;
  // Client requests keep their Host line.
  bool keepHost = false;
  // Seconds a connect to the remote may take before it counts as failed (up to kConnectTimeoutLimit);
  // 0 leaves it to the system.
  std::int32_t connectTimeout = 0;
  platform::TlsSettings tls;  // TLS toward the remote host and for accepted clients, with their files
};

}  // namespace tapline::engine
