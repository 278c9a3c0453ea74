// The system's socket names under names of their own, for the socket layer's implementation (and tests
// that use plain sockets beside it). Include it before winsock.h: the macros that share a name with a
// Windows Sockets constant are captured here and then undefined. Constants and pure functions: any thread.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdint>

namespace tapline::posix {

inline constexpr int kAfInet = AF_INET;
inline constexpr int kAfInet6 = AF_INET6;
inline constexpr int kIpprotoIpv6 = IPPROTO_IPV6;
inline constexpr int kIpv6V6only = IPV6_V6ONLY;
inline constexpr int kSomaxconn = SOMAXCONN;
inline constexpr int kSockStream = SOCK_STREAM;
inline constexpr int kSolSocket = SOL_SOCKET;
inline constexpr int kIpprotoTcp = IPPROTO_TCP;
inline constexpr int kTcpNodelay = TCP_NODELAY;
inline constexpr int kMsgPeek = MSG_PEEK;
inline constexpr unsigned long kFionread = FIONREAD;
inline constexpr std::uint32_t kInaddrNone = INADDR_NONE;
inline constexpr std::uint32_t kInaddrLoopback = INADDR_LOOPBACK;

inline std::uint16_t HostToNet16(std::uint16_t v) { return htons(v); }
inline std::uint16_t NetToHost16(std::uint16_t v) { return ntohs(v); }
inline std::uint32_t HostToNet32(std::uint32_t v) { return htonl(v); }

}  // namespace tapline::posix

#undef AF_INET
#undef AF_INET6
#undef IPPROTO_IPV6
#undef IPV6_V6ONLY
#undef SOMAXCONN
#undef SOCK_STREAM
#undef SOL_SOCKET
#undef IPPROTO_TCP
#undef TCP_NODELAY
#undef MSG_PEEK
#undef FIONREAD
#undef INADDR_NONE
#undef INADDR_ANY
#undef INADDR_LOOPBACK
#undef htons
#undef ntohs
#undef htonl
#undef ntohl
