#include "platform/endpoint.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace tapline::platform {

namespace {

const sockaddr_in* AsV4(const Endpoint& e) {
  return e.Length >= sizeof(sockaddr_in) && reinterpret_cast<const sockaddr*>(e.Address)->sa_family == AF_INET
             ? reinterpret_cast<const sockaddr_in*>(e.Address)
             : nullptr;
}

const sockaddr_in6* AsV6(const Endpoint& e) {
  return e.Length >= sizeof(sockaddr_in6) && reinterpret_cast<const sockaddr*>(e.Address)->sa_family == AF_INET6
             ? reinterpret_cast<const sockaddr_in6*>(e.Address)
             : nullptr;
}

bool IsMapped(const sockaddr_in6* a) { return a != nullptr && IN6_IS_ADDR_V4MAPPED(&a->sin6_addr); }

// Dotted IPv4 with exactly four decimal parts, as inet_addr-style shorthand ("127.1") would surprise.
bool ParseDotted(std::string_view text, unsigned char out[4]) {
  int part = 0;
  unsigned value = 0;
  int digits = 0;
  for (char ch : text) {
    if (ch >= '0' && ch <= '9') {
      value = value * 10 + static_cast<unsigned>(ch - '0');
      if (++digits > 3 || value > 255) return false;
    } else if (ch == '.') {
      if (digits == 0 || part == 3) return false;
      out[part++] = static_cast<unsigned char>(value);
      value = 0;
      digits = 0;
    } else {
      return false;
    }
  }
  if (digits == 0 || part != 3) return false;
  out[3] = static_cast<unsigned char>(value);
  return true;
}

}  // namespace

bool Endpoint::IsV6() const {
  const sockaddr_in6* a = AsV6(*this);
  return a != nullptr && !IsMapped(a);
}

bool Endpoint::IsV4() const { return AsV4(*this) != nullptr || IsMapped(AsV6(*this)); }

std::uint16_t Endpoint::Port() const {
  if (const sockaddr_in* a = AsV4(*this)) return ntohs(a->sin_port);
  if (const sockaddr_in6* a = AsV6(*this)) return ntohs(a->sin6_port);
  return 0;
}

void Endpoint::SetPort(std::uint16_t port) {
  if (AsV4(*this) != nullptr) reinterpret_cast<sockaddr_in*>(Address)->sin_port = htons(port);
  if (AsV6(*this) != nullptr) reinterpret_cast<sockaddr_in6*>(Address)->sin6_port = htons(port);
}

const unsigned char* Endpoint::V4Bytes() const {
  if (const sockaddr_in* a = AsV4(*this)) return reinterpret_cast<const unsigned char*>(&a->sin_addr);
  if (const sockaddr_in6* a = AsV6(*this); IsMapped(a)) return a->sin6_addr.s6_addr + 12;
  return nullptr;
}

const unsigned char* Endpoint::V6Bytes() const {
  const sockaddr_in6* a = AsV6(*this);
  return a == nullptr ? nullptr : a->sin6_addr.s6_addr;
}

std::uint32_t Endpoint::ScopeId() const {
  const sockaddr_in6* a = AsV6(*this);
  return a == nullptr ? 0 : a->sin6_scope_id;
}

bool Endpoint::IsWildcard() const {
  if (IsV4()) {
    const unsigned char* b = V4Bytes();
    return b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0;
  }
  const sockaddr_in6* a = AsV6(*this);
  return a != nullptr && IN6_IS_ADDR_UNSPECIFIED(&a->sin6_addr);
}

bool Endpoint::IsLoopback() const {
  if (IsV4()) return V4Bytes()[0] == 127;
  const sockaddr_in6* a = AsV6(*this);
  return a != nullptr && IN6_IS_ADDR_LOOPBACK(&a->sin6_addr);
}

std::string Endpoint::AddressText() const {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
  if (IsV4()) {
    inet_ntop(AF_INET, V4Bytes(), text, sizeof text);
    return text;
  }
  const sockaddr_in6* a = AsV6(*this);
  if (a == nullptr) return std::string();
  inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
  std::string out = text;
  if (a->sin6_scope_id != 0) {
    char name[IF_NAMESIZE] = {};
    out += '%';
    out += if_indextoname(a->sin6_scope_id, name) != nullptr ? std::string(name) : std::to_string(a->sin6_scope_id);
  }
  return out;
}

std::string Endpoint::HostText() const { return IsV6() ? "[" + AddressText() + "]" : AddressText(); }

std::string Endpoint::ToString() const { return HostText() + ":" + std::to_string(Port()); }

bool Endpoint::SameAs(const Endpoint& other) const {
  if (Port() != other.Port()) return false;
  if (IsV4() && other.IsV4()) return std::memcmp(V4Bytes(), other.V4Bytes(), 4) == 0;
  if (IsV6() && other.IsV6()) {
    return std::memcmp(V6Bytes(), other.V6Bytes(), 16) == 0 && ScopeId() == other.ScopeId();
  }
  return false;
}

Endpoint Endpoint::V4(const unsigned char bytes[4], std::uint16_t port) {
  Endpoint e;
  auto* a = reinterpret_cast<sockaddr_in*>(e.Address);
  a->sin_family = AF_INET;
  a->sin_port = htons(port);
  std::memcpy(&a->sin_addr, bytes, 4);
  e.Length = sizeof(sockaddr_in);
  return e;
}

Endpoint Endpoint::V6(const unsigned char bytes[16], std::uint16_t port, std::uint32_t scope) {
  Endpoint e;
  auto* a = reinterpret_cast<sockaddr_in6*>(e.Address);
  a->sin6_family = AF_INET6;
  a->sin6_port = htons(port);
  std::memcpy(&a->sin6_addr, bytes, 16);
  a->sin6_scope_id = scope;
  e.Length = sizeof(sockaddr_in6);
  return e;
}

std::optional<Endpoint> Endpoint::FromAddressText(std::string_view text, std::uint16_t port) {
  unsigned char v4[4];
  if (ParseDotted(text, v4)) return V4(v4, port);
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  std::string_view zone;
  if (std::size_t percent = text.find('%'); percent != std::string_view::npos) {
    zone = text.substr(percent + 1);
    text = text.substr(0, percent);
    if (zone.empty()) return std::nullopt;
  }
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find(':') == std::string_view::npos) return std::nullopt;
  std::string plain(text);
  in6_addr address{};
  if (inet_pton(AF_INET6, plain.c_str(), &address) != 1) return std::nullopt;
  std::uint32_t scope = 0;
  if (!zone.empty()) {
    std::string name(zone);
    scope = if_nametoindex(name.c_str());
    if (scope == 0) {
      // A numeric zone is an interface index.
      for (char ch : zone) {
        if (ch < '0' || ch > '9') return std::nullopt;
        scope = scope * 10 + static_cast<std::uint32_t>(ch - '0');
        if (scope > 0xFFFFFF) return std::nullopt;
      }
    }
  }
  return V6(address.s6_addr, port, scope);
}

Endpoint Endpoint::AnyV4(std::uint16_t port) {
  const unsigned char any[4] = {};
  return V4(any, port);
}

Endpoint Endpoint::AnyV6(std::uint16_t port) {
  const unsigned char any[16] = {};
  return V6(any, port);
}

}  // namespace tapline::platform
