#include "engine/command_line.h"

namespace tapline::engine {

std::string UsageText(const std::string& program) {
  return "Usage: " + program +
         " <remote host> <remote port> <local port> [-file <log file>] [-pcap <capture file>]"
         " [-split <folder>] [-json <file>]"
         " [-size 32KB|128KB|512KB|2MB|Unlimited] [-detail Low|Medium|High] [-auto] [-hexonly]"
         " [-bind <address>] [-keephost] [-tls] [-tls-ca <file>] [-tls-insecure] [-tls-listen]"
         " [-tls-cert <file>] [-tls-key <file>]";
}

std::string WithFullStop(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    return message + ".";
  }
  return message;
}

bool OptionTakesValue(const std::string& option) {
  static const char* const kWithValue[] = {"-file",  "-pcap",    "-size",    "-detail",
                                           "-bind",  "-tls-ca",  "-tls-cert", "-tls-key",
                                           "-split", "-json"};
  for (const char* o : kWithValue) {
    if (option == o) return true;
  }
  return false;
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
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& program) {
  CommandLine line;
  if (args.empty()) return line;
  auto usage = [&] { return UsageError(UsageText(program)); };
  if (args.size() < 3) throw usage();
  line.given = true;
  line.remoteHost = args[0];
  line.remotePort = args[1];
  line.localPort = args[2];
  for (std::size_t i = 3; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-keephost") {
      line.keepHost = true;
    } else if (OptionTakesValue(a)) {
      if (i + 1 >= args.size()) throw usage();
      const std::string& value = args[++i];  // taken as the value even when it starts with "-"
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
          throw usage();
        }
      } else {
        if (value == "Low") {
          line.detailLevel = 0;
        } else if (value == "Medium") {
          line.detailLevel = 1;
        } else if (value == "High") {
          line.detailLevel = 2;
        } else {
          throw usage();
        }
      }
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
    } else {
      throw usage();
    }
  }
  return line;
}

}  // namespace tapline::engine
