#include "cli/output_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tapline::cli {

namespace {

// Everything to a descriptor that may block; false when it failed (the rest is lost, as with a stream).
bool WriteAll(int fd, const char* text, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

OutputQueue::OutputQueue(int fd, platform::EventLoop* loop) : fd_(fd), loop_(loop) {
  struct stat st {};
  if (loop_ == nullptr || fd_ < 0 || (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))) return;
  // A description of our own: O_NONBLOCK set on the inherited one would reach the shell that shares it.
  char path[48];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd_);
  int own = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (own >= 0) {
    writeFd_ = own;
    ownWriteFd_ = true;
    return;
  }
  // A socket cannot be opened again; it is rarely shared, so its own flags are changed for the run.
  int flags = fcntl(fd_, F_GETFL);
  if (flags < 0) return;
  if ((flags & O_NONBLOCK) == 0) {
    if (fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) return;
    restoreBlocking_ = true;
  }
  writeFd_ = fd_;
}

OutputQueue::~OutputQueue() {
  WatchForRoom(false);
  BecomeBlocking();
}

bool OutputQueue::SameFileAs(int otherFd) const {
  struct stat a {}, b {};
  return fstat(fd_, &a) == 0 && fstat(otherFd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void OutputQueue::Write(const char* text, std::size_t length) {
  if (broken_ || length == 0) return;
  if (writeFd_ < 0) {
    broken_ = !WriteAll(fd_, text, length);
    return;
  }
  if (Waiting() == 0) {
    ssize_t written;
    do {
      written = write(writeFd_, text, length);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        broken_ = true;  // the reader has gone: nothing more to say to it
        return;
      }
      written = 0;
    }
    text += written;
    length -= static_cast<std::size_t>(written);
  }
  if (length == 0) return;
  pending_.append(text, length);
  WatchForRoom(true);
}

void OutputQueue::WriteWaiting() {
  while (!broken_ && Waiting() > 0) {
    ssize_t written = write(writeFd_, pending_.data() + sent_, Waiting());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (written <= 0) {
      broken_ = true;
      break;
    }
    sent_ += static_cast<std::size_t>(written);
  }
  if (broken_ || Waiting() == 0) {
    pending_.clear();
    sent_ = 0;
    WatchForRoom(false);
  } else if (sent_ >= (std::size_t{1} << 20) && sent_ * 2 >= pending_.size()) {
    pending_.erase(0, sent_);  // now and then, not on every partial write
    sent_ = 0;
  }
}

void OutputQueue::WatchForRoom(bool on) {
  if (loop_ == nullptr || writeFd_ < 0 || on == watching_) return;
  if (!on) {
    loop_->Unwatch(writeFd_);
    watching_ = false;
    return;
  }
  if (loop_->Watch(writeFd_, EPOLLOUT, [this](std::uint32_t) { WriteWaiting(); })) {
    watching_ = true;
    return;
  }
  // A descriptor epoll cannot watch never says it is full either: from now on it is written the
  // blocking way, starting with what waits.
  BecomeBlocking();
  broken_ = !WriteAll(fd_, pending_.data() + sent_, Waiting());
  pending_.clear();
  sent_ = 0;
}

void OutputQueue::BecomeBlocking() {
  if (ownWriteFd_) close(writeFd_);
  ownWriteFd_ = false;
  if (restoreBlocking_) {
    int flags = fcntl(fd_, F_GETFL);
    if (flags >= 0) fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    restoreBlocking_ = false;
  }
  writeFd_ = -1;
}

bool OutputQueue::FlushUntil(std::chrono::steady_clock::time_point deadline) {
  if (writeFd_ < 0) return !broken_;
  for (;;) {
    WriteWaiting();
    if (broken_ || Waiting() == 0) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{writeFd_, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
  return !broken_ && Waiting() == 0;
}

}  // namespace tapline::cli
