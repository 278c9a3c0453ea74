// Texts in any colours written through the log file and read back. In the HTML variant no byte of a
// logged text may reach the file as markup: after the writer's own tags and the four entities are taken
// away, no '<', '>' or '&' is left, and undoing the escapes gives back the texts exactly, each inside a
// span of its colour's class. The plain variant holds the texts unchanged.
//
// Input: byte 0 chooses the variant, the file name's extension and whether the file is created a second
// time after the first text (which empties it); then records of a selector byte (colour, NUL-terminated
// or counted write, repetition), a length byte and the text.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_file.h"
#include "log/log_record.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using tapline::log::Colour;
using tapline::log::IsHtmlFileName;
using tapline::log::LogFile;

const char* const kHeaderLines[] = {
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

const char* const kHtmlExtensions[] = {".html", ".HTM", ".Html", ".htm"};
const char* const kPlainExtensions[] = {".txt", "", ".htm.bak", ".html.txt"};
constexpr int kRepeat[] = {1, 2, 40, 100};

// A memory file system when there is one: emptying and rewriting a file on a disk file system may make
// every close wait for the disk.
std::string Directory() {
  static std::string dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp != nullptr ? tmp : "/tmp");
    std::string pattern = base + "/tapline-fuzz-html-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "making a temporary folder in %s", base.c_str());
    return pattern;
  }();
  return dir;
}

void RemoveDirectory() { rmdir(Directory().c_str()); }

std::string ReadFile(const std::string& name) {
  std::string content;
  std::FILE* f = std::fopen(name.c_str(), "rb");
  FUZZ_CHECK(f != nullptr, "reopening %s", name.c_str());
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, got);
  std::fclose(f);
  return content;
}

std::string ClassOf(Colour colour) {
  switch (colour) {
    case tapline::log::MessageLine:
      return "tsmsg";
    case tapline::log::InformLine:
      return "tsinform";
    case tapline::log::ErrorLine:
      return "tserror";
    case tapline::log::ClientDataLine:
      return "tsclient";
    case tapline::log::ServerDataLine:
      return "tsserver";
    case tapline::log::RewrittenHostLine:
      return "tshost";
    default:
      return "tsdata";  // plain data and every colour without a class
  }
}

// What the name says about the variant: the extension of the last component, either separator.
bool ModelIsHtml(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  std::string_view component = slash == std::string_view::npos ? name : name.substr(slash + 1);
  std::size_t dot = component.find_last_of('.');
  if (dot == std::string_view::npos) return false;
  std::string extension(component.substr(dot));
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return extension == ".htm" || extension == ".html";
}

struct Written {
  std::string text;
  std::string cls;
};

struct Token {
  enum Kind { Open, Close, Char } kind;
  std::string_view cls;  // Open: the class name, inside the body
  char c = 0;            // Char
  bool escaped = false;  // Char written as an entity
};

bool At(std::string_view s, std::size_t i, std::string_view what) { return s.substr(i, what.size()) == what; }

std::vector<Token> Tokenize(std::string_view body) {
  static const struct {
    const char* entity;
    char c;
  } kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}};
  std::vector<Token> tokens;
  tokens.reserve(body.size());
  for (std::size_t i = 0; i < body.size();) {
    if (At(body, i, "</span>")) {
      tokens.push_back({Token::Close, {}, 0, false});
      i += 7;
      continue;
    }
    if (At(body, i, "<span class=\"")) {
      std::size_t from = i + 13;
      std::size_t to = body.find("\">", from);
      FUZZ_CHECK(to != std::string_view::npos, "an unfinished span tag at body offset %zu", i);
      std::string_view cls = body.substr(from, to - from);
      FUZZ_CHECK(cls == "tsmsg" || cls == "tsinform" || cls == "tserror" || cls == "tsdata" || cls == "tsclient" ||
                     cls == "tsserver" || cls == "tshost",
                 "a span of unknown class at body offset %zu", i);
      tokens.push_back({Token::Open, cls, 0, false});
      i = to + 2;
      continue;
    }
    bool entity = false;
    for (const auto& e : kEntities) {
      if (At(body, i, e.entity)) {
        tokens.push_back({Token::Char, {}, e.c, true});
        i += std::strlen(e.entity);
        entity = true;
        break;
      }
    }
    if (entity) continue;
    char c = body[i];
    FUZZ_CHECK(c != '<' && c != '>' && c != '&', "a raw '%c' reached the file at body offset %zu", c, i);
    tokens.push_back({Token::Char, {}, c, false});
    ++i;
  }
  return tokens;
}

