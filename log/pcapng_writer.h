// A pcapng file of raw-IP packets: one section, one interface, enhanced packet blocks with an optional
// comment. Main thread only; blocks collect in memory and go out whole with one write per Flush.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/types.h>
#include <string>
#include <string_view>

namespace tapline::log {

class PcapngWriter {
 public:
  static constexpr std::uint32_t kLinkTypeRaw = 101;  // packets begin with an IPv4 or IPv6 header

  PcapngWriter() = default;
  ~PcapngWriter();  // flushes and closes
  PcapngWriter(const PcapngWriter&) = delete;
  PcapngWriter& operator=(const PcapngWriter&) = delete;

  // Creates (or empties) the file and writes the section header and the interface description at
  // once, so that even a capture without packets opens. False when the file cannot be created.
  bool Create(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }

  // Appends an enhanced packet block of `length` bytes time-stamped `micros` (microseconds since the
  // epoch) and answers where its packet bytes go; the caller fills all of them before the next call.
  // An empty `comment` adds no option.
  unsigned char* AddPacket(std::uint64_t micros, std::uint32_t length, std::string_view comment = {});

  // Writes the whole blocks collected so far. False once a write has failed (the disk is full, say):
  // the file is cut back to the blocks written before, and from then on blocks are dropped, so that
  // it never holds part of one.
  bool Flush();
  bool Failed() const { return failed_; }
  void Close();

  // The blocks not yet written.
  std::string_view Pending() const {
    return {reinterpret_cast<const char*>(buffer_.get()), used_};
  }

 private:
  // Past this much a block is written at once instead of at the next Flush, to bound the memory a
  // long event-loop turn can take.
  static constexpr std::size_t kFlushAt = std::size_t{4} << 20;

  int fd_ = -1;
  bool failed_ = false;
  off_t written_ = 0;  // the file's length: whole blocks only
  std::unique_ptr<unsigned char[]> buffer_;  // not zeroed on growth: every byte handed out is written
  std::size_t used_ = 0;
  std::size_t capacity_ = 0;

  unsigned char* Reserve(std::size_t bytes);  // room at buffer_ + used_, counted as used
  void AppendHeaderBlocks();
};

}  // namespace tapline::log
