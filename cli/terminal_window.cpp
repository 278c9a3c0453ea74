#include "cli/terminal_window.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/format_count.h"
#include "log/text_lines.h"

namespace tapline::cli {

TerminalWindow::TerminalWindow(std::FILE* out, std::FILE* status)
    : out_(out), status_(status), colours_(isatty(fileno(out)) != 0) {}

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
    default: return "\x1b[39m";                      // the terminal's own colour for data
  }
}

void TerminalWindow::InsertAtEnd(const char* text, std::size_t length, log::Colour colour) {
  if (status_ != nullptr) std::fputs("\r\x1b[K", status_);
  if (colours_) std::fputs(ColourCode(colour), out_);
  // Lines end in CR LF in the view; a terminal and a file want LF alone. The text goes out through a
  // staging buffer of fixed size that is reused for every insertion: a large batch (a whole block's hex
  // dump) costs neither a matching allocation nor a pass over fresh memory, only one write per chunk.
  if (!staging_) staging_.reset(new char[kStagingSize]);
  char* staged = staging_.get();
  std::size_t n = 0;
  const char* p = text;
  const char* end = text + length;
  while (p < end) {
    std::size_t written = 0;
    p = log::CopyWithLfLineEnds(p, end, staged + n, kStagingSize - n, written);
    n += written;
    if (p < end) {
      Emit(staged, n);
      n = 0;
    }
  }
  Emit(staged, n);
  if (colours_) std::fputs("\x1b[0m", out_);
  std::fflush(out_);
  if (status_ != nullptr) RefreshStatus(true);
}

void TerminalWindow::Emit(const char* text, std::size_t length) {
  if (length == 0) return;
  int fd = fileno(out_);
  if (fd < 0) {
    std::fwrite(text, 1, length, out_);
    return;
  }
  // Straight to the descriptor, after whatever the stream still holds (a colour code).
  std::fflush(out_);
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // like the stream, a failed write loses the text
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

void TerminalWindow::RefreshStatus(bool force) {
  if (status_ == nullptr || (!dirty_ && !force)) return;
  dirty_ = false;
  std::fprintf(status_, "\r\x1b[K%s connections | client to server %s sent, %s buffered | server to client %s sent, %s buffered",
               engine::FormatCount(counts_[0]).c_str(), engine::FormatCount(counts_[1]).c_str(),
               engine::FormatCount(counts_[2]).c_str(), engine::FormatCount(counts_[3]).c_str(),
               engine::FormatCount(counts_[4]).c_str());
  std::fflush(status_);
}

void TerminalWindow::EndStatus() {
  if (status_ == nullptr) return;
  std::fputs("\r\x1b[K", status_);
  std::fflush(status_);
}

}  // namespace tapline::cli
