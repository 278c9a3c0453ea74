// Sockets with Windows Sockets 1.1 behaviour over non-blocking POSIX sockets and level-triggered epoll.
// Readiness becomes a message at most once until the call that re-enables it (recv, accept, a blocked send).
#include "platform/posix_socket.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/winsock_internal.h"

namespace tapline::winsock {

namespace {

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, posix::kSolSocket, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// The Windows Sockets IPv4 address structure as an endpoint, and back.
bool FromLegacy(const sockaddr* address, int length, platform::Endpoint& out) {
  if (address == nullptr || length < static_cast<int>(sizeof(sockaddr_in))) return false;
  sockaddr_in in;
  std::memcpy(&in, address, sizeof in);
  if (in.sin_family != AF_INET) return false;
  out = platform::Endpoint::V4(reinterpret_cast<const unsigned char*>(&in.sin_addr.s_addr), ntohs(in.sin_port));
  return true;
}

void ToLegacy(const platform::Endpoint& e, sockaddr* address, int* length) {
  if (address == nullptr || length == nullptr) return;
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(e.Port());
  if (e.IsV4()) std::memcpy(&out.sin_addr.s_addr, e.V4Bytes(), 4);
  int n = *length < static_cast<int>(sizeof out) ? *length : static_cast<int>(sizeof out);
  if (n > 0) std::memcpy(address, &out, static_cast<std::size_t>(n));
  *length = static_cast<int>(sizeof out);
}

// An endpoint as the system takes it from a socket of `family`: an IPv4 address on an IPv6 socket is
// written IPv4-mapped.
socklen_t ForSocket(int family, const platform::Endpoint& e, ::sockaddr_storage& out) {
  std::memcpy(&out, e.Address, sizeof out);
  if (family == posix::kAfInet6 && out.ss_family == posix::kAfInet) {
    ::sockaddr_in6 mapped{};
    mapped.sin6_family = posix::kAfInet6;
    mapped.sin6_port = reinterpret_cast<const ::sockaddr_in*>(&out)->sin_port;
    mapped.sin6_addr.s6_addr[10] = 0xFF;
    mapped.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(mapped.sin6_addr.s6_addr + 12, e.V4Bytes(), 4);
    std::memset(&out, 0, sizeof out);
    std::memcpy(&out, &mapped, sizeof mapped);
    return sizeof mapped;
  }
  return e.Length;
}

platform::Endpoint FromSystem(const ::sockaddr_storage& in, socklen_t length) {
  platform::Endpoint e;
  std::size_t n = length < sizeof e.Address ? length : sizeof e.Address;
  std::memcpy(e.Address, &in, n);
  e.Length = static_cast<std::uint32_t>(n);
  // An IPv4 peer of a dual-stack listener arrives IPv4-mapped; it is an IPv4 peer.
  if (e.IsV4() && in.ss_family == posix::kAfInet6) return platform::Endpoint::V4(e.V4Bytes(), e.Port());
  return e;
}

}  // namespace

Winsock::SocketState* Winsock::Find(SOCKET s) {
  auto it = sockets_.find(s);
  return it == sockets_.end() ? nullptr : it->second.get();
}

int Winsock::Fail(int error) {
  lastError_ = error;
  return SOCKET_ERROR;
}

void Winsock::Post(SocketState& st, long event, int error) {
  if (!st.selected || (st.mask & event) == 0) return;
  loop_.PostMessage(st.message, static_cast<WPARAM>(st.fd), WSAMAKESELECTREPLY(event, error));
}

void Winsock::UpdateInterest(SocketState& st) {
  std::uint32_t events = 0;
  if (st.selected) {
    switch (st.kind) {
      case SocketState::Kind::Fresh:
        break;
      case SocketState::Kind::Listening:
        if ((st.mask & FD_ACCEPT) && (st.readArmed || st.readLingers)) events = EPOLLIN;
        break;
      case SocketState::Kind::Connecting:
        if (!st.closePosted) events = EPOLLOUT;
        break;
      case SocketState::Kind::Connected:
        if (!st.closePosted) {
          bool established = st.transport == nullptr || st.transport->Established();
          if ((st.mask & FD_READ) && (st.readArmed || st.readLingers) && established) events |= EPOLLIN;
          if (st.mask & FD_CLOSE) events |= EPOLLRDHUP;
          if (events == 0) events = EPOLLRDHUP;  // still learn of a reset
          unsigned needs = st.transport == nullptr ? 0 : st.transport->Needs();
          if (needs & platform::NeedRead) events |= EPOLLIN;
          if (needs & platform::NeedWrite) events |= EPOLLOUT;
        } else if (st.closeError == 0 && st.transport != nullptr && st.transport->Established() &&
                   (st.transport->Needs() & platform::NeedWrite)) {
          events |= EPOLLOUT;
        }
        if ((st.mask & FD_WRITE) && st.writeArmed) events |= EPOLLOUT;
        break;
    }
  }
  // Errors and hang-ups are reported whatever is asked for, so a socket with nothing left to report
  // leaves the loop entirely; otherwise a broken connection would keep the loop spinning.
  if (events == 0) {
    if (st.watched) {
      loop_.Unwatch(st.fd);
      st.watched = false;
      st.interest = 0;
    }
    return;
  }
  if (!st.watched) {
    SOCKET s = static_cast<SOCKET>(st.fd);
    loop_.Watch(st.fd, events, [this, s](std::uint32_t ready) { OnReady(s, ready); });
    st.watched = true;
    st.interest = events;
  } else if (events != st.interest) {
    loop_.Rewatch(st.fd, events);
    st.interest = events;
  }
}

void Winsock::OnReady(SOCKET s, std::uint32_t events) {
  SocketState* st = Find(s);
  if (st == nullptr) return;
  switch (st->kind) {
    case SocketState::Kind::Fresh:
      break;
    case SocketState::Kind::Listening:
      if (events & EPOLLIN) {
        if (st->readArmed) {
          st->readArmed = false;
          st->readLingers = true;
          Post(*st, FD_ACCEPT, 0);
        } else {
          st->readLingers = false;
        }
      }
      break;
    case SocketState::Kind::Connecting:
      if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
        // A socket with an error always reports EPOLLERR: without it the connect has succeeded.
        int err = (events & EPOLLERR) ? SocketError(st->fd) : 0;
        if (err == 0) {
          st->kind = SocketState::Kind::Connected;
          Post(*st, FD_CONNECT, 0);
          LimitHandshake(*st);
          // The socket can take bytes now; a transport with a handshake says so once it has completed.
          st->writeArmed = true;
          OnConnectedReady(*st, EPOLLOUT);
        } else {
          st->closePosted = true;  // a failed connect reports nothing more
          Post(*st, FD_CONNECT, TranslateErrno(err));
        }
      }
      break;
    case SocketState::Kind::Connected:
      OnConnectedReady(*st, events);
      break;
  }
  UpdateInterest(*st);
}

