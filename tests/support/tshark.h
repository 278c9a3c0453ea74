// Reads a capture file back with tshark for tests: the bytes of each direction of a TCP conversation,
// the conversation count, and whatever tshark finds wrong in it. Any thread; each call runs tshark.
#pragma once

#include <string>
#include <utility>

namespace tapline::test {

// Runs `tshark -n -r <path> <args>` and answers its standard output. A tshark that is missing or fails
// fails the calling test: the set-up script installs it. With `cutShortAllowed`, a file whose last packet
// was cut short (a relay killed in the middle of a write) is read up to it without failing.
std::string Tshark(const std::string& path, const std::string& args, bool cutShortAllowed = false);

// What the client (the conversation's first sender) and the server sent in TCP stream `stream`.
std::pair<std::string, std::string> FollowTcp(const std::string& path, int stream, bool cutShortAllowed = false);

// The number of TCP conversations in the file.
int TcpStreams(const std::string& path);

// One line per packet that tshark's TCP analysis flags (window updates aside), whose IPv4 or TCP
// checksum is wrong, or that is malformed; empty for a clean capture.
std::string CaptureProblems(const std::string& path);

}  // namespace tapline::test
