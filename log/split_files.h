// The -split export: each connection's two directions in two files of a folder, named with the
// connection's number and endpoints, holding exactly the bytes forwarded each way. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "log/export_sink.h"

namespace tapline::log {

class SplitFiles : public ExportSink {
 public:
  SplitFiles() = default;
  ~SplitFiles() override;  // closes whatever is open
  SplitFiles(const SplitFiles&) = delete;
  SplitFiles& operator=(const SplitFiles&) = delete;

  // Makes the folder (and the folders above it) where it does not exist yet. Empty when it can be
  // written to; otherwise the reason, as the system words it.
  std::string Create(const std::string& folder);

  // The name of one direction's file of a connection (no folder).
  static std::string FileName(std::int32_t id, const platform::Endpoint& client, const std::string& remoteHost,
                              std::uint16_t remotePort, Direction direction);

  void Opened(const ConnectionOpened& event) override;  // both files are made now, empty
  void ServerConnected(std::int32_t, const platform::Endpoint&, TimePoint) override {}
  void ConnectFailed(std::int32_t, const platform::Endpoint&, TimePoint) override {}
  void Data(const DataRead& event) override;
  void StreamEnded(std::int32_t, Direction, TimePoint) override {}
  void Closed(std::int32_t id, bool orderly, TimePoint at) override;
  void Flush() override;
  std::string TakeFailure() override;
  void Close() override;

 private:
  struct File {
    int fd = -1;
    std::string name;
    std::string held;  // small blocks wait here for the turn's end, to keep the writes few
  };
  struct Files {
    File direction[2];  // client to server, server to client
    bool waiting = false;  // in waiting_
  };

  bool Write(File& file, const char* bytes, std::size_t length);
  bool WriteHeld(File& file);
  void CloseFiles(Files& files);
  void Fail(const File& file, int error);

  std::string folder_;
  std::unordered_map<std::int32_t, Files> open_;
  std::vector<std::int32_t> waiting_;  // connections with held bytes
  bool failed_ = false;
  std::string failure_;
};

}  // namespace tapline::log