void Winsock::OnConnectedReady(SocketState& st, std::uint32_t events) {
  bool broken = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
  bool readable = (events & EPOLLIN) != 0;
  if (st.closePosted) {
    // The peer's end does not end ours: the tail of a record the socket refused still has to go out.
    if ((events & EPOLLOUT) && st.transport && (st.transport->Needs() & platform::NeedWrite)) {
      st.transport->Progress(st.fd, false, true);
    }
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && st.writeArmed) {
      st.writeArmed = false;
      Post(st, FD_WRITE, 0);
    }
    return;
  }
  platform::Transport& transport = *st.transport;
  bool wasEstablished = transport.Established();
  int failure = transport.Progress(st.fd, readable || broken, (events & EPOLLOUT) != 0);
  PostNotes(st);
  if (failure != 0) {
    PostClose(st, TranslateErrno(failure));
    return;
  }
  if (!transport.Established()) return;  // the handshake goes on; Needs() says what it waits for
  if (!wasEstablished) {
    PostEstablished(st);
    // Bytes may have come with the handshake's last flight, and the user may have tried to send.
    readable = readable || transport.Holds();
    if (st.writeArmed) events |= EPOLLOUT;
  }
  if (readable && !st.readArmed) st.readLingers = false;
  if (readable && st.readArmed && (st.mask & FD_READ)) {
    // Readable without a hang-up means data; with one, it may be only the end, which is FD_CLOSE's.
    long waiting = 1;
    int err = 0;
    if (broken) waiting = transport.Available(st.fd, err);
    if (waiting > 0) {
      st.readArmed = false;
      st.readLingers = true;
      Post(st, FD_READ, 0);
    }
  }
  bool writable = (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0;
  // Only a socket that reports EPOLLERR has an error to read; a hang-up alone is an orderly end.
  int closeError = broken && (events & EPOLLERR) ? TranslateErrno(SocketError(st.fd)) : 0;
  // A reset goes before the room to write: the user learns of it as a reset, not from a send that fails.
  bool closeFirst = broken && closeError != 0;
  if (closeFirst) PostClose(st, closeError);
  if (writable && st.writeArmed) {
    st.writeArmed = false;
    Post(st, FD_WRITE, 0);
  }
  if (broken && !closeFirst) PostClose(st, 0);
}

