// Windows Sockets 1.1 in its asynchronous message form, over non-blocking POSIX sockets and the event loop.
// Main thread only, except that lookups resolve on helper threads and post their completion to the loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/endpoint.h"
#include "platform/event_loop.h"
#include "platform/transport.h"

namespace tapline::winsock {

using platform::EventLoop;
using platform::LPARAM;
using platform::WPARAM;

using SOCKET = std::uint32_t;  // the descriptor number
using HANDLE = std::uint32_t;  // a lookup task; never equal to a socket number
using HWND = EventLoop*;       // the message target
using u_long = std::uint32_t;
using u_short = std::uint16_t;

inline constexpr SOCKET INVALID_SOCKET = ~0u;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr std::uint32_t INADDR_NONE = 0xFFFFFFFFu;
inline constexpr std::uint32_t INADDR_ANY = 0;

inline constexpr long FD_READ = 0x01;     // data waits; once until the next recv
inline constexpr long FD_WRITE = 0x02;    // connected, or room again after a send that would block
inline constexpr long FD_OOB = 0x04;      // never selected by Tapline
inline constexpr long FD_ACCEPT = 0x08;   // a connection waits on a listening socket
inline constexpr long FD_CONNECT = 0x10;  // a connect completed, with its error number
inline constexpr long FD_CLOSE = 0x20;    // the peer closed (0) or the connection broke (error number)
// Not of Windows Sockets: the socket's transport has lines for the log (TakeTransportNotes). Posted
// whatever the mask, only by transports that speak for themselves (TLS), before the events that follow.
inline constexpr long FD_NOTE = 0x100;
// Not of Windows Sockets either: the transport's handshake has completed and the stream now carries its
// user's bytes. Posted once, whatever the mask, only by transports with a handshake (TLS), before the
// FD_READ that may follow.
inline constexpr long FD_ESTABLISHED = 0x200;

inline constexpr long FIONREAD = 0x4004667F;
inline constexpr int SOL_SOCKET = 0xFFFF;
inline constexpr int SO_DONTLINGER = static_cast<int>(0xFFFFFF7F);
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int TCP_NODELAY = 1;
inline constexpr int AF_INET = 2;
inline constexpr int AF_INET6 = 23;
inline constexpr int IPPROTO_IPV6 = 41;
inline constexpr int IPV6_V6ONLY = 27;
// As in Windows Sockets 2: the longest queue of pending connections the system allows.
inline constexpr int SOMAXCONN = 0x7FFFFFFF;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;
inline constexpr int MSG_PEEK = 0x2;

// Error numbers.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

inline constexpr LPARAM WSAMAKESELECTREPLY(long event, int error) {
  return static_cast<LPARAM>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) | (event & 0xFFFF));
}
inline constexpr long WSAGETSELECTEVENT(LPARAM lParam) { return static_cast<long>(lParam & 0xFFFF); }
inline constexpr int WSAGETSELECTERROR(LPARAM lParam) { return static_cast<int>((lParam >> 16) & 0xFFFF); }
inline constexpr int WSAGETASYNCERROR(LPARAM lParam) { return WSAGETSELECTERROR(lParam); }

struct in_addr {
  std::uint32_t s_addr;  // network byte order
};
struct sockaddr_in {
  std::int16_t sin_family;
  u_short sin_port;  // network byte order
  in_addr sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16);
struct sockaddr {
  std::uint16_t sa_family;
  char sa_data[14];
};


// The system's errno as a Windows Sockets error number.
int TranslateErrno(int err);
// The text the log shows for an error number; "Unhandled error (%d)" for numbers outside the table.
const char* WinsockErrorText(int error);

std::uint32_t inet_addr(const char* text);  // INADDR_NONE when it is no dotted address
const char* inet_ntoa(in_addr address);     // valid until the next call
u_short htons(u_short value);
u_short ntohs(u_short value);

// Resolves a name to its addresses (port 0), in the order they are to be tried; answers 0 or a lookup
// error number. Runs on a helper thread, so it must not touch anything of the main thread.
using Resolver = std::function<int(const std::string& name, std::vector<platform::Endpoint>& addresses)>;
int SystemResolver(const std::string& name, std::vector<platform::Endpoint>& addresses);

class Winsock {
 public:
  explicit Winsock(EventLoop& loop);
  ~Winsock();  // closes what is still open and forgets outstanding lookups
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;

  // Lookups run through this resolver from now on (tests make them deterministic).
  void SetResolver(Resolver resolver) { resolver_ = std::move(resolver); }

  int WSAStartup(std::uint16_t version);
  int WSACleanup();
  int WSAGetLastError() const { return lastError_; }
  void WSASetLastError(int error) { lastError_ = error; }

