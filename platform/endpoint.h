// An address of either family with its port, as the socket layer and its lookups hand it on, and its
// text forms. Plain values: any thread may make, copy and format them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tapline::platform {

struct Endpoint {
  // A sockaddr_in or sockaddr_in6 in the system's layout, kept opaque so that the system's socket
  // macros stay out of the engine and the log.
  alignas(8) unsigned char Address[128] = {};
  std::uint32_t Length = 0;  // 0 for no endpoint

  bool Empty() const { return Length == 0; }
  bool IsV6() const;  // an IPv6 address that is not an IPv4-mapped one
  bool IsV4() const;  // IPv4, also when written as IPv4-mapped IPv6
  std::uint16_t Port() const;
  void SetPort(std::uint16_t port);
  // The four address bytes (IsV4) or the sixteen (IsV6), in network order.
  const unsigned char* V4Bytes() const;
  const unsigned char* V6Bytes() const;
  std::uint32_t ScopeId() const;  // the IPv6 zone, 0 when none
  bool IsWildcard() const;        // 0.0.0.0 or ::
  bool IsLoopback() const;        // 127.0.0.0/8 or ::1

  // "127.0.0.1" or "::1" (with its zone, "fe80::1%eth0"); an IPv4-mapped address reads as IPv4.
  std::string AddressText() const;
  // "127.0.0.1:8080" or "[::1]:8080".
  std::string ToString() const;
  // The address as the Host line names it: IPv6 in brackets.
  std::string HostText() const;

  // The same address in the other's family when one is IPv4-mapped: equal addresses and ports.
  bool SameAs(const Endpoint& other) const;

  static Endpoint V4(const unsigned char bytes[4], std::uint16_t port);
  static Endpoint V6(const unsigned char bytes[16], std::uint16_t port, std::uint32_t scope = 0);
  // A numeric address in any of its written forms: dotted IPv4 ("a.b.c.d" only, no shortened forms),
  // IPv6 plain or in brackets, with an optional "%zone". Nothing when the text is no address.
  static std::optional<Endpoint> FromAddressText(std::string_view text, std::uint16_t port);
  static Endpoint AnyV4(std::uint16_t port);
  static Endpoint AnyV6(std::uint16_t port);
};

}  // namespace tapline::platform