void Winsock::PostClose(SocketState& st, int error) {
  st.closePosted = true;
  st.closeError = error;
  Post(st, FD_CLOSE, error);
}

Winsock::Winsock(EventLoop& loop) : loop_(loop), resolver_(SystemResolver) {
  lookups_ = std::make_shared<LookupBoard>();
  lookups_->wakeFd = -1;
}

Winsock::~Winsock() {
  std::vector<SOCKET> open;
  for (auto& [s, st] : sockets_) open.push_back(s);
  for (SOCKET s : open) closesocket(s);
  std::vector<int> lingering;
  for (auto& [fd, l] : lingering_) lingering.push_back(fd);
  for (int fd : lingering) EndLinger(fd);
  {
    std::lock_guard<std::mutex> lock(lookups_->mutex);
    lookups_->closed = true;
    lookups_->done.clear();
  }
  if (lookups_->wakeFd >= 0) {
    loop_.Unwatch(lookups_->wakeFd);
    // The helper threads may still write to the descriptor, so it stays open with the board until they
    // are done; the board closes it when the last of them lets go.
  }
  for (auto& [task, lookup] : pending_) loop_.RemoveMessages(lookup->message, task);
  pending_.clear();
}

int Winsock::WSAStartup(std::uint16_t version) {
  if ((version & 0xFF) < 1) return 10092;  // WSAVERNOTSUPPORTED
  return 0;
}

int Winsock::WSACleanup() { return 0; }

int Winsock::gethostname(char* name, int length) {
  if (::gethostname(name, static_cast<std::size_t>(length)) != 0) return Fail(WSAEFAULT);
  name[length - 1] = '\0';
  return 0;
}

int Winsock::WSAAsyncSelect(SOCKET s, HWND target, unsigned message, long events) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (target != &loop_) return Fail(WSAEINVAL);
  st->selected = events != 0;
  st->mask = events;
  st->message = message;
  // A fresh registration may report what is pending again, as Windows Sockets does.
  st->readArmed = true;
  UpdateInterest(*st);
  return 0;
}

int Winsock::OpenSocket(int family) {
  int fd = ::socket(family, posix::kSockStream | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(TranslateErrno(errno));
    return -1;
  }
  auto st = std::make_unique<SocketState>();
  st->fd = fd;
  st->family = family;
  st->id = nextSocketId_++;
  sockets_[static_cast<SOCKET>(fd)] = std::move(st);
  return fd;
}

