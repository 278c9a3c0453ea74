#include "log/json_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "log/text_lines.h"

namespace tapline::log {

namespace {

// Heavy traffic makes many lines; a large buffer keeps the write system calls to about one a turn.
constexpr std::size_t kStreamBufferSize = 256 * 1024;

// The characters of a JSON string: quotation mark, backslash and controls escaped, the rest (UTF-8
// included) as it is.
void AppendEscaped(std::string& out, const char* text, std::size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::size_t run = 0;  // start of the stretch copied as it is
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
        break;
    }
  }
  out.append(text + run, length - run);
}

}  // namespace

JsonLines::~JsonLines() {
  if (file_ != nullptr) std::fclose(file_);
}

std::string JsonLines::Create(const std::string& path, const std::string& remote, TimePoint at) {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  // Readable by the owner alone when new: the events carry what was said, with -tls-listen decrypted.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) close(fd);
  }
  if (file_ == nullptr) return SystemReason(errno);
  buffer_ = std::make_unique<char[]>(kStreamBufferSize);
  std::setvbuf(file_, buffer_.get(), _IOFBF, kStreamBufferSize);
  path_ = path;
  failed_ = false;
  failure_.clear();
  Begin(at, -1, "start");
  Field("remote", remote);
  End();
  Flush();
  return failed_ ? TakeFailure() : std::string();
}

void JsonLines::AppendTime(TimePoint at) {
  auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  std::int64_t second = sinceEpoch / 1000;
  int millis = static_cast<int>(sinceEpoch % 1000);
  if (millis < 0) {
    millis += 1000;
    --second;
  }
  if (second != cachedSecond_) {
    std::time_t t = static_cast<std::time_t>(second);
    std::tm local{};
    localtime_r(&t, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    cachedDate_ = date;
    long offset = local.tm_gmtoff / 60;
    char zone[48];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', (offset < 0 ? -offset : offset) / 60,
                  (offset < 0 ? -offset : offset) % 60);
    cachedOffset_ = zone;
    cachedSecond_ = second;
  }
  line_ += cachedDate_;
  line_ += '.';
  line_ += static_cast<char>('0' + millis / 100);
  line_ += static_cast<char>('0' + millis / 10 % 10);
  line_ += static_cast<char>('0' + millis % 10);
  line_ += cachedOffset_;
}

void JsonLines::Begin(TimePoint at, std::int32_t id, const char* event) {
  line_.assign("{\"time\":\"");
  AppendTime(at);
  line_ += '"';
  if (id >= 0) {
    line_ += ",\"conn\":";
    line_ += std::to_string(id);
  }
  line_ += ",\"event\":\"";
  line_ += event;
  line_ += '"';
}

void JsonLines::Field(const char* name, const std::string& text) {
  line_ += ",\"";
  line_ += name;
  line_ += "\":\"";
  AppendEscaped(line_, text.data(), text.size());
  line_ += '"';
}

void JsonLines::End() {
  line_ += "}\n";
  if (file_ == nullptr || failed_) return;
  if (fwrite_unlocked(line_.data(), 1, line_.size(), file_) != line_.size()) Fail(errno);
}

void JsonLines::Fail(int error) {
  if (failed_) return;
  failed_ = true;
  failure_ = "Could not write JSON file " + path_ + ": " + SystemReason(error != 0 ? error : EIO);
}

void JsonLines::Opened(const ConnectionOpened& event) {
  if (failed_) return;
  Begin(event.at, event.id, "opened");
  Field("client", event.client.ToString());
  End();
}

void JsonLines::ServerConnected(std::int32_t id, const platform::Endpoint& server, TimePoint at) {
  if (failed_) return;
  Begin(at, id, "connected");
  Field("server", server.ToString());
  End();
}

void JsonLines::ConnectFailed(std::int32_t id, const platform::Endpoint& server, TimePoint at) {
  if (failed_) return;
  Begin(at, id, "failed");
  Field("server", server.ToString());
  Field("reason", "Could not connect to Server");
  End();
}

void JsonLines::Data(const DataRead& event) {
  if (failed_) return;
  Begin(event.readAt, event.id, "data");
  line_ += event.direction == Direction::ClientToServer ? ",\"dir\":\"to-server\"" : ",\"dir\":\"to-client\"";
  line_ += ",\"size\":";
  line_ += std::to_string(event.length);
  // Base64 by the library: four characters for every three bytes, and the NUL it adds.
  const auto length = static_cast<std::size_t>(event.length);
  base64_.resize((length + 2) / 3 * 4 + 1);
  const int encoded =
      EVP_EncodeBlock(base64_.data(), reinterpret_cast<const unsigned char*>(event.bytes), event.length);
  line_ += ",\"base64\":\"";
  line_.append(reinterpret_cast<const char*>(base64_.data()), static_cast<std::size_t>(encoded));
  line_ += '"';
  if (IsUtf8Text(event.bytes, length)) {
    line_ += ",\"text\":\"";
    AppendEscaped(line_, event.bytes, length);
    line_ += '"';
  }
  End();
}

void JsonLines::StreamEnded(std::int32_t id, Direction direction, TimePoint at) {
  if (failed_) return;
  Begin(at, id, "ended");
  Field("from", direction == Direction::ClientToServer ? "client" : "server");
  End();
}

void JsonLines::Closed(std::int32_t id, bool orderly, TimePoint at) {
  if (failed_) return;
  Begin(at, id, "closed");
  line_ += orderly ? ",\"orderly\":true" : ",\"orderly\":false";
  End();
}

void JsonLines::Flush() {
  if (file_ == nullptr || failed_) return;
  if (std::fflush(file_) != 0) Fail(errno);
}

std::string JsonLines::TakeFailure() {
  std::string failure;
  failure.swap(failure_);
  return failure;
}

void JsonLines::Close() { Close(std::chrono::system_clock::now()); }

void JsonLines::Close(TimePoint at) {
  if (file_ == nullptr) return;
  if (!failed_) {
    Begin(at, -1, "stop");
    End();
  }
  std::fclose(file_);
  file_ = nullptr;
  buffer_.reset();
}

}  // namespace tapline::log
