// The headless front end's stand-in for the window: the log view is standard output (coloured on a
// terminal), the counters go to a status line on standard error when that is a terminal. Neither is
// ever waited for: a terminal or pipe that is not read holds the view back, never the relay. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/output_queue.h"
#include "engine/relay_window.h"
#include "engine/command_line.h"
#include "platform/event_loop.h"

namespace tapline::cli {

class TerminalWindow : public engine::RelayWindow {
 public:
  // With a loop, a pipe or terminal is written without blocking; without one (tests), every write blocks.
  TerminalWindow(std::FILE* out, std::FILE* status, platform::EventLoop* loop = nullptr);
  ~TerminalWindow() override;  // writes out what is still held back, as far as the reader takes it now

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
  // Insertions are held back and written together, with one status line redraw, once the display
  // queue's step is done.
  void BatchesDone() override { WriteOut(); }
  // A reader that falls behind holds the display queue back (it skips lines past its own bound); a
  // regular file never falls behind and is written whole.
  bool Ready() const override { return out_->Waiting() < kWaitingMark; }
  bool Lossless() const override { return out_->Lossless(); }

  bool Running() const { return running_; }
  // Redraws the status line if a counter changed since the last time (called at most four times a second).
  void RefreshStatus(bool force = false);
  // Writes out what is held back and clears the status line before the program ends, waiting for a slow
  // reader until `deadline` at the most.
  void EndStatus(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now());
  // Measures the terminal's width again (at the start and on SIGWINCH) and redraws the status line.
  void MeasureWidth();

  // The status line for the five counts, at most `width` - 1 characters, so that it never reaches the
  // last column (where a terminal would wrap it and leave a fragment in the scrollback).
  static std::string StatusLine(const std::int64_t (&counts)[5], int width);

 private:
  const char* ColourCode(log::Colour colour) const;
  void Stage(const char* text);      // a colour code, after the staged text
  void EmitStaged();                 // the staged text to standard output, the status line cleared first
  void WriteOut();                   // EmitStaged, then the status line drawn again
  void Status(const std::string& text);  // to the status line's terminal, behind the log text on it

  static constexpr std::size_t kWaitingMark = 1 << 20;
  std::unique_ptr<OutputQueue> out_;
  std::unique_ptr<OutputQueue> statusQueue_;  // null without a status line, or when it shares out_'s terminal
  OutputQueue* StatusQueue() { return statusQueue_ ? statusQueue_.get() : out_.get(); }
  int statusFd_;  // the terminal that shows the status line; -1 when standard error is no terminal
  bool colours_;
  bool running_ = false;
  std::int64_t counts_[5] = {};
  bool dirty_ = false;
  int width_ = 80;
  static constexpr std::size_t kStagingSize = 256 * 1024;
  std::unique_ptr<char[]> staging_;  // the LF-only copy of the insertions held back, a chunk at a time
  std::size_t staged_ = 0;
  bool statusCleared_ = false;       // the status line is off the screen until WriteOut draws it again
};

}  // namespace tapline::cli