void CheckHtml(const std::string& file, const std::vector<Written>& written) {
  std::string header;
  for (const char* line : kHeaderLines) header += std::string(line) + "\r\n";
  FUZZ_CHECK(file.compare(0, header.size(), header) == 0, "the file does not begin with the header lines");
  std::string trailer = std::string(written.empty() ? "" : "</span>\r\n") + "</body>\r\n</html>\r\n";
  FUZZ_CHECK(file.size() >= header.size() + trailer.size() &&
                 file.compare(file.size() - trailer.size(), trailer.size(), trailer) == 0,
             "the file does not end with the trailer");
  std::string_view body(file.data() + header.size(), file.size() - header.size() - trailer.size());
  std::vector<Token> tokens = Tokenize(body);

  std::size_t t = 0;
  std::string open;
  for (std::size_t w = 0; w < written.size(); ++w) {
    const Written& item = written[w];
    if (item.cls != open) {
      if (!open.empty()) {
        FUZZ_CHECK(t < tokens.size() && tokens[t].kind == Token::Close, "text %zu: the %s span is not closed", w,
                   open.c_str());
        ++t;
      }
      FUZZ_CHECK(t < tokens.size() && tokens[t].kind == Token::Open && tokens[t].cls == item.cls,
                 "text %zu: no %s span opens before it", w, item.cls.c_str());
      ++t;
      open = item.cls;
    }
    for (std::size_t j = 0; j < item.text.size(); ++j) {
      char c = item.text[j];
      FUZZ_CHECK(t < tokens.size() && tokens[t].kind == Token::Char, "text %zu: character %zu is missing or "
                 "interrupted by a tag", w, j);
      FUZZ_CHECK(tokens[t].c == c, "text %zu: character %zu reads back as %02X, %02X was written", w, j,
                 static_cast<unsigned char>(tokens[t].c), static_cast<unsigned char>(c));
      // White space is kept by the page's style, so it is written as it is.
      FUZZ_CHECK(!tokens[t].escaped || c == '<' || c == '>' || c == '&', "text %zu: character %zu escaped", w, j);
      ++t;
    }
  }
  FUZZ_CHECK(t == tokens.size(), "the body holds %zu more pieces than were written", tokens.size() - t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;

  // The whole input as a file name (up to its first NUL) decides the variant as the name rules say.
  std::string asName(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  FUZZ_CHECK(IsHtmlFileName(asName) == ModelIsHtml(asName), "IsHtmlFileName(\"%s\") is %d", asName.c_str(),
             IsHtmlFileName(asName));

  const bool html = (data[0] & 1) == 0;
  const int extension = (data[0] >> 1) & 3;
  const bool createAgain = (data[0] & 8) != 0;
  std::string name = Directory() + "/log" + (html ? kHtmlExtensions[extension] : kPlainExtensions[extension]);
  static const bool cleanUp = std::atexit(RemoveDirectory) == 0;
  (void)cleanUp;

  std::vector<Written> written;
  std::string plain;
  {
    LogFile file;
    FUZZ_CHECK(file.Create(name), "creating %s", name.c_str());
    FUZZ_CHECK(file.Html() == html, "%s is%s taken as HTML", name.c_str(), file.Html() ? "" : " not");
    std::size_t i = 1;
    while (i + 2 <= size) {
      std::uint8_t selector = data[i];
      std::size_t length = data[i + 1];
      i += 2;
      Colour colour;
      switch (selector & 7) {
        case 0: colour = tapline::log::MessageLine; break;
        case 1: colour = tapline::log::InformLine; break;
        case 2: colour = tapline::log::ErrorLine; break;
        case 3: colour = tapline::log::DataLine; break;
        case 4: colour = tapline::log::RewrittenHostLine; break;
        case 5: colour = 0xFFFFFF; break;  // the value that stands for "no span" must still get one
        default:
          colour = static_cast<Colour>(i < size ? data[i] : 0) * 0x010203u;
          break;
      }
      if (length > size - i) length = size - i;
      std::string text(reinterpret_cast<const char*>(data + i), length);
      i += length;
      std::string repeated;
      for (int r = 0; r < kRepeat[(selector >> 4) & 3]; ++r) repeated += text;
      if (selector & 8) {
        // The NUL-terminated form stops at the first NUL.
        file.Write(repeated.c_str(), colour);
        repeated.resize(std::strlen(repeated.c_str()));
      } else {
        file.Write(repeated.data(), repeated.size(), colour);
      }
      plain += repeated;
      written.push_back({repeated, ClassOf(colour)});
      if (createAgain && written.size() == 1) {
        // Creating the open file again drops what it held: only the texts after this count.
        FUZZ_CHECK(file.Create(name), "creating %s again", name.c_str());
        written.clear();
        plain.clear();
      }
    }
    file.Close();
    FUZZ_CHECK(!file.IsOpen(), "the file is still open after Close");
  }

  // Removed at once, so that an input that stops the run leaves at most an empty folder behind.
  std::string content = ReadFile(name);
  std::remove(name.c_str());
  if (html) {
    CheckHtml(content, written);
  } else {
    FUZZ_CHECK(content == plain, "the plain file (%zu bytes) is not the %zu bytes written", content.size(),
               plain.size());
  }
  return 0;
}