SOCKET Winsock::socket(int family, int type, int /*protocol*/) {
  if ((family != AF_INET && family != AF_INET6) || type != SOCK_STREAM) {
    Fail(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  int fd = OpenSocket(family == AF_INET ? posix::kAfInet : posix::kAfInet6);
  return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

int Winsock::bind(SOCKET s, const sockaddr* address, int length) {
  platform::Endpoint e;
  if (!FromLegacy(address, length, e)) return Fail(WSAEFAULT);
  return bind(s, e);
}

int Winsock::bind(SOCKET s, const platform::Endpoint& address) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (address.Empty()) return Fail(WSAEFAULT);
  // Windows lets a port be bound again while old connections of it linger in TIME_WAIT; this is how
  // Linux says the same. It never lets two listeners share a port.
  int one = 1;
  ::setsockopt(st->fd, posix::kSolSocket, SO_REUSEADDR, &one, sizeof one);
  ::sockaddr_storage in;
  socklen_t length = ForSocket(st->family, address, in);
  if (::bind(st->fd, reinterpret_cast<::sockaddr*>(&in), length) != 0) return Fail(TranslateErrno(errno));
  return 0;
}

int Winsock::listen(SOCKET s, int backlog) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (::listen(st->fd, backlog == SOMAXCONN ? posix::kSomaxconn : backlog) != 0) return Fail(TranslateErrno(errno));
  st->kind = SocketState::Kind::Listening;
  UpdateInterest(*st);
  return 0;
}

int Winsock::getsockname(SOCKET s, sockaddr* address, int* length) {
  if (length == nullptr || *length < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
  platform::Endpoint e;
  if (getsockname(s, e) != 0) return SOCKET_ERROR;
  ToLegacy(e, address, length);
  return 0;
}

int Winsock::getsockname(SOCKET s, platform::Endpoint& address) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  ::sockaddr_storage in{};
  socklen_t len = sizeof in;
  if (::getsockname(st->fd, reinterpret_cast<::sockaddr*>(&in), &len) != 0) return Fail(TranslateErrno(errno));
  address = FromSystem(in, len);
  return 0;
}

SOCKET Winsock::accept(SOCKET s, sockaddr* address, int* length) {
  platform::Endpoint peer;
  SOCKET n = accept(s, &peer);
  if (n != INVALID_SOCKET) ToLegacy(peer, address, length);
  return n;
}

SOCKET Winsock::accept(SOCKET s, platform::Endpoint* peer) {
  SocketState* st = Find(s);
  if (st == nullptr) {
    Fail(WSAENOTSOCK);
    return INVALID_SOCKET;
  }
  ::sockaddr_storage in{};
  socklen_t len = sizeof in;
  int fd = ::accept4(st->fd, reinterpret_cast<::sockaddr*>(&in), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  int err = errno;
  if (fd < 0 && (err == EMFILE || err == ENFILE)) {
    // The connection still waits, so readiness would report it again at once, for ever. Look again a
    // little later instead, when descriptors may have been freed.
    st->readArmed = false;
    st->readLingers = false;
    UpdateInterest(*st);
    std::uint64_t id = st->id;
    loop_.Schedule(100, [this, s, id] {
      SocketState* later = Find(s);
      if (later == nullptr || later->id != id) return;
      later->readArmed = true;
      UpdateInterest(*later);
    });
    Fail(TranslateErrno(err));
    return INVALID_SOCKET;
  }
  // Every accept call enables FD_ACCEPT again, as in Windows Sockets.
  st->readArmed = true;
  UpdateInterest(*st);
  if (fd < 0) {
    Fail(TranslateErrno(err));
    return INVALID_SOCKET;
  }
  auto ns = std::make_unique<SocketState>();
  ns->fd = fd;
  ns->family = st->family;  // an accepted socket is of its listener's family
  ns->id = nextSocketId_++;
  ns->kind = SocketState::Kind::Connected;
  ns->transport = &platform::SharedTcpTransport();
  SOCKET n = static_cast<SOCKET>(fd);
  sockets_[n] = std::move(ns);
  if (peer != nullptr) *peer = FromSystem(in, len);
  return n;
}

int Winsock::connect(SOCKET s, const sockaddr* address, int length) {
  platform::Endpoint e;
  if (!FromLegacy(address, length, e)) return Fail(WSAEFAULT);
  return connect(s, e);
}

int Winsock::connect(SOCKET s, const platform::Endpoint& address) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (address.Empty()) return Fail(WSAEFAULT);
  ::sockaddr_storage in;
  socklen_t length = ForSocket(st->family, address, in);
  int r = ::connect(st->fd, reinterpret_cast<::sockaddr*>(&in), length);
  int err = r == 0 ? 0 : errno;
  switch (err) {
    case EBADF:
    case ENOTSOCK:
    case EISCONN:
    case EALREADY:
    case EFAULT:
    case EAFNOSUPPORT:
    case EINVAL:
      return Fail(TranslateErrno(err));
    default:
      break;
  }
  if (!st->transport) st->transport = &platform::SharedTcpTransport();
  if (!st->selected) {
    // A socket nobody listens to: the answer has to come from the call itself.
    if (err == 0) {
      st->kind = SocketState::Kind::Connected;
      return 0;
    }
    if (err == EINPROGRESS) st->kind = SocketState::Kind::Connecting;
    return Fail(TranslateErrno(err));
  }
  // Windows Sockets 1.1 reports every outcome through FD_CONNECT, even one the call already knows.
  if (err == 0) {
    st->kind = SocketState::Kind::Connected;
    Post(*st, FD_CONNECT, 0);
    LimitHandshake(*st);
    st->writeArmed = true;
    OnConnectedReady(*st, EPOLLOUT);
  } else if (err == EINPROGRESS) {
    st->kind = SocketState::Kind::Connecting;
  } else {
    st->kind = SocketState::Kind::Connecting;
    st->closePosted = true;
    Post(*st, FD_CONNECT, TranslateErrno(err));
  }
  UpdateInterest(*st);
  return Fail(WSAEWOULDBLOCK);
}

int Winsock::SetTransport(SOCKET s, std::unique_ptr<platform::Transport> transport) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (!transport) return Fail(WSAEINVAL);
  st->own = std::move(transport);
  st->transport = st->own.get();
  if (st->kind == SocketState::Kind::Connected) LimitHandshake(*st);  // an accepted socket's
  UpdateInterest(*st);
  return 0;
}

