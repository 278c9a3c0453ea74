#include "log/split_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tapline::log {

namespace {

// Blocks up to this size wait for the turn's end, and at most this much waits per file; larger ones are
// written at once, so bulk traffic costs one write per block.
constexpr std::size_t kHoldLimit = 16 * 1024;

// A piece of a file name: anything a shell would trip over becomes "_".
std::string NamePart(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                c == '-' || c == ':';
    if (!keep) c = '_';
  }
  return out;
}

}  // namespace

std::string SystemReason(int error) { return std::generic_category().message(error); }

SplitFiles::~SplitFiles() { Close(); }

std::string SplitFiles::Create(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return error.message();
  if (!std::filesystem::is_directory(folder, error)) return SystemReason(ENOTDIR);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return SystemReason(errno);
  folder_ = folder;
  failed_ = false;
  failure_.clear();
  return {};
}

std::string SplitFiles::FileName(std::int32_t id, const platform::Endpoint& client, const std::string& remoteHost,
                                 std::uint16_t remotePort, Direction direction) {
  const std::string from = NamePart(client.AddressText()) + "_" + std::to_string(client.Port());
  const std::string to = NamePart(remoteHost) + "_" + std::to_string(remotePort);
  return std::to_string(id) + "-" + (direction == Direction::ClientToServer ? from + "-to-" + to : to + "-to-" + from) +
         ".bin";
}

void SplitFiles::Fail(const File& file, int error) {
  if (failed_) return;
  failed_ = true;
  failure_ = "Could not write split file " + file.name + ": " + SystemReason(error);
  // Nothing more is written; the records go at the close (callers may still hold one).
  for (auto& [id, files] : open_) CloseFiles(files);
}

void SplitFiles::Opened(const ConnectionOpened& event) {
  if (failed_) return;
  Files& files = open_[event.id];
  for (int d = 0; d < 2; ++d) {
    File& file = files.direction[d];
    assert(file.fd < 0);  // numbers are never given twice in a run
    file.name = folder_ + "/" +
                FileName(event.id, event.client, event.remoteHost, event.remotePort,
                         d == 0 ? Direction::ClientToServer : Direction::ServerToClient);
    // Readable by the owner alone: the files hold what was said, with -tls-listen decrypted.
    file.fd = open(file.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file.fd < 0) {
      Fail(file, errno);
      return;
    }
  }
}

bool SplitFiles::Write(File& file, const char* bytes, std::size_t length) {
  while (length > 0) {
    ssize_t n = write(file.fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(file, n < 0 ? errno : ENOSPC);
      return false;
    }
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SplitFiles::WriteHeld(File& file) {
  if (file.held.empty()) return true;
  std::string held;
  held.swap(file.held);
  return Write(file, held.data(), held.size());
}

void SplitFiles::Data(const DataRead& event) {
  if (failed_) return;
  auto it = open_.find(event.id);
  if (it == open_.end()) return;
  Files& files = it->second;
  File& file = files.direction[event.direction == Direction::ClientToServer ? 0 : 1];
  const auto length = static_cast<std::size_t>(event.length);
  if (file.held.size() + length <= kHoldLimit) {
    file.held.append(event.bytes, length);
    if (!files.waiting) {
      files.waiting = true;
      waiting_.push_back(event.id);
    }
    return;
  }
  // What waits goes first, so the file keeps the order of the bytes.
  if (!WriteHeld(file)) return;
  Write(file, event.bytes, length);
}

void SplitFiles::Flush() {
  for (std::int32_t id : waiting_) {
    if (failed_) break;
    auto it = open_.find(id);
    if (it == open_.end()) continue;
    it->second.waiting = false;
    for (File& file : it->second.direction) {
      if (!WriteHeld(file)) break;
    }
  }
  waiting_.clear();
}

void SplitFiles::CloseFiles(Files& files) {
  for (File& file : files.direction) {
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    file.held.clear();
  }
}

void SplitFiles::Closed(std::int32_t id, bool, TimePoint) {
  auto it = open_.find(id);
  if (it == open_.end()) return;
  for (File& file : it->second.direction) {
    if (failed_ || !WriteHeld(file)) break;
  }
  CloseFiles(it->second);
  open_.erase(it);
  // A connection listed in waiting_ is skipped by Flush once it is gone.
}

std::string SplitFiles::TakeFailure() {
  std::string failure;
  failure.swap(failure_);
  return failure;
}

void SplitFiles::Close() {
  for (auto& [id, files] : open_) {
    for (File& file : files.direction) {
      if (!failed_ && file.fd >= 0) WriteHeld(file);
    }
  }
  for (auto& [id, files] : open_) CloseFiles(files);
  open_.clear();
  waiting_.clear();
}

}  // namespace tapline::log
