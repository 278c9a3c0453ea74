#include "log/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tapline::log {

namespace {

constexpr Colour kNoSpan = 0xFFFFFF;
// Heavy traffic logs many short lines; a large buffer keeps the write system calls rare.
constexpr std::size_t kStreamBufferSize = 256 * 1024;

constexpr const char* kHeaderLines[] = {
    "<!DOCTYPE html>",
    "<html>",
    "<head>",
    "  <meta charset=\"utf-8\">",
    "  <meta name=\"Generator\" content=\"Tapline\">",
    "  <title>Tapline Log File</title>",
    "  <style type=\"text/css\">",
    "    <!--",
    "    span {font-size: 10pt; font-family: \"Courier New\", Courier, monospace; white-space: pre-wrap}",
    "    span.tserror {color: red}",
    "    span.tsmsg {color: navy}",
    "    span.tsdata {color: black}",
    "    span.tsinform {color: maroon}",
    "    span.tsclient {color: darkgreen}",
    "    span.tsserver {color: teal}",
    "    span.tshost {color: purple}",
    "    body {background: white; margin-top: 0; margin-right: 0; margin-left: 0; margin-bottom: 0}",
    "    -->",
    "  </style>",
    "</head>",
    "<body>",
};
// The characters the HTML variant must replace; everything else, blanks and tabs included, is copied in
// runs (the page keeps white space as it is, so the line ends in the file are the line breaks too).
constexpr std::array<bool, 256> MakeSpecialTable() {
  std::array<bool, 256> table{};
  table['<'] = table['>'] = table['&'] = true;
  return table;
}
constexpr std::array<bool, 256> kSpecial = MakeSpecialTable();
// Every kind has a class of its own, but for colours nothing logs (which count as plain data).
Colour FileColour(Colour colour) {
  switch (colour) {
    case MessageLine:
    case InformLine:
    case ErrorLine:
    case ClientDataLine:
    case ServerDataLine:
    case RewrittenHostLine:
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
    case ClientDataLine:
      return "tsclient";
    case ServerDataLine:
      return "tsserver";
    case RewrittenHostLine:
      return "tshost";
    default:
      return "tsdata";
  }
}

// The most one input character becomes: "&amp;".
constexpr std::size_t kWorstPerChar = 5;

// Escapes `length` characters for the page into `o` (room for kWorstPerChar each) and answers the end.
// `afterBlank` is no longer needed (white space is kept as it is) and stays for the callers' sake.
char* EscapeHtml(char* o, const char* text, std::size_t length, bool /*afterBlank*/) {
  for (std::size_t i = 0; i < length; ++i) {
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
      default:  // '&'
        std::memcpy(o, "&amp;", 5);
        o += 5;
        break;
    }
  }
  return o;
}
// Whether any of the 16 characters needs escaping.
bool AnySpecial16(const char* text) {
#if defined(__SSE2__)
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')), _mm_cmpeq_epi8(v, _mm_set1_epi8('>'))),
                              _mm_cmpeq_epi8(v, _mm_set1_epi8('&')));
  return _mm_movemask_epi8(hits) != 0;
#else
  for (int k = 0; k < 16; ++k) {
    if (kSpecial[static_cast<unsigned char>(text[k])]) return true;
  }
  return false;
#endif
}
constexpr std::size_t kDumpLine = 74;  // a dump line with its CR LF
constexpr std::size_t kWorstDumpLine = kDumpLine * kWorstPerChar;
// Escapes one hex dump line laid out as FormatHexDump does (72 characters and CR LF) and answers the end;
// nullptr when the line is not such a line. Only its character column can hold anything to escape.
char* EscapeFullDumpLine(char* o, const char* line) {
  if (line[72] != '\r' || line[73] != '\n') return nullptr;
  const char* chars = line + 56;
  std::memcpy(o, line, 56);
  o += 56;
  if (AnySpecial16(chars)) {
    o = EscapeHtml(o, chars, 16, false);
  } else {
    std::memcpy(o, chars, 16);
    o += 16;
  }
  std::memcpy(o, "\r\n", 2);
  return o + 2;
}
}  // namespace

// Escaped pieces of one write are collected in the staging buffer and handed to the stream in large
// blocks: one locked fwrite per piece would cost more than the escaping.
char* LogFile::Reserve(std::size_t room) {
  if (room > kStagingSize - staged_) FlushStaged();
  return staging_.get() + staged_;
}

void LogFile::FlushStaged() {
  // Only the main thread writes the log file, so the stream's own lock is not needed.
  if (staged_ > 0 && error_ == 0 && fwrite_unlocked(staging_.get(), 1, staged_, file_) != staged_) error_ = errno;
  staged_ = 0;
}