std::vector<platform::TransportNote> Winsock::TakeTransportNotes(SOCKET s) {
  SocketState* st = Find(s);
  if (st == nullptr) return {};
  return std::exchange(st->notes, {});
}

std::string Winsock::TransportFailure(SOCKET s) {
  SocketState* st = Find(s);
  // An established stream that fails is a read or send failure with its error number, not a handshake's.
  if (st == nullptr || !st->transport || st->transport->Established()) return std::string();
  if (st->handshakeExpired) {
    int ms = handshakeLimitMs_;
    if (ms % 1000 != 0) return "Handshake not completed within " + std::to_string(ms) + " milliseconds";
    return "Handshake not completed within " + std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
  }
  return st->transport->FailureText();
}

std::string Winsock::StreamFailure(SOCKET s) {
  SocketState* st = Find(s);
  if (st == nullptr || !st->transport || !st->transport->Established()) return std::string();
  return st->transport->FailureText();
}

// A handshake can fail inside a send or a recv as well as on readiness; it is reported the same way
// whichever met it, through FD_CLOSE with its error, and the call only says "not now".
bool Winsock::HandshakeFailed(SocketState& st, int error) {
  if (error == EAGAIN || error == EWOULDBLOCK || st.transport->Established() || st.transport->FailureText().empty()) {
    return false;
  }
  if (!st.closePosted) {
    PostNotes(st);
    PostClose(st, TranslateErrno(error));
    UpdateInterest(st);
  }
  return true;
}

// A handshake that does not complete ends: a peer that stops in the middle of one would otherwise keep
// the socket, and all its user holds for it, for as long as it stays connected.
void Winsock::LimitHandshake(SocketState& st) {
  if (!st.transport || st.transport->Established() || handshakeLimitMs_ <= 0) return;
  SOCKET s = static_cast<SOCKET>(st.fd);
  std::uint64_t id = st.id;
  std::weak_ptr<bool> alive = alive_;
  loop_.Schedule(handshakeLimitMs_, [this, alive, s, id] {
    if (alive.expired()) return;
    SocketState* later = Find(s);
    if (later == nullptr || later->id != id || later->closePosted || !later->transport ||
        later->transport->Established()) {
      return;
    }
    later->handshakeExpired = true;
    PostClose(*later, WSAETIMEDOUT);
    UpdateInterest(*later);
  });
}

