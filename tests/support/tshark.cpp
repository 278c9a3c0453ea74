#include "tests/support/tshark.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <sstream>

namespace tapline::test {

namespace {

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char ch : text) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return quoted + "'";
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

}  // namespace

std::string Tshark(const std::string& path, const std::string& args, bool cutShortAllowed) {
  const std::string command = "tshark -n -r " + Quoted(path) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "could not run: " << command;
    return {};
  }
  std::string output;
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  const int status = pclose(pipe);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 127) {
    ADD_FAILURE() << "tshark is missing; scripts/setup.sh installs it";
  } else if (code != 0 && !(cutShortAllowed && output.find("cut short in the middle of a packet") != std::string::npos)) {
    ADD_FAILURE() << command << " exited with " << code << ":\n" << output.substr(0, 2000);
  }
  // tshark warns on standard error when run as root; that line is no output of the capture.
  const std::string warning = "Running as user \"root\"";
  if (output.rfind(warning, 0) == 0) output.erase(0, output.find('\n') + 1);
  return output;
}

std::pair<std::string, std::string> FollowTcp(const std::string& path, int stream, bool cutShortAllowed) {
  std::istringstream lines(Tshark(path, "-q -z follow,tcp,raw," + std::to_string(stream), cutShortAllowed));
  std::string client;
  std::string server;
  std::string line;
  bool inData = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Node 1:", 0) == 0) {
      inData = true;
    } else if (line.rfind("=====", 0) == 0) {
      inData = false;
    } else if (inData && !line.empty() && line[0] == '\t') {
      server += FromHex(line.substr(1));
    } else if (inData) {
      client += FromHex(line);
    }
  }
  return {client, server};
}

int TcpStreams(const std::string& path) {
  std::istringstream lines(Tshark(path, "-T fields -e tcp.stream"));
  std::set<std::string> streams;
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) streams.insert(line);
  }
  return static_cast<int>(streams.size());
}

std::string CaptureProblems(const std::string& path) {
  return Tshark(path,
                "-o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE "
                "-Y '(tcp.analysis.flags && !tcp.analysis.window_update) || tcp.checksum.status != 1 || "
                "ip.checksum.status == 0 || _ws.malformed'");
}

}  // namespace tapline::test
