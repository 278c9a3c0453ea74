// Standard output (or error) written without ever blocking the event loop: what a pipe or terminal does
// not take at once waits here and goes out when epoll says there is room. Main thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "platform/event_loop.h"

namespace tapline::cli {

class OutputQueue {
 public:
  // Writes to `fd`. A regular file, or any descriptor when `loop` is null, is written in full at once
  // (a file does not stall); anything else through a non-blocking description of its own, so that the
  // shell sharing the descriptor never sees it non-blocking.
  OutputQueue(int fd, platform::EventLoop* loop);
  ~OutputQueue();  // what still waits is dropped; the descriptor is not closed
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // Writes `text`, or keeps what the descriptor does not take now behind what already waits.
  void Write(const char* text, std::size_t length);
  std::size_t Waiting() const { return pending_.size() - sent_; }
  // Never leaves anything waiting: the caller may hand it any amount and it is written whole.
  bool Lossless() const { return writeFd_ < 0; }
  // Writes what waits, waiting for room until `deadline`; answers whether everything went.
  bool FlushUntil(std::chrono::steady_clock::time_point deadline);
  // Whether `other` is the same file or terminal (standard output and error on one terminal).
  bool SameFileAs(int otherFd) const;

 private:
  void WriteWaiting();  // as much as the descriptor takes now
  void WatchForRoom(bool on);
  void BecomeBlocking();  // our own description closed, the caller's flags as they were

  int fd_;                 // the caller's descriptor
  int writeFd_ = -1;       // our own non-blocking description of it; -1 when written blocking
  bool ownWriteFd_ = false;
  bool restoreBlocking_ = false;  // the caller's descriptor itself was made non-blocking (a socket)
  platform::EventLoop* loop_;
  bool watching_ = false;
  bool broken_ = false;    // the reader has gone (EPIPE) or the descriptor failed: drop what comes
  std::string pending_;
  std::size_t sent_ = 0;   // bytes at the front of pending_ that have gone out
};

}  // namespace tapline::cli
