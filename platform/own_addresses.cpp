#include "platform/own_addresses.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace tapline::platform {

bool IsOwnAddress(const Endpoint& address) {
  if (address.IsWildcard() || address.IsLoopback()) return true;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool own = false;
  for (ifaddrs* i = list; i != nullptr && !own; i = i->ifa_next) {
    if (i->ifa_addr == nullptr) continue;
    if (i->ifa_addr->sa_family == AF_INET && address.IsV4()) {
      own = std::memcmp(&reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, address.V4Bytes(), 4) == 0;
    } else if (i->ifa_addr->sa_family == AF_INET6 && address.IsV6()) {
      own = std::memcmp(&reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, address.V6Bytes(), 16) == 0;
    }
  }
  ::freeifaddrs(list);
  return own;
}

}  // namespace tapline::platform
