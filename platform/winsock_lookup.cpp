// Asynchronous host lookups: the system resolver runs on a helper thread; the main thread fills the
// caller's buffer and posts the completion, unless the lookup was cancelled meanwhile.
#include "platform/posix_socket.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/winsock_internal.h"

namespace tapline::winsock {

namespace {

// Lays a hostent out in the caller's buffer: header, address list, addresses, name. False when it does
// not fit. Pointers are written with memcpy since the buffer need not be aligned.
bool FillHostEntry(char* buffer, int length, const std::string& name, const std::vector<std::uint32_t>& addresses) {
  std::size_t count = addresses.size();
  std::size_t header = sizeof(hostent);
  std::size_t listBytes = (count + 1) * sizeof(char*);
  std::size_t aliasBytes = sizeof(char*);
  std::size_t addrBytes = count * 4;
  std::size_t need = header + listBytes + aliasBytes + addrBytes + name.size() + 1;
  if (length < 0 || need > static_cast<std::size_t>(length)) return false;
  char* list = buffer + header;
  char* aliases = list + listBytes;
  char* addrs = aliases + aliasBytes;
  char* nameAt = addrs + addrBytes;
  for (std::size_t i = 0; i < count; ++i) {
    char* at = addrs + 4 * i;
    std::memcpy(at, &addresses[i], 4);
    std::memcpy(list + i * sizeof(char*), &at, sizeof at);
  }
  char* null = nullptr;
  std::memcpy(list + count * sizeof(char*), &null, sizeof null);
  std::memcpy(aliases, &null, sizeof null);
  std::memcpy(nameAt, name.c_str(), name.size() + 1);
  hostent he{};
  he.h_name = nameAt;
  he.h_aliases = reinterpret_cast<char**>(aliases);
  he.h_addrtype = AF_INET;
  he.h_length = 4;
  he.h_addr_list = reinterpret_cast<char**>(list);
  std::memcpy(buffer, &he, sizeof he);
  return true;
}

}  // namespace

bool FirstHostAddress(const char* buffer, std::uint32_t& address) {
  hostent he;
  std::memcpy(&he, buffer, sizeof he);
  if (he.h_addr_list == nullptr) return false;
  char* first;
  std::memcpy(&first, he.h_addr_list, sizeof first);
  if (first == nullptr) return false;
  std::memcpy(&address, first, 4);
  return true;
}

int SystemResolver(const std::string& name, std::vector<std::uint32_t>& addresses) {
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
    if (ai->ai_family != posix::kAfInet) continue;
    std::uint32_t a = reinterpret_cast<::sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
  }
  ::freeaddrinfo(result);
  return addresses.empty() ? WSANO_DATA : 0;
}

HANDLE Winsock::WSAAsyncGetHostByName(HWND target, unsigned message, const char* name, char* buffer, int length) {
  if (target != &loop_ || name == nullptr || buffer == nullptr) {
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
  lookup->buffer = buffer;
  lookup->length = length;
  lookup->name = name;

  std::shared_ptr<LookupBoard> board = lookups_;
  Resolver resolver = resolver_;
  std::string hostName = name;
  try {
    std::thread([board, resolver, hostName, task] {
      std::vector<std::uint32_t> addresses;
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
    if (error == 0 && !FillHostEntry(lookup.buffer, lookup.length, lookup.name, result.addresses)) error = WSAENOBUFS;
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
