#include "cli/terminal_window.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "log/format_count.h"
#include "log/text_lines.h"
#include "cli/lf_line_ends.h"

namespace tapline::cli {

TerminalWindow::TerminalWindow(std::FILE* out, std::FILE* status, platform::EventLoop* loop)
    : statusFd_(status != nullptr ? fileno(status) : -1), colours_(isatty(fileno(out)) != 0) {
  // Whatever the stream still holds goes first; from here on the descriptor is written directly.
  std::fflush(out);
  out_ = std::make_unique<OutputQueue>(fileno(out), loop);
  if (statusFd_ >= 0) {
    winsize size{};
    if (ioctl(statusFd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) width_ = size.ws_col;
    // On one terminal the status line and the log take turns in one queue, so they stay in order.
    if (!out_->SameFileAs(statusFd_)) statusQueue_ = std::make_unique<OutputQueue>(statusFd_, loop);
  }
}

void TerminalWindow::MeasureWidth() {
  if (statusFd_ < 0) return;
  winsize size{};
  if (ioctl(statusFd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) width_ = size.ws_col;
  RefreshStatus(true);
}

std::string TerminalWindow::StatusLine(const std::int64_t (&counts)[5], int width) {
  std::string n[5];
  for (int i = 0; i < 5; ++i) n[i] = log::FormatCount(counts[i]);
  const std::string connections = n[0] + (counts[0] == 1 ? " connection" : " connections");
  // The longest form that fits, then shorter ones, and last the shortest cut to the width.
  const std::string forms[] = {
      connections + " | client to server " + n[1] + " sent, " + n[2] + " buffered | server to client " + n[3] +
          " sent, " + n[4] + " buffered",
      connections + " | to server " + n[1] + ", " + n[2] + " buffered | to client " + n[3] + ", " + n[4] +
          " buffered",
      n[0] + " conn | >s " + n[1] + " (" + n[2] + ") | >c " + n[3] + " (" + n[4] + ")",
  };
  const std::size_t room = width > 1 ? static_cast<std::size_t>(width - 1) : 0;
  for (const std::string& form : forms) {
    if (form.size() <= room) return form;
  }
  return forms[2].substr(0, room);
}

void TerminalWindow::ShowCount(engine::Counter counter, std::int64_t value) {
  counts_[static_cast<int>(counter)] = value;
  dirty_ = true;
}

const char* TerminalWindow::ColourCode(log::Colour colour) const {
  switch (colour) {
    case log::MessageLine: return "\x1b[34m";        // navy
    case log::InformLine: return "\x1b[31m";         // maroon
    case log::ErrorLine: return "\x1b[1;31m";        // red
    case log::RewrittenHostLine: return "\x1b[35m";  // purple
    case log::ClientDataLine: return "\x1b[32m";     // green: what the client sent
    case log::ServerDataLine: return "\x1b[36m";     // cyan: what the server sent
    default: return "\x1b[39m";                      // the terminal's own colour for data
  }
}

TerminalWindow::~TerminalWindow() { EmitStaged(); }

void TerminalWindow::InsertAtEnd(const char* text, std::size_t length, log::Colour colour) {
  // Lines end in CR LF in the view; a terminal and a file want LF alone. The text goes out through a
  // staging buffer of fixed size that is reused for every insertion: a large batch (a whole block's hex
  // dump) costs neither a matching allocation nor a pass over fresh memory, only one write per chunk.
  // The insertions of one display step (a short connection's lines, in two colours) share the writes.
  if (!staging_) staging_.reset(new char[kStagingSize]);
  // A terminal obeys control bytes: anything that is not text (a character cut by the end of a read
  // shows in two pieces) goes out as "?".
  std::string cleaned;
  if (!log::IsUtf8Text(text, length)) {
    cleaned.assign(text, length);
    log::ReplaceNonText(cleaned.data(), cleaned.size());
    text = cleaned.data();
  }
  if (colours_) Stage(ColourCode(colour));
  const char* p = text;
  const char* end = text + length;
  while (p < end) {
    std::size_t written = 0;
    p = CopyWithLfLineEnds(p, end, staging_.get() + staged_, kStagingSize - staged_, written);
    staged_ += written;
    if (p < end) EmitStaged();
  }
  if (colours_) Stage("\x1b[0m");
}

void TerminalWindow::Stage(const char* text) {
  std::size_t n = std::strlen(text);
  if (kStagingSize - staged_ < n + 16) EmitStaged();
  std::memcpy(staging_.get() + staged_, text, n);
  staged_ += n;
}

void TerminalWindow::EmitStaged() {
  if (staged_ == 0) return;
  if (statusFd_ >= 0 && !statusCleared_) {
    Status("\r\x1b[K");
    statusCleared_ = true;
  }
  out_->Write(staging_.get(), staged_);
  staged_ = 0;
}

void TerminalWindow::WriteOut() {
  EmitStaged();
  if (statusCleared_) {
    statusCleared_ = false;
    RefreshStatus(true);
  }
}

void TerminalWindow::Status(const std::string& text) { StatusQueue()->Write(text.data(), text.size()); }

void TerminalWindow::RefreshStatus(bool force) {
  if (statusFd_ < 0 || (!dirty_ && !force)) return;
  // A terminal that is not taking what it has been given gets no more redraws until it does.
  if (StatusQueue()->Waiting() > 0) return;
  dirty_ = false;
  Status("\r\x1b[K" + StatusLine(counts_, width_));
}

void TerminalWindow::EndStatus(std::chrono::steady_clock::time_point deadline) {
  EmitStaged();
  if (statusFd_ >= 0) Status("\r\x1b[K");
  out_->FlushUntil(deadline);
  if (statusQueue_) statusQueue_->FlushUntil(deadline);
}

}  // namespace tapline::cli
