// Any argument vector: the parser either refuses it with one line on what is wrong and then exactly the
// usage message of the program, or
// takes the three positional texts as given and options that agree with the arguments (the last of a
// repeated option counts, a value is whatever argument follows its option).
//
// Each argument also passes through the full stop rule of the message boxes.
//
// Input: the arguments separated by NUL bytes (an empty input is no arguments at all).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/command_line.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using tapline::engine::CommandLine;
using tapline::engine::ParseCommandLine;
using tapline::engine::UsageError;
using tapline::engine::UsageText;

// The options that take the next argument as their value, whatever it is.
bool IsValueOption(const std::string& option) {
  return option == "-file" || option == "-pcap" || option == "-size" || option == "-detail" || option == "-bind" ||
         option == "-tls-ca" || option == "-tls-cert" || option == "-tls-key" || option == "-connect-timeout" ||
         option == "-split" || option == "-json";
}

// What the arguments must give, read by the grammar's table; nullopt when they are a usage error.
std::optional<CommandLine> Expected(const std::vector<std::string>& args) {
  CommandLine line;
  if (args.empty()) return line;
  if (args.size() < 3) return std::nullopt;
  line.given = true;
  line.remoteHost = args[0];
  line.remotePort = args[1];
  line.localPort = args[2];
  for (std::size_t i = 3; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "-auto") {
      line.autoStart = true;
      continue;
    }
    if (option == "-hexonly") {
      line.hexOnly = true;
      continue;
    }
    if (option == "-keephost") {
      line.keepHost = true;
      continue;
    }
    if (option == "-tls" || option == "-tls-insecure" || option == "-tls-listen") {
      (option == "-tls" ? line.tls : option == "-tls-insecure" ? line.tlsInsecure : line.tlsListen) = true;
      continue;
    }
    if (!IsValueOption(option)) return std::nullopt;
    if (i + 1 == args.size()) return std::nullopt;
    const std::string& value = args[++i];
    if (option == "-bind") {
      line.listenAddress = value;
    } else if (option == "-file") {
      line.logFile = value;
    } else if (option == "-pcap") {
      line.captureFile = value;
    } else if (option == "-split") {
      line.splitFolder = value;
    } else if (option == "-json") {
      line.jsonFile = value;
    } else if (option == "-tls-ca") {
      line.tlsCa = value;
    } else if (option == "-tls-cert") {
      line.tlsCert = value;
    } else if (option == "-tls-key") {
      line.tlsKey = value;
    } else if (option == "-connect-timeout") {
      // Whole seconds from 0 to 3600, digits only.
      if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
      }
      const long seconds = std::stol(value);
      if (seconds > 3600) return std::nullopt;
      line.connectTimeout = static_cast<std::int32_t>(seconds);
    } else if (option == "-size") {
      static const struct {
        const char* text;
        std::int32_t size;
      } kSizes[] = {{"32KB", 32768}, {"128KB", 131072}, {"512KB", 524288}, {"2MB", 2097152}, {"Unlimited", -1}};
      bool known = false;
      for (const auto& s : kSizes) {
        if (value == s.text) {
          line.bufferSize = s.size;
          known = true;
        }
      }
      if (!known) return std::nullopt;
    } else {
      static const char* const kLevels[] = {"Low", "Medium", "High"};
      bool known = false;
      for (std::int32_t level = 0; level < 3; ++level) {
        if (value == kLevels[level]) {
          line.detailLevel = level;
          known = true;
        }
      }
      if (!known) return std::nullopt;
    }
  }
  return line;
}

// The index of the value after the last `option` ("-file" or "-pcap"), reading options from the fourth
// argument on.
std::optional<std::size_t> LastValue(const std::vector<std::string>& args, const std::string& option) {
  std::optional<std::size_t> at;
  for (std::size_t i = 3; i + 1 < args.size(); ++i) {
    if (args[i] == option) {
      at = i + 1;
      ++i;
    } else if (IsValueOption(args[i])) {
      ++i;
    }
  }
  return at;
}

