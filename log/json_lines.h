// The -json export: JSON Lines, one object per event of the run and of each connection, the bytes of
// every block in base64 (and as text when they are UTF-8 text), written through a buffered stream that
// goes out at the end of each loop turn. Main thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "log/export_sink.h"

namespace tapline::log {

class JsonLines : public ExportSink {
 public:
  JsonLines() = default;
  ~JsonLines() override;  // closes without the stop event if still open
  JsonLines(const JsonLines&) = delete;
  JsonLines& operator=(const JsonLines&) = delete;

  // Creates (or empties) the file and writes the run's start event naming the remote host and port.
  // Empty when done; otherwise the reason, as the system words it.
  std::string Create(const std::string& path, const std::string& remote, TimePoint at);

  void Opened(const ConnectionOpened& event) override;
  void ServerConnected(std::int32_t id, const platform::Endpoint& server, TimePoint at) override;
  void ConnectFailed(std::int32_t id, const platform::Endpoint& server, TimePoint at) override;
  void Data(const DataRead& event) override;
  void StreamEnded(std::int32_t id, Direction direction, TimePoint at) override;
  void Closed(std::int32_t id, bool orderly, TimePoint at) override;
  void Flush() override;
  std::string TakeFailure() override;
  // Writes the run's stop event and closes the file.
  void Close() override;
  void Close(TimePoint at);

 private:
  // Starts an object: the time, the connection's number (none for the run's own events), the event.
  void Begin(TimePoint at, std::int32_t id, const char* event);
  void Field(const char* name, const std::string& text);  // ,"name":"text" with the text escaped
  void End();                                              // closes the object and writes the line
  void AppendTime(TimePoint at);
  void Fail(int error);

  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> buffer_;  // the stream's buffer; must outlive the stream
  std::string path_;
  std::string line_;                   // the object being made
  std::vector<unsigned char> base64_;  // reused for every block
  bool failed_ = false;
  std::string failure_;
  // The date and time up to the seconds, with the offset, change once a second.
  std::int64_t cachedSecond_ = INT64_MIN;
  std::string cachedDate_;    // "2026-12-11T17:05:30"
  std::string cachedOffset_;  // "+01:00"
};

}  // namespace tapline::log
