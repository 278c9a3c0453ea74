#include "engine/command_line.h"

#include <cassert>

namespace tapline::engine {

std::string UsageText(const std::string& program) {
  return "Usage: " + program +
         " <remote host> <remote port> <local port> [-file <log file>] [-pcap <capture file>]"
         " [-split <folder>] [-json <file>]"
         " [-size 32KB|128KB|512KB|2MB|Unlimited] [-detail Low|Medium|High] [-auto] [-hexonly]"
         " [-bind <address>] [-keephost] [-tls] [-tls-ca <file>] [-tls-insecure] [-tls-listen]"
         " [-tls-cert <file>] [-tls-key <file>] [-connect-timeout <seconds>]";
}

std::string WithFullStop(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    return message + ".";
  }
  return message;
}

namespace {

// The options that take a value, with what their value must be, as a usage error says it.
struct ValueOption {
  const char* name;
  const char* needs;
};
constexpr ValueOption kValueOptions[] = {
    {"-file", "a file name"},
    {"-pcap", "a file name"},
    {"-size", "one of 32KB, 128KB, 512KB, 2MB, Unlimited"},
    {"-detail", "one of Low, Medium, High"},
    {"-bind", "an address"},
    {"-tls-ca", "a file name"},
    {"-tls-cert", "a file name"},
    {"-tls-key", "a file name"},
    {"-connect-timeout", "a number of seconds from 0 to 3600"},
    {"-split", "a folder name"},
    {"-json", "a file name"},
};

const ValueOption* FindValueOption(const std::string& option) {
  for (const ValueOption& o : kValueOptions) {
    if (option == o.name) return &o;
  }
  return nullptr;
}

// Whole seconds, digits only, up to the limit.
std::optional<std::int32_t> Seconds(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::int32_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    value = value * 10 + (ch - '0');
  }
  if (value > kConnectTimeoutLimit) return std::nullopt;
  return value;
}

// An argument as a usage error quotes it: control characters become "?", so that the message keeps to
// its one line whatever was passed.
std::string Shown(std::string text) {
  for (char& ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
  }
  return text;
}

}  // namespace

bool OptionTakesValue(const std::string& option) { return FindValueOption(option) != nullptr; }

std::string UsageMessage(const std::string& problem, const std::string& program) {
  return problem + "\n" + UsageText(program);
}

void CommandLine::ApplyTo(RelayOptions& options) const {
  if (given) {
    options.remoteHost = remoteHost;
    options.remotePort = remotePort;
    options.localPort = localPort;
  }
  if (logFile) options.logFile = *logFile;
  if (captureFile) options.captureFile = *captureFile;
  if (splitFolder) options.splitFolder = *splitFolder;
  if (jsonFile) options.jsonFile = *jsonFile;
  if (bufferSize) options.bufferSize = *bufferSize;
  if (detailLevel) options.detailLevel = static_cast<std::uint32_t>(*detailLevel);
  if (hexOnly) options.hexOnly = true;
  if (listenAddress) options.listenAddress = *listenAddress;
  if (keepHost) options.keepHost = true;
  if (tls) options.tls.toRemote = true;
  if (tlsCa) options.tls.caFile = *tlsCa;
  if (tlsInsecure) options.tls.insecure = true;
  if (tlsListen) options.tls.forClients = true;
  if (tlsCert) options.tls.certFile = *tlsCert;
  if (tlsKey) options.tls.keyFile = *tlsKey;
  if (connectTimeout) options.connectTimeout = *connectTimeout;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& program) {
  CommandLine line;
  if (args.empty()) return line;
  auto usage = [&](const std::string& problem) { return UsageError(UsageMessage(problem, program)); };
  if (args.size() == 1) throw usage("Missing <remote port> <local port>");
  if (args.size() == 2) throw usage("Missing <local port>");
  line.given = true;
  line.remoteHost = args[0];
  line.remotePort = args[1];
  line.localPort = args[2];
  for (std::size_t i = 3; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (const ValueOption* option = FindValueOption(a)) {
      if (i + 1 >= args.size()) throw usage(a + " needs " + option->needs);
      const std::string& value = args[++i];  // taken as the value even when it starts with "-"
      auto refused = [&] { return usage(a + " needs " + option->needs + " (got " + Shown(value) + ")"); };
      if (a == "-bind") {
        line.listenAddress = value;
      } else if (a == "-file") {
        line.logFile = value;
      } else if (a == "-pcap") {
        line.captureFile = value;
      } else if (a == "-split") {
        line.splitFolder = value;
      } else if (a == "-json") {
        line.jsonFile = value;
      } else if (a == "-tls-ca") {
        line.tlsCa = value;
      } else if (a == "-tls-cert") {
        line.tlsCert = value;
      } else if (a == "-tls-key") {
        line.tlsKey = value;
      } else if (a == "-connect-timeout") {
        line.connectTimeout = Seconds(value);
        if (!line.connectTimeout) throw refused();
      } else if (a == "-size") {
        if (value == "32KB") {
          line.bufferSize = 32768;
        } else if (value == "128KB") {
          line.bufferSize = 131072;
        } else if (value == "512KB") {
          line.bufferSize = 524288;
        } else if (value == "2MB") {
          line.bufferSize = 2097152;
        } else if (value == "Unlimited") {
          line.bufferSize = -1;
        } else {
          throw refused();
        }
      } else {
        assert(a == "-detail");
        if (value == "Low") {
          line.detailLevel = 0;
        } else if (value == "Medium") {
          line.detailLevel = 1;
        } else if (value == "High") {
          line.detailLevel = 2;
        } else {
          throw refused();
        }
      }
    } else if (a == "-keephost") {
      line.keepHost = true;
    } else if (a == "-auto") {
      line.autoStart = true;
    } else if (a == "-hexonly") {
      line.hexOnly = true;
    } else if (a == "-tls") {
      line.tls = true;
    } else if (a == "-tls-insecure") {
      line.tlsInsecure = true;
    } else if (a == "-tls-listen") {
      line.tlsListen = true;
    } else if (!a.empty() && a[0] == '-') {
      throw usage("Unknown option " + Shown(a));
    } else {
      // A fourth positional text: most often a value whose option was mistyped or left out.
      throw usage("Unexpected argument " + Shown(a));
    }
  }
  return line;
}

}  // namespace tapline::engine
