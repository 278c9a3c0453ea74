// The command line of both front ends: three positional texts (remote host, remote port, local port) and
// the options. Pure functions; shared by the window and tapline-cli, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/relay_options.h"

namespace tapline::engine {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  bool given = false;  // the three positional texts were given
  std::string remoteHost;
  std::string remotePort;
  std::string localPort;
  std::optional<std::string> logFile;
  std::optional<std::string> captureFile;
  std::optional<std::string> splitFolder;  // -split <folder>
  std::optional<std::string> jsonFile;     // -json <file>
  std::optional<std::int32_t> bufferSize;   // 32768, 131072, 524288, 2097152, or -1
  std::optional<std::int32_t> detailLevel;  // 0 Low, 1 Medium, 2 High
  bool autoStart = false;
  bool hexOnly = false;
  std::optional<std::string> listenAddress;  // -bind
  bool keepHost = false;                     // -keephost
  bool tls = false;                    // -tls
  std::optional<std::string> tlsCa;    // -tls-ca <file>
  bool tlsInsecure = false;            // -tls-insecure
  bool tlsListen = false;              // -tls-listen
  std::optional<std::string> tlsCert;  // -tls-cert <file>
  std::optional<std::string> tlsKey;   // -tls-key <file>
  std::optional<std::int32_t> connectTimeout;  // -connect-timeout <seconds>; 0: the system's own

  // The options given, over `options` (what the settings or the defaults hold).
  void ApplyTo(RelayOptions& options) const;
};

// Whether an option takes the argument after it as its value (whatever that argument looks like).
bool OptionTakesValue(const std::string& option);

// The usage message for a program name ("TAPLINE" for the window).
std::string UsageText(const std::string& program);

// What a usage error says: the argument and what is wrong with it on one line, then the usage message.
std::string UsageMessage(const std::string& problem, const std::string& program);

// `args` are the arguments after the program's own name. No arguments apply nothing; one or two, or any
// unknown option or value, throw UsageError with UsageMessage. Matching is exact and case-sensitive.
CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& program);

// A message as a message box shows it: a full stop is appended when the last character's code is above
// that of ".".
std::string WithFullStop(const std::string& message);

}  // namespace tapline::engine