  int gethostname(char* name, int length);
  // Looks `name` up on a helper thread; on completion the main thread fills `addresses` (which must live
  // until then, or until the lookup is cancelled) and posts `message` with the task and the error.
  HANDLE WSAAsyncGetAddrInfo(HWND target, unsigned message, const char* name, std::vector<platform::Endpoint>* addresses);
  int WSACancelAsyncRequest(HANDLE task);
  int WSAAsyncSelect(SOCKET s, HWND target, unsigned message, long events);

  SOCKET socket(int family, int type, int protocol);
  int bind(SOCKET s, const sockaddr* address, int length);
  int listen(SOCKET s, int backlog);
  int getsockname(SOCKET s, sockaddr* address, int* length);
  SOCKET accept(SOCKET s, sockaddr* address, int* length);
  int connect(SOCKET s, const sockaddr* address, int length);
  // The same calls over endpoints of either family.
  int bind(SOCKET s, const platform::Endpoint& address);
  int connect(SOCKET s, const platform::Endpoint& address);
  SOCKET accept(SOCKET s, platform::Endpoint* peer);
  int getsockname(SOCKET s, platform::Endpoint& address);
  // A read of 0 bytes answers 0 only when the peer has closed (WSAEWOULDBLOCK otherwise).
  int recv(SOCKET s, char* buffer, int length, int flags);
  int send(SOCKET s, const char* buffer, int length, int flags);
  int ioctlsocket(SOCKET s, long command, u_long* argument);
  int setsockopt(SOCKET s, int level, int option, const char* value, int length);
  int shutdown(SOCKET s, int how);
  int closesocket(SOCKET s);

  // The byte stream of a connected socket, plain TCP until replaced (before the first read or write).
  int SetTransport(SOCKET s, std::unique_ptr<platform::Transport> transport);
  // What the transport has for the log since the last call (after an FD_NOTE).
  std::vector<platform::TransportNote> TakeTransportNotes(SOCKET s);
  // Why the transport's handshake failed, in one line; empty when it did not fail before its stream was
  // established (plain TCP never does).
  std::string TransportFailure(SOCKET s);
  // Why an established stream failed, in the transport's words (a TLS alert, say); empty when it has
  // not failed or has no words of its own (plain TCP).
  std::string StreamFailure(SOCKET s);

  // A transport's handshake that has not completed this long after the connection was made fails: the
  // socket gets FD_CLOSE with WSAETIMEDOUT and TransportFailure says why. Takes effect for handshakes
  // that start afterwards.
  static constexpr int DefaultHandshakeLimitMs = 10000;
  void SetHandshakeLimit(int milliseconds) { handshakeLimitMs_ = milliseconds; }
  int HandshakeLimit() const { return handshakeLimitMs_; }

  // Outstanding lookups (tests check that cancelled ones leave nothing behind).
  std::size_t LookupsInFlight() const;

 private:
  struct SocketState;
  struct Lookup;
  struct LookupBoard;

  SocketState* Find(SOCKET s);
  int Fail(int error);  // sets the last error, answers SOCKET_ERROR
  void Post(SocketState& st, long event, int error);
  void UpdateInterest(SocketState& st);
  void OnReady(SOCKET s, std::uint32_t events);
  void OnConnectedReady(SocketState& st, std::uint32_t events);
  void PostNotes(SocketState& st);
  bool HandshakeFailed(SocketState& st, int error);
  void LimitHandshake(SocketState& st);
  void PostEstablished(SocketState& st);
  void PostClose(SocketState& st, int error);
  bool LingerToSend(int fd, std::unique_ptr<platform::Transport> transport);
  void EndLinger(int fd);
  int OpenSocket(int family);
  void TakeLookupResults();

  EventLoop& loop_;
  int lastError_ = 0;
  Resolver resolver_;
  std::unordered_map<SOCKET, std::unique_ptr<SocketState>> sockets_;
  std::shared_ptr<LookupBoard> lookups_;
  std::unordered_map<HANDLE, std::unique_ptr<Lookup>> pending_;
  HANDLE nextTask_ = 0x40000001u;
  std::uint64_t nextSocketId_ = 1;
  // Closed sockets whose transport still sends what it took, by descriptor; closed at the latest after
  // kLingerMs.
  struct Lingering {
    std::unique_ptr<platform::Transport> transport;
    std::uint64_t id;
  };
  static constexpr int kLingerMs = 30000;
  std::unordered_map<int, Lingering> lingering_;
  // Scheduled calls hold this weakly, so that one due after the socket layer has gone does nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  unsigned lastLookupMessage_ = 0;
  int handshakeLimitMs_ = DefaultHandshakeLimitMs;
};

}  // namespace tapline::winsock
