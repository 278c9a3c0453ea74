// The log file of a relay run: plain text, or an HTML page whose spans keep each kind's colour.
// Main thread only; written through a buffered stream that its owner flushes once per event-loop turn,
// which is where a failed write shows (nothing more is written after one).
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "log/log_record.h"

namespace tapline::log {

// True when the last path component has an extension and it is ".htm" or ".html" in any case.
bool IsHtmlFileName(const std::string& fileName);

class LogFile {
 public:
  LogFile() = default;
  ~LogFile();  // closes without a trailer if still open
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Creates (or empties) the file, private to its owner when new (it holds what was said); an HTML name
  // gets the header lines. False when it cannot be created or the header cannot be written, with the
  // system's error number in `error`.
  bool Create(const std::string& fileName, int* error = nullptr);
  bool IsOpen() const { return file_ != nullptr; }
  bool Html() const { return html_; }

  // WriteLogFile: one text in one colour; HTML escapes and span changes apply to the HTML variant.
  void Write(const char* text, Colour colour);
  void Write(const char* text, std::size_t length, Colour colour);
  // Hex dump lines as FormatHexDump composes them, in a data colour: the same bytes as Write would
  // make of them, without escaping each character of the fixed layout.
  void WriteHexDump(const char* dump, std::size_t length, Colour colour = DataLine);

  // What was written so far goes to the file's descriptor (one write for a turn's lines). Answers 0, or
  // the error number of the first write that failed since the file was created.
  int Flush();

  // Writes the trailer (HTML only) and closes the file; answers as Flush does.
  int Close();
  // Closes the file as it stands, after a failure: no trailer, no more writes.
  void Abandon();

 private:
  std::FILE* file_ = nullptr;
  bool html_ = false;                   // LogFileHtml
  Colour openSpanColour_ = 0xFFFFFF;    // OpenSpanColour; 0xFFFFFF = no span open
  std::unique_ptr<char[]> buffer_;      // the stream's buffer; must outlive the stream
  int error_ = 0;                       // the first failed write's error number; 0 while all went well
  void Put(const char* text, std::size_t length);
  void Put(const char* text);

  // Escaped text waiting for the stream (HTML only); empty between calls.
  static constexpr std::size_t kStagingSize = 64 * 1024;
  std::unique_ptr<char[]> staging_;
  std::size_t staged_ = 0;
  char* Reserve(std::size_t room);  // room for `room` characters at staging_ + staged_
  void Stage(const char* text, std::size_t length);
  void StageEscaped(const char* text, std::size_t length, bool afterBlank);  // HTML-escaped
  void FlushStaged();
  void OpenSpan(Colour colour);  // closes the open span and opens the colour's, unless it is open
};

}  // namespace tapline::log
