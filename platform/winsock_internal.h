// Private state of the socket layer, shared by its socket and lookup halves.
// Not for use outside platform/.
// Main thread only, but for LookupBoard, which the lookup threads share under its mutex.
#pragma once

#include <unistd.h>

#include <memory>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/winsock.h"

namespace tapline::winsock {

struct Winsock::SocketState {
  enum class Kind { Fresh, Listening, Connecting, Connected };
  int fd = -1;
  int family = 0;        // the system's address family the socket was made with
  std::uint64_t id = 0;  // tells a socket from a later one that got the same number
  Kind kind = Kind::Fresh;
  long mask = 0;          // events asked for by WSAAsyncSelect
  unsigned message = 0;   // the message they arrive as
  bool selected = false;
  bool readArmed = true;  // FD_READ / FD_ACCEPT may be posted; re-armed by recv / accept
  // While an FD_READ / FD_ACCEPT waits for its recv / accept, readiness stays watched: the call usually
  // comes before the next poll, and not touching epoll saves two system calls a read. Readiness that does
  // come back meanwhile clears this, and only then is it unwatched.
  bool readLingers = false;
  bool writeArmed = false;  // FD_WRITE is due when the socket can take more
  bool closePosted = false;  // FD_CLOSE (or a failed FD_CONNECT) posted: no more FD_READ or FD_CLOSE
  int closeError = 0;         // the error FD_CLOSE carried
  bool watched = false;
  bool handshakeExpired = false;  // the handshake did not complete within the limit
  std::uint32_t interest = 0;  // epoll events now watched
  // Once connected or accepted: the shared plain TCP transport, or `own`.
  platform::Transport* transport = nullptr;
  std::unique_ptr<platform::Transport> own;        // a transport with a state of its own (TLS)
  std::vector<platform::TransportNote> notes;      // waiting for TakeTransportNotes
};

// Lookups in flight. The helper threads write results here; the main thread takes them, so a cancelled
// lookup's result is simply never taken.
struct Winsock::LookupBoard {
  struct Result {
    HANDLE task;
    int error;
    std::vector<platform::Endpoint> addresses;
  };
  std::mutex mutex;
  int wakeFd = -1;        // eventfd the loop watches; signalled when a result is posted
  bool closed = false;    // the socket layer is gone: results are dropped
  std::vector<Result> done;

  ~LookupBoard() {
    if (wakeFd >= 0) ::close(wakeFd);
  }
};

struct Winsock::Lookup {
  HANDLE task;
  unsigned message;
  std::vector<platform::Endpoint>* addresses;
};

}  // namespace tapline::winsock