void Winsock::PostEstablished(SocketState& st) {
  if (st.selected) {
    loop_.PostMessage(st.message, static_cast<WPARAM>(st.fd), WSAMAKESELECTREPLY(FD_ESTABLISHED, 0));
  }
}

void Winsock::PostNotes(SocketState& st) {
  std::vector<platform::TransportNote> notes = st.transport->TakeNotes();
  if (notes.empty()) return;
  bool posted = !st.notes.empty();
  for (auto& note : notes) st.notes.push_back(std::move(note));
  if (!posted && st.selected) loop_.PostMessage(st.message, static_cast<WPARAM>(st.fd), WSAMAKESELECTREPLY(FD_NOTE, 0));
}

int Winsock::recv(SOCKET s, char* buffer, int length, int flags) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (!st->transport) return Fail(WSAENOTCONN);
  int err = 0;
  bool wasEstablished = st->transport->Established();
  long n = st->transport->Read(st->fd, buffer, static_cast<std::size_t>(length < 0 ? 0 : length), (flags & MSG_PEEK) != 0, err);
  if (!st->readArmed) {
    st->readArmed = true;  // the next data (or what is left) is reported again
    // Bytes the transport already holds are announced by no readiness: report them now (also after a
    // read that found its block exactly full and took nothing).
    bool tookNothing = n < 0 && (err == EAGAIN || err == EWOULDBLOCK);
    if ((n > 0 || tookNothing) && st->transport->Holds() && (st->mask & FD_READ) && !st->closePosted) {
      st->readArmed = false;
      st->readLingers = false;
      Post(*st, FD_READ, 0);
    }
    UpdateInterest(*st);
  } else if (st->transport->Needs() & platform::NeedWrite) {
    UpdateInterest(*st);  // the read made the transport answer something the socket did not take yet
  }
  PostNotes(*st);
  if (!wasEstablished && st->transport->Established()) PostEstablished(*st);
  if (n < 0 && HandshakeFailed(*st, err)) return Fail(WSAEWOULDBLOCK);
  if (n < 0) {
    if (err == EAGAIN || err == EWOULDBLOCK) return Fail(WSAEWOULDBLOCK);
    // After a reset has been reported through FD_CLOSE, the close event has said it all.
    if (st->closePosted && st->closeError != 0 && (err == ECONNRESET || err == EPIPE)) return Fail(WSAEWOULDBLOCK);
    return Fail(TranslateErrno(err));
  }
  if (n == 0 && length > 0 && st->closePosted && st->closeError != 0) return Fail(WSAEWOULDBLOCK);
  return static_cast<int>(n);
}

int Winsock::send(SOCKET s, const char* buffer, int length, int /*flags*/) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (!st->transport) return Fail(WSAENOTCONN);
  int err = 0;
  bool wasEstablished = st->transport->Established();
  long n = st->transport->Write(st->fd, buffer, static_cast<std::size_t>(length < 0 ? 0 : length), err);
  if (!wasEstablished && st->transport->Established()) {
    PostNotes(*st);
    PostEstablished(*st);
  }
  if (n < 0 && HandshakeFailed(*st, err)) return Fail(WSAEWOULDBLOCK);
  if (n < 0) {
    // A reset already reported through FD_CLOSE is answered there, as for recv: the sender waits for it.
    bool reported = st->closePosted && st->closeError != 0 && (err == ECONNRESET || err == EPIPE);
    if (err == EAGAIN || err == EWOULDBLOCK || reported) {
      if (!st->writeArmed && !reported) {
        st->writeArmed = true;
        UpdateInterest(*st);
      }
      return Fail(WSAEWOULDBLOCK);
    }
    return Fail(TranslateErrno(err));
  }
  // Part of what was taken may wait inside the transport (the tail of a record): the socket's room
  // has to be watched for it even when the user has nothing more to send.
  if (st->transport->Needs() & platform::NeedWrite) UpdateInterest(*st);
  return static_cast<int>(n);
}

