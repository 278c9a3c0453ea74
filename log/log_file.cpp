#include "log/log_file.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tapline::log {

namespace {

constexpr Colour kNoSpan = 0xFFFFFF;
// Heavy traffic logs many short lines; a large buffer keeps the write system calls rare.
constexpr std::size_t kStreamBufferSize = 256 * 1024;

constexpr const char* kHeaderLines[] = {
    "<html>",
    "<head>",
    "  <meta name=\"Generator\" content=\"Tapline\">",
    "  <title>Tapline Log File</title>",
    "  <style type=\"text/css\">",
    "    <!--",
    "    span {font-size: 10pt; font-family: \"Courier New\", Courier, monospace}",
    "    span.tserror {color: red}",
    "    span.tsmsg {color: navy}",
    "    span.tsdata {color: black}",
    "    span.tsinform {color: maroon}",
    "    body {background: white; margin-top: 0; margin-right: 0; margin-left: 0; margin-bottom: 0}",
    "    -->",
    "  </style>",
    "</head>",
    "<body>",
};

// The characters the HTML variant may have to replace; everything else is copied in runs.
constexpr std::array<bool, 256> MakeSpecialTable() {
  std::array<bool, 256> table{};
  table['<'] = table['>'] = table['&'] = table[' '] = table['\r'] = true;
  return table;
}
constexpr std::array<bool, 256> kSpecial = MakeSpecialTable();

// Any colour without a class of its own (the rewritten Host line's purple) is data in the file.
Colour FileColour(Colour colour) {
  switch (colour) {
    case MessageLine:
    case InformLine:
    case ErrorLine:
      return colour;
    default:
      return DataLine;
  }
}

const char* ClassName(Colour fileColour) {
  switch (fileColour) {
    case MessageLine:
      return "tsmsg";
    case InformLine:
      return "tsinform";
    case ErrorLine:
      return "tserror";
    default:
      return "tsdata";
  }
}

void Put(std::FILE* file, const char* text, std::size_t length) {
  if (length > 0) std::fwrite(text, 1, length, file);
}

void Put(std::FILE* file, const char* text) { Put(file, text, std::strlen(text)); }

// Collects the escaped pieces of one text and hands them to the stream in large blocks: a dump line
// breaks into a dozen pieces, and one locked fwrite per piece would cost more than the escaping.
class StagedOutput {
 public:
  explicit StagedOutput(std::FILE* file) : file_(file) {}
  ~StagedOutput() { Flush(); }
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  void Put(const char* text, std::size_t length) {
    if (length > sizeof buffer_ - used_) {
      Flush();
      if (length >= sizeof buffer_) {
        std::fwrite(text, 1, length, file_);
        return;
      }
    }
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
  }
  void Put(const char* text) { Put(text, std::strlen(text)); }

  void Flush() {
    // Only the main thread writes the log file, so the stream's own lock is not needed.
    if (used_ > 0) fwrite_unlocked(buffer_, 1, used_, file_);
    used_ = 0;
  }

 private:
  std::FILE* file_;
  std::size_t used_ = 0;
  char buffer_[32768];
};

}  // namespace

bool IsHtmlFileName(const std::string& fileName) {
  // Both separators count, so that a name typed the Windows way still finds its last component.
  std::size_t slash = fileName.find_last_of("/\\");
  std::size_t componentStart = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = fileName.find_last_of('.');
  if (dot == std::string::npos || dot < componentStart) return false;
  std::string extension = fileName.substr(dot);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension == ".htm" || extension == ".html";
}

LogFile::~LogFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool LogFile::Create(const std::string& fileName) {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  buffer_.reset();
  file_ = std::fopen(fileName.c_str(), "wb");
  if (file_ == nullptr) return false;
  buffer_ = std::make_unique<char[]>(kStreamBufferSize);
  std::setvbuf(file_, buffer_.get(), _IOFBF, kStreamBufferSize);
  html_ = IsHtmlFileName(fileName);
  openSpanColour_ = kNoSpan;
  if (html_) {
    for (const char* line : kHeaderLines) {
      Put(file_, line);
      Put(file_, "\r\n", 2);
    }
  }
  return true;
}

void LogFile::Write(const char* text, Colour colour) { Write(text, std::strlen(text), colour); }

void LogFile::Write(const char* text, std::size_t length, Colour colour) {
  if (file_ == nullptr) return;
  if (!html_) {
    Put(file_, text, length);
    return;
  }
  StagedOutput out(file_);
  Colour fileColour = FileColour(colour);
  if (fileColour != openSpanColour_) {
    if (openSpanColour_ != kNoSpan) out.Put("</span>");
    openSpanColour_ = fileColour;
    out.Put("<span class=\"");
    out.Put(ClassName(fileColour));
    out.Put("\">");
  }

  // Each character becomes at most seven ("<br />" and the CR), so a chunk of input never overruns.
  char chunk[16384];
  const std::size_t inputPerChunk = sizeof chunk / 7;
  std::size_t i = 0;
  while (i < length) {
    std::size_t end = std::min(length, i + inputPerChunk);
    char* o = chunk;
    for (; i < end; ++i) {
      char c = text[i];
      if (!kSpecial[static_cast<unsigned char>(c)]) {
        *o++ = c;
        continue;
      }
      switch (c) {
        case '<':
          std::memcpy(o, "&lt;", 4);
          o += 4;
          break;
        case '>':
          std::memcpy(o, "&gt;", 4);
          o += 4;
          break;
        case '&':
          std::memcpy(o, "&amp;", 5);
          o += 5;
          break;
        case ' ':
          // Browsers fold runs of blanks; every blank after the first of a run must survive.
          if (i == 0 || text[i - 1] != ' ') {
            *o++ = ' ';
          } else {
            std::memcpy(o, "&nbsp;", 6);
            o += 6;
          }
          break;
        default:  // CR: the break tag, then the CR itself so the file keeps its lines
          std::memcpy(o, "<br />\r", 7);
          o += 7;
          break;
      }
    }
    out.Put(chunk, static_cast<std::size_t>(o - chunk));
  }
}

void LogFile::Close() {
  if (file_ == nullptr) return;
  if (html_) {
    if (openSpanColour_ != kNoSpan) Put(file_, "</span>\r\n");
    Put(file_, "</body>\r\n");
    Put(file_, "</html>\r\n");
  }
  std::fclose(file_);
  file_ = nullptr;
  buffer_.reset();
  html_ = false;
  openSpanColour_ = kNoSpan;
}

}  // namespace tapline::log
