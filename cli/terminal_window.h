// The headless front end's stand-in for the window: the log view is standard output (coloured on a
// terminal), the counters go to a status line on standard error when that is a terminal.
// Main thread only.
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
  ~TerminalWindow() override;  // writes out what is still held back

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

  bool Running() const { return running_; }
  // Redraws the status line if a counter changed since the last time (called at most four times a second).
  void RefreshStatus(bool force = false);
  void EndStatus();  // writes out what is held back and clears the status line before the program ends
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
  void Emit(const char* text, std::size_t length);  // to standard output, unbuffered by the stream

  std::FILE* out_;
  std::FILE* status_;  // null when standard error is no terminal
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