void Check(const std::vector<std::string>& args, const std::string& program) {
  std::optional<CommandLine> want = Expected(args);
  std::optional<CommandLine> got;
  try {
    got = ParseCommandLine(args, program);
  } catch (const UsageError& e) {
    const std::string said = e.what();
    const std::string usage = "\n" + UsageText(program);
    // What is wrong, on one line whatever the arguments hold, then the usage.
    FUZZ_CHECK(said.size() > usage.size() && said.ends_with(usage) && said.find('\n') == said.size() - usage.size(),
               "the usage error says \"%s\"", e.what());
    FUZZ_CHECK(!want.has_value(), "%zu arguments refused that the grammar accepts", args.size());
    return;
  }
  FUZZ_CHECK(want.has_value(), "%zu arguments accepted that the grammar refuses", args.size());
  const CommandLine& line = *got;
  FUZZ_CHECK(line.given == !args.empty(), "given is %d for %zu arguments", line.given, args.size());
  if (line.given) {
    FUZZ_CHECK(line.remoteHost == args[0] && line.remotePort == args[1] && line.localPort == args[2],
               "the positional texts are not the first three arguments");
  } else {
    FUZZ_CHECK(line.remoteHost.empty() && line.remotePort.empty() && line.localPort.empty(),
               "no arguments, yet positional texts were set");
  }
  if (line.bufferSize) {
    std::int32_t b = *line.bufferSize;
    FUZZ_CHECK(b == 32768 || b == 131072 || b == 524288 || b == 2097152 || b == -1, "buffer size %d", b);
  }
  if (line.detailLevel) {
    std::int32_t d = *line.detailLevel;
    FUZZ_CHECK(d >= 0 && d <= 2, "detail level %d", d);
  }
  std::optional<std::size_t> fileValue = LastValue(args, "-file");
  FUZZ_CHECK(line.logFile.has_value() == fileValue.has_value(), "a log file %s without a -file option",
             line.logFile ? "set" : "missing");
  if (fileValue) FUZZ_CHECK(*line.logFile == args[*fileValue], "the log file is not the value of the last -file");
  std::optional<std::size_t> pcapValue = LastValue(args, "-pcap");
  FUZZ_CHECK(line.captureFile.has_value() == pcapValue.has_value(), "a capture file %s without a -pcap option",
             line.captureFile ? "set" : "missing");
  if (pcapValue) {
    FUZZ_CHECK(*line.captureFile == args[*pcapValue], "the capture file is not the value of the last -pcap");
  }
  FUZZ_CHECK(line.logFile == want->logFile && line.captureFile == want->captureFile &&
                 line.bufferSize == want->bufferSize &&
                 line.detailLevel == want->detailLevel && line.autoStart == want->autoStart &&
                 line.hexOnly == want->hexOnly && line.listenAddress == want->listenAddress &&
                 line.keepHost == want->keepHost && line.tls == want->tls && line.tlsCa == want->tlsCa &&
                 line.tlsInsecure == want->tlsInsecure && line.tlsListen == want->tlsListen &&
                 line.tlsCert == want->tlsCert && line.tlsKey == want->tlsKey &&
                 line.connectTimeout == want->connectTimeout && line.splitFolder == want->splitFolder &&
                     line.jsonFile == want->jsonFile,
             "the options differ from what the arguments say");
  // What the options give a run: each TLS word sets its own setting and nothing else.
  tapline::engine::RelayOptions options;
  line.ApplyTo(options);
  FUZZ_CHECK(options.tls.toRemote == line.tls && options.tls.insecure == line.tlsInsecure &&
                 options.tls.forClients == line.tlsListen && options.tls.caFile == line.tlsCa.value_or("") &&
                 options.tls.certFile == line.tlsCert.value_or("") && options.tls.keyFile == line.tlsKey.value_or(""),
             "the TLS settings differ from the TLS options");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  if (size > 0) {
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
      if (i == size || text[i] == '\0') {
        args.emplace_back(text + start, i - start);
        start = i + 1;
      }
    }
  }
  Check(args, "TAPLINE");
  Check(args, "tapline-cli");

  // A message box's text gets a full stop only after a character whose code is above that of '.'.
  for (const std::string& message : args) {
    bool stop = !message.empty() && static_cast<unsigned char>(message.back()) > '.';
    FUZZ_CHECK(tapline::engine::WithFullStop(message) == (stop ? message + "." : message), "full stop of \"%s\"",
               message.c_str());
  }
  FUZZ_CHECK(tapline::engine::WithFullStop(UsageText("TAPLINE")).ends_with("]."), "the usage box text");
  return 0;
}
