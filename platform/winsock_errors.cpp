// Error numbers: the system's errno as a Windows Sockets number, and the log's text for each number.
#include "platform/posix_socket.h"

#include <cerrno>
#include <cstdio>

#include "platform/winsock.h"

namespace tapline::winsock {

int TranslateErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: return WSAEACCES;
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN:
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return 10000 + err;  // shown as "Unhandled error (%d)", still telling which errno it was
  }
}

const char* WinsockErrorText(int error) {
  switch (error) {
    case 10024: return "Too many open files";
    case 10035: return "Resource temporarily unavailable";
    case 10048: return "Address already in use";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Software caused connection abort";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space is available";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10067: return "Too many processes";
    case 10091: return "Network subsystem is unavailable";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "This is a non-recoverable error";
    case 11004: return "Valid name, no data record of requested type";
    default: break;
  }
  // Main thread only, and every caller logs the text at once.
  static char fallback[80];
  std::snprintf(fallback, sizeof fallback, "Unhandled error (%d)", error);
  return fallback;
}

std::uint32_t inet_addr(const char* text) { return ::inet_addr(text); }

const char* inet_ntoa(in_addr address) {
  ::in_addr a{};
  a.s_addr = address.s_addr;
  return ::inet_ntoa(a);
}

u_short htons(u_short value) { return posix::HostToNet16(value); }
u_short ntohs(u_short value) { return posix::NetToHost16(value); }

}  // namespace tapline::winsock