int Winsock::ioctlsocket(SOCKET s, long command, u_long* argument) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (command != FIONREAD || argument == nullptr) return Fail(WSAEINVAL);
  int err = 0;
  long waiting = st->transport ? st->transport->Available(st->fd, err) : 0;
  if (waiting < 0) return Fail(TranslateErrno(err));
  *argument = static_cast<u_long>(waiting);
  return 0;
}

int Winsock::setsockopt(SOCKET s, int level, int option, const char* value, int length) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (value == nullptr || length < 4) return Fail(WSAEFAULT);
  int v;
  std::memcpy(&v, value, sizeof v);
  if (level == SOL_SOCKET && option == SO_DONTLINGER) {
    // Linux closes gracefully in the background by default, which is what this asks for.
    return 0;
  }
  if (level == IPPROTO_IPV6 && option == IPV6_V6ONLY) {
    int flag = v != 0;
    if (::setsockopt(st->fd, posix::kIpprotoIpv6, posix::kIpv6V6only, &flag, sizeof flag) != 0) return Fail(TranslateErrno(errno));
    return 0;
  }
  if (level == IPPROTO_TCP && option == TCP_NODELAY) {
    int flag = v != 0;
    if (::setsockopt(st->fd, posix::kIpprotoTcp, posix::kTcpNodelay, &flag, sizeof flag) != 0) return Fail(TranslateErrno(errno));
    return 0;
  }
  return Fail(WSAENOPROTOOPT);
}

int Winsock::shutdown(SOCKET s, int how) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  if (how == SD_SEND && st->transport) {
    int err = st->transport->ShutdownSend(st->fd);
    UpdateInterest(*st);  // an end record may wait for room
    return err == 0 ? 0 : Fail(TranslateErrno(err));
  }
  int h = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
  if (::shutdown(st->fd, h) != 0) return Fail(TranslateErrno(errno));
  return 0;
}

int Winsock::closesocket(SOCKET s) {
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(WSAENOTSOCK);
  int fd = st->fd;
  bool watched = st->watched;
  // A message still queued for this number must never reach whoever gets the number next.
  if (st->message != 0) loop_.RemoveMessages(st->message, s);
  std::unique_ptr<platform::Transport> transport = std::move(st->own);  // plain TCP has nothing to send
  sockets_.erase(s);
  if (transport && LingerToSend(fd, std::move(transport))) return 0;
  if (watched) loop_.Forget(fd);  // closing the descriptor removes it from epoll
  ::close(fd);
  return 0;
}

// A closed socket whose transport still holds bytes it has taken (the tail of a record, an end record)
// is kept open, out of the user's sight, until the socket has taken them, as the system does with what
// waits in a closed TCP socket's buffer. The descriptor stays open meanwhile, so its number is not reused.
bool Winsock::LingerToSend(int fd, std::unique_ptr<platform::Transport> transport) {
  if (!transport->Established() || transport->Progress(fd, false, true) != 0 ||
      (transport->Needs() & platform::NeedWrite) == 0) {
    return false;
  }
  std::uint64_t id = nextSocketId_++;
  lingering_[fd] = Lingering{std::move(transport), id};
  loop_.Watch(fd, EPOLLOUT, [this, fd](std::uint32_t events) {
    auto it = lingering_.find(fd);
    if (it == lingering_.end()) return;
    platform::Transport& t = *it->second.transport;
    bool failed = t.Progress(fd, false, true) != 0 || (events & (EPOLLERR | EPOLLHUP)) != 0;
    if (failed || (t.Needs() & platform::NeedWrite) == 0) EndLinger(fd);
  });
  std::weak_ptr<bool> alive = alive_;
  loop_.Schedule(kLingerMs, [this, alive, fd, id] {
    if (alive.expired()) return;
    auto it = lingering_.find(fd);
    if (it != lingering_.end() && it->second.id == id) EndLinger(fd);
  });
  return true;
}

void Winsock::EndLinger(int fd) {
  loop_.Unwatch(fd);
  lingering_.erase(fd);
  ::close(fd);
}

}  // namespace tapline::winsock
