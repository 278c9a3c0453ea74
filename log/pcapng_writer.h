// A pcapng file of raw-IP packets: one section, one interface, enhanced packet blocks with an optional
// comment. Main thread only; blocks collect in memory and a thread of the writer's own writes them out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
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
  // once, so that even a capture without packets opens. A new file is readable by its owner alone (it
  // holds what was said, decrypted TLS too); one that exists keeps its mode. Answers 0, or the errno
  // value of why the file cannot be created or written.
  int Create(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }

  // Appends an enhanced packet block of `length` bytes time-stamped `micros` (microseconds since the
  // epoch) and answers where its packet bytes go; the caller fills all of them before the next call.
  // An empty `comment` adds no option.
  unsigned char* AddPacket(std::uint64_t micros, std::uint32_t length, std::string_view comment = {});

  // Hands the whole blocks collected so far to the writing thread, which writes them with one write
  // while the caller goes on; waits only for the blocks handed over before. False once a write has
  // failed (the disk is full, say): the file is cut back to the blocks written before, and from then on
  // blocks are dropped, so that it never holds part of one.
  bool Flush();
  // Flush, and wait until everything handed over is in the file.
  bool Sync();
  bool Failed() const { return WriteError() != 0; }
  // Why the write failed (an errno value); 0 while none has.
  int WriteError() const { return writeError_.load(std::memory_order_acquire); }
  void Close();

  // The blocks not yet written.
  std::string_view Pending() const {
    return {reinterpret_cast<const char*>(filling_.data.get()), filling_.used};
  }

 private:
  // Past this much a block is written at once instead of at the next Flush, to bound the memory a
  // long event-loop turn can take.
  static constexpr std::size_t kFlushAt = std::size_t{4} << 20;

  struct Buffer {
    std::unique_ptr<unsigned char[]> data;  // not zeroed on growth: every byte handed out is written
    std::size_t used = 0;
    std::size_t capacity = 0;
  };

  int fd_ = -1;
  std::atomic<int> writeError_{0};
  Buffer filling_;  // the caller's
  // The writing thread's, from a Flush until it has written it (busy_); then the next one to fill.
  Buffer writing_;
  off_t written_ = 0;  // the file's length, whole blocks only: the writing thread's once it runs
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable handed_;
  std::condition_variable finished_;
  bool busy_ = false;
  bool stopping_ = false;

  unsigned char* Reserve(std::size_t bytes);  // room at the end of filling_, counted as used
  void AppendHeaderBlocks();
  std::unique_lock<std::mutex> LockWhenIdle();  // once the writing thread has nothing in hand
  void WriteThread();
  void WriteOut(const Buffer& buffer);
};

}  // namespace tapline::log
