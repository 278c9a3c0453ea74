// Asynchronous host lookups: the system resolver runs on a helper thread; the main thread fills the
// caller's list and posts the completion, unless the lookup was cancelled meanwhile.
#include "platform/posix_socket.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/winsock_internal.h"

namespace tapline::winsock {

int SystemResolver(const std::string& name, std::vector<platform::Endpoint>& addresses) {
  addrinfo hints{};
  hints.ai_family = posix::kAfInet;
  hints.ai_socktype = posix::kSockStream;
  addrinfo* result = nullptr;
  int r = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (r != 0) {
    switch (r) {
      case EAI_NONAME: return WSAHOST_NOT_FOUND;
      case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
      case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
      default: return WSANO_RECOVERY;
    }
  }
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    platform::Endpoint e;
    if (ai->ai_family == posix::kAfInet) {
      e = platform::Endpoint::V4(reinterpret_cast<const unsigned char*>(&reinterpret_cast<::sockaddr_in*>(ai->ai_addr)->sin_addr), 0);
    } else if (ai->ai_family == posix::kAfInet6) {
      auto* a6 = reinterpret_cast<::sockaddr_in6*>(ai->ai_addr);
      e = platform::Endpoint::V6(a6->sin6_addr.s6_addr, 0, a6->sin6_scope_id);
    } else {
      continue;
    }
    bool seen = std::any_of(addresses.begin(), addresses.end(), [&](const platform::Endpoint& a) { return a.SameAs(e); });
    if (!seen) addresses.push_back(e);
  }
  ::freeaddrinfo(result);
  return addresses.empty() ? WSANO_DATA : 0;
}

HANDLE Winsock::WSAAsyncGetAddrInfo(HWND target, unsigned message, const char* name,
                                    std::vector<platform::Endpoint>* addresses) {
  if (target != &loop_ || name == nullptr || addresses == nullptr) {
    Fail(WSAEINVAL);
    return 0;
  }
  if (lookups_->wakeFd < 0) {
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
      Fail(WSAENOBUFS);
      return 0;
    }
    lookups_->wakeFd = fd;
    loop_.Watch(fd, EPOLLIN, [this](std::uint32_t) { TakeLookupResults(); });
  }
  HANDLE task = nextTask_++;
  if (nextTask_ == 0) nextTask_ = 0x40000001u;
  auto lookup = std::make_unique<Lookup>();
  lookup->task = task;
  lookup->message = message;
  lookup->addresses = addresses;

  std::shared_ptr<LookupBoard> board = lookups_;
  Resolver resolver = resolver_;
  std::string hostName = name;
  try {
    std::thread([board, resolver, hostName, task] {
      std::vector<platform::Endpoint> addresses;
      int error = resolver(hostName, addresses);
      std::lock_guard<std::mutex> lock(board->mutex);
      if (board->closed) return;
      board->done.push_back(LookupBoard::Result{task, error, std::move(addresses)});
      std::uint64_t one = 1;
      ssize_t w = ::write(board->wakeFd, &one, sizeof one);
      (void)w;
    }).detach();
  } catch (const std::system_error&) {
    Fail(WSAENOBUFS);
    return 0;
  }
  pending_[task] = std::move(lookup);
  lastLookupMessage_ = message;
  return task;
}

void Winsock::TakeLookupResults() {
  std::vector<LookupBoard::Result> done;
  {
    std::lock_guard<std::mutex> lock(lookups_->mutex);
    done.swap(lookups_->done);
    std::uint64_t value;
    ssize_t r = ::read(lookups_->wakeFd, &value, sizeof value);
    (void)r;
  }
  for (LookupBoard::Result& result : done) {
    auto it = pending_.find(result.task);
    if (it == pending_.end()) continue;  // cancelled: its result is never delivered
    Lookup& lookup = *it->second;
    int error = result.error;
    if (error == 0) *lookup.addresses = std::move(result.addresses);
    loop_.PostMessage(lookup.message, lookup.task, WSAMAKESELECTREPLY(0, error));
    pending_.erase(it);
  }
}

int Winsock::WSACancelAsyncRequest(HANDLE task) {
  auto it = pending_.find(task);
  if (it != pending_.end()) {
    pending_.erase(it);
    return 0;
  }
  // Already completed: make sure its message, if still queued, is never delivered either.
  if (lastLookupMessage_ != 0) loop_.RemoveMessages(lastLookupMessage_, task);
  return Fail(WSAEALREADY);
}

std::size_t Winsock::LookupsInFlight() const { return pending_.size(); }

}  // namespace tapline::winsock
