// Plain POSIX peers for tests over loopback: listeners, clients, and helpers to pump the event loop
// until a condition holds (bounded in time).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/endpoint.h"
#include "platform/event_loop.h"

namespace tapline::test {

// A blocking TCP listener on 127.0.0.1; port 0 picks a free one.
int ListenLoopback(std::uint16_t& port, int backlog = 16);
// A blocking client connected to 127.0.0.1:port, or -1.
int ConnectLoopback(std::uint16_t port);
// The same on ::1.
int ListenLoopback6(std::uint16_t& port, int backlog = 16);
int ConnectLoopback6(std::uint16_t port);
// A listener on 127.0.0.1 that never accepts, its queue filled by the connections in `fillers` (the
// caller closes them): the system drops every further SYN, so a connect to it waits and times out.
// -1 when the queue could not be filled.
int ListenFullLoopback(std::uint16_t& port, std::vector<int>& fillers);
// A blocking accept with a time limit; -1 when nobody came.
int AcceptWithin(int listener, int milliseconds);
// A port that nothing listens on right now.
std::uint16_t UnusedPort();

// Writes all of `data` (blocking).
bool SendAll(int fd, const std::string& data);
// Reads until `count` bytes have come, the peer closed, or the time is up.
std::string ReceiveUpTo(int fd, std::size_t count, int milliseconds);
// Reads until the peer closes or the time is up.
std::string ReceiveAll(int fd, int milliseconds);
// Resets the connection (SO_LINGER 0, then close).
void Reset(int fd);
void SetNonBlocking(int fd);

// A numeric address as an endpoint (port 0), for resolvers that tests inject.
platform::Endpoint Address(const std::string& text);

// Takes turns of the loop until `done` answers true or `milliseconds` have passed; answers `done()`.
bool PumpUntil(platform::EventLoop& loop, const std::function<bool()>& done, int milliseconds = 5000);
// Takes turns for a while (to show that nothing more arrives).
void PumpFor(platform::EventLoop& loop, int milliseconds);

}  // namespace tapline::test
