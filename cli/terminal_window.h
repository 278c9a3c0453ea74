// The headless front end's stand-in for the window: the log view is standard output (coloured on a
// terminal), the counters go to a status line on standard error when that is a terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "engine/relay_window.h"
#include "engine/command_line.h"

namespace tapline::cli {

class TerminalWindow : public engine::RelayWindow {
 public:
  TerminalWindow(std::FILE* out, std::FILE* status);

  void ShowCount(engine::Counter counter, std::int64_t value) override;
  void SetRunningState(bool running) override { running_ = running; }
  void ClearLogView() override {}
  void ShowLocalAddress(const std::string&) override {}

  // Standard output keeps everything: no size limit, nothing to trim.
  std::int32_t BufferSize() const override { return -1; }
  std::int64_t TextLength() const override { return 0; }
  void DeleteFirstLine() override {}
  void InsertAtEnd(const char* text, std::size_t length, log::Colour colour) override;
  void ScrollToEnd() override {}

  bool Running() const { return running_; }
  // Redraws the status line if a counter changed since the last time (called at most four times a second).
  void RefreshStatus(bool force = false);
  void EndStatus();  // clears the status line before the program ends

 private:
  const char* ColourCode(log::Colour colour) const;
  void Emit(const char* text, std::size_t length);  // to standard output, unbuffered by the stream

  std::FILE* out_;
  std::FILE* status_;  // null when standard error is no terminal
  bool colours_;
  bool running_ = false;
  std::int64_t counts_[5] = {};
  bool dirty_ = false;
  static constexpr std::size_t kStagingSize = 256 * 1024;
  std::unique_ptr<char[]> staging_;  // the LF-only copy of an insertion, a chunk at a time
};

}  // namespace tapline::cli