void LogFile::Put(const char* text, std::size_t length) {
  if (length > 0 && error_ == 0 && fwrite_unlocked(text, 1, length, file_) != length) error_ = errno;
}

void LogFile::Put(const char* text) { Put(text, std::strlen(text)); }

void LogFile::Stage(const char* text, std::size_t length) {
  char* o = Reserve(length);
  std::memcpy(o, text, length);
  staged_ += length;
}

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

bool LogFile::Create(const std::string& fileName, int* error) {
  Abandon();
  // Mode 0600 for a new file: with TLS ended here, the log holds decrypted traffic. A file that exists
  // keeps the mode its owner gave it.
  int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) close(fd);
  }
  if (file_ == nullptr) {
    if (error != nullptr) *error = errno;
    return false;
  }
  error_ = 0;
  buffer_ = std::make_unique<char[]>(kStreamBufferSize);
  if (!staging_) staging_.reset(new char[kStagingSize]);
  staged_ = 0;
  std::setvbuf(file_, buffer_.get(), _IOFBF, kStreamBufferSize);
  html_ = IsHtmlFileName(fileName);
  openSpanColour_ = kNoSpan;
  if (html_) {
    for (const char* line : kHeaderLines) {
      Put(line);
      Put("\r\n", 2);
    }
  }
  // A reader sees the header as soon as the run has started; a disk too full to take it refuses the start.
  if (int failed = Flush()) {
    Abandon();
    if (error != nullptr) *error = failed;
    return false;
  }
  return true;
}

int LogFile::Flush() {
  if (file_ != nullptr && error_ == 0 && std::fflush(file_) != 0) error_ = errno;
  return error_;
}

void LogFile::Write(const char* text, Colour colour) { Write(text, std::strlen(text), colour); }

void LogFile::Write(const char* text, std::size_t length, Colour colour) {
  if (file_ == nullptr || error_ != 0) return;
  if (!html_) {
    Put(text, length);
    return;
  }
  OpenSpan(colour);
  StageEscaped(text, length, false);
  FlushStaged();
}

void LogFile::StageEscaped(const char* text, std::size_t length, bool afterBlank) {
  // A chunk of input at a time, so that the worst case always fits the staging buffer.
  constexpr std::size_t kInputPerChunk = kStagingSize / kWorstPerChar;
  for (std::size_t i = 0; i < length;) {
    std::size_t n = std::min(length - i, kInputPerChunk);
    char* o = Reserve(n * kWorstPerChar);
    char* end = EscapeHtml(o, text + i, n, i > 0 ? text[i - 1] == ' ' : afterBlank);
    staged_ += static_cast<std::size_t>(end - o);
    i += n;
  }
}

void LogFile::WriteHexDump(const char* dump, std::size_t length, Colour colour) {
  if (file_ == nullptr || error_ != 0) return;
  if (!html_) {
    Put(dump, length);
    return;
  }
  OpenSpan(colour);
  std::size_t i = 0;
  for (; i + kDumpLine <= length; i += kDumpLine) {
    char* o = Reserve(kWorstDumpLine);
    char* end = EscapeFullDumpLine(o, dump + i);
    if (end == nullptr) {
      // A short line (the last one) or anything unforeseen: the ordinary escaping. Every line starts
      // after an LF, so no blank run reaches into it.
      end = EscapeHtml(o, dump + i, kDumpLine, i > 0 && dump[i - 1] == ' ');
    }
    staged_ += static_cast<std::size_t>(end - o);
  }
  StageEscaped(dump + i, length - i, i > 0 && dump[i - 1] == ' ');  // a partial line: not what a dump holds
  FlushStaged();
}

void LogFile::OpenSpan(Colour colour) {
  Colour fileColour = FileColour(colour);
  if (fileColour == openSpanColour_) return;
  if (openSpanColour_ != kNoSpan) Stage("</span>", 7);
  openSpanColour_ = fileColour;
  Stage("<span class=\"", 13);
  const char* name = ClassName(fileColour);
  Stage(name, std::strlen(name));
  Stage("\">", 2);
}

int LogFile::Close() {
  if (file_ == nullptr) return 0;
  if (html_) {
    if (openSpanColour_ != kNoSpan) Put("</span>\r\n");
    Put("</body>\r\n");
    Put("</html>\r\n");
  }
  Flush();
  if (std::fclose(file_) != 0 && error_ == 0) error_ = errno;
  file_ = nullptr;
  Abandon();
  return error_;
}

void LogFile::Abandon() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  buffer_.reset();
  html_ = false;
  openSpanColour_ = kNoSpan;
}

}  // namespace tapline::log
