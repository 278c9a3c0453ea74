#include "log/pcapng_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace tapline::log {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptComment = 1;
constexpr std::uint16_t kShbUserApplication = 4;
constexpr std::uint16_t kIfTimeResolution = 9;
constexpr char kApplication[] = "Tapline";

constexpr std::size_t Padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// Blocks are in the writer's byte order, which the section header's magic announces.
unsigned char* Put32(unsigned char* at, std::uint32_t value) {
  std::memcpy(at, &value, 4);
  return at + 4;
}

unsigned char* Put16(unsigned char* at, std::uint16_t value) {
  std::memcpy(at, &value, 2);
  return at + 2;
}

// An option header and its value, zero-padded to 32 bits.
unsigned char* PutOption(unsigned char* at, std::uint16_t code, const void* value, std::size_t length) {
  at = Put16(at, code);
  at = Put16(at, static_cast<std::uint16_t>(length));
  if (length > 0) std::memcpy(at, value, length);
  std::memset(at + length, 0, Padded(length) - length);
  return at + Padded(length);
}

}  // namespace

PcapngWriter::~PcapngWriter() { Close(); }

int PcapngWriter::Create(const std::string& path) {
  Close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd_ < 0) return errno;
  writeError_ = 0;
  written_ = 0;
  filling_.used = 0;
  // The header blocks are in the file before the run starts, so that even a capture without packets opens.
  AppendHeaderBlocks();
  WriteOut(filling_);
  filling_.used = 0;
  if (Failed()) return WriteError();
  stopping_ = false;
  thread_ = std::thread([this] { WriteThread(); });
  return 0;
}

void PcapngWriter::AppendHeaderBlocks() {
  // Section header: no section length (-1), the application's name.
  constexpr std::size_t kAppLength = sizeof kApplication - 1;
  constexpr std::size_t kShbLength = 24 + 4 + Padded(kAppLength) + 4 + 4;
  unsigned char* at = Reserve(kShbLength);
  at = Put32(at, kSectionHeader);
  at = Put32(at, kShbLength);
  at = Put32(at, kByteOrderMagic);
  at = Put16(at, 1);  // version 1.0
  at = Put16(at, 0);
  at = Put32(at, 0xFFFFFFFF);
  at = Put32(at, 0xFFFFFFFF);
  at = PutOption(at, kShbUserApplication, kApplication, kAppLength);
  at = PutOption(at, kOptEnd, nullptr, 0);
  Put32(at, kShbLength);

  // Interface 0: raw IP, no snapshot limit, microsecond time stamps (10^-6).
  constexpr std::size_t kIdbLength = 16 + 8 + 4 + 4;
  at = Reserve(kIdbLength);
  at = Put32(at, kInterfaceDescription);
  at = Put32(at, kIdbLength);
  at = Put16(at, static_cast<std::uint16_t>(kLinkTypeRaw));
  at = Put16(at, 0);
  at = Put32(at, 0);
  const unsigned char resolution = 6;
  at = PutOption(at, kIfTimeResolution, &resolution, 1);
  at = PutOption(at, kOptEnd, nullptr, 0);
  Put32(at, kIdbLength);
}

unsigned char* PcapngWriter::AddPacket(std::uint64_t micros, std::uint32_t length, std::string_view comment) {
  // A comment longer than an option can say is cut, not dropped.
  if (comment.size() > 0xFFFF) comment = comment.substr(0, 0xFFFF);
  const std::size_t options = comment.empty() ? 0 : 4 + Padded(comment.size()) + 4;
  const std::size_t total = 28 + Padded(length) + options + 4;
  if (filling_.used > 0 && filling_.used + total > kFlushAt) Flush();
  unsigned char* at = Reserve(total);
  at = Put32(at, kEnhancedPacket);
  at = Put32(at, static_cast<std::uint32_t>(total));
  at = Put32(at, 0);  // interface 0
  at = Put32(at, static_cast<std::uint32_t>(micros >> 32));
  at = Put32(at, static_cast<std::uint32_t>(micros));
  at = Put32(at, length);  // captured
  at = Put32(at, length);  // on the wire
  unsigned char* packet = at;
  at += length;
  std::memset(at, 0, Padded(length) - length);
  at += Padded(length) - length;
  if (!comment.empty()) {
    at = PutOption(at, kOptComment, comment.data(), comment.size());
    at = PutOption(at, kOptEnd, nullptr, 0);
  }
  Put32(at, static_cast<std::uint32_t>(total));
  return packet;
}

unsigned char* PcapngWriter::Reserve(std::size_t bytes) {
  Buffer& b = filling_;
  if (b.used + bytes > b.capacity) {
    std::size_t capacity = b.capacity == 0 ? 64 * 1024 : b.capacity;
    while (capacity < b.used + bytes) capacity *= 2;
    auto grown = std::make_unique_for_overwrite<unsigned char[]>(capacity);
    if (b.used > 0) std::memcpy(grown.get(), b.data.get(), b.used);
    b.data = std::move(grown);
    b.capacity = capacity;
  }
  unsigned char* at = b.data.get() + b.used;
  b.used += bytes;
  return at;
}

std::unique_lock<std::mutex> PcapngWriter::LockWhenIdle() {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [this] { return !busy_; });
  return lock;
}

bool PcapngWriter::Flush() {
  if (!thread_.joinable() || Failed()) {
    filling_.used = 0;
    return false;
  }
  if (filling_.used == 0) return true;
  {
    // One buffer at most is on its way: a disk slower than the relay holds the caller back here.
    auto lock = LockWhenIdle();
    std::swap(filling_, writing_);
    filling_.used = 0;
    busy_ = true;
  }
  handed_.notify_one();
  return !Failed();
}

bool PcapngWriter::Sync() {
  Flush();
  if (thread_.joinable()) LockWhenIdle();
  return !Failed() && fd_ >= 0;
}

void PcapngWriter::WriteThread() {
  std::unique_lock lock(mutex_);
  for (;;) {
    handed_.wait(lock, [this] { return busy_ || stopping_; });
    if (!busy_) return;
    lock.unlock();
    WriteOut(writing_);
    lock.lock();
    busy_ = false;
    finished_.notify_all();
  }
}

void PcapngWriter::WriteOut(const Buffer& buffer) {
  std::size_t done = 0;
  int error = WriteError();
  bool failed = error != 0;
  while (!failed && done < buffer.used) {
    const ssize_t n = ::write(fd_, buffer.data.get() + done, buffer.used - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      failed = true;
      error = n == 0 ? EIO : errno;
    }
  }
  if (failed && done > 0) {
    // A write cut short left part of a block behind; should cutting it off fail too, a reader still
    // gets every whole block before it.
    const int cut = ::ftruncate(fd_, written_);
    static_cast<void>(cut);
  } else if (!failed) {
    written_ += static_cast<off_t>(done);
  }
  if (failed) writeError_.store(error, std::memory_order_release);
}

void PcapngWriter::Close() {
  if (fd_ < 0) return;
  if (thread_.joinable()) {
    Flush();
    {
      auto lock = LockWhenIdle();
      stopping_ = true;
    }
    handed_.notify_one();
    thread_.join();
  }
  ::close(fd_);
  fd_ = -1;
}

}  // namespace tapline::log
