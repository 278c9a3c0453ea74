// The relay: start and stop of a relay run, the listener and the remote lookup, one connection per
// client, the data path in both directions with the Host rewrite, and the five counters. Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "engine/connection.h"
#include "engine/relay_window.h"
#include "log/traffic_log.h"
#include "platform/event_loop.h"
#include "platform/heap.h"
#include "platform/winsock.h"

namespace tapline::engine {

// The message every socket event and lookup completion arrives as.
inline constexpr unsigned SocketEventMessage = 0x8000;

class Relay {
 public:
  Relay(RelayWindow& window, winsock::Winsock& ws, platform::EventLoop& loop, platform::Heap& heap);
  ~Relay();  // closes what is open without touching the window; the display workers are abandoned
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Relay run. StartRelay throws ValidationError when a field is refused (nothing else has happened then).
  void StartRelay();
  void StopRelay();
  // Stop, Pause, Resume and Reset as the user asks for them. `discard` drops lines not yet shown.
  void StopByUser(bool discard);
  void Pause();
  void Resume();
  void Reset();
  // Clear: empties the view and, during a relay run, drops what is queued for it.
  void Clear();

  // The start-up lookup of the machine's own name; 0, or the error number when it could not be started.
  int StartLocalLookup();

  // Every SocketEventMessage.
  void HandleSocketEvent(platform::WPARAM wParam, platform::LPARAM lParam);

  // RelayState, in its order (the log file and the display queue live in Log).
  winsock::HANDLE RemoteLookupHandle = 0;
  winsock::HANDLE LocalLookupHandle = 0;
  alignas(8) char RemoteHostEntry[winsock::MAXGETHOSTSTRUCT] = {};
  alignas(8) char LocalHostEntry[winsock::MAXGETHOSTSTRUCT] = {};
  std::uint16_t RemotePort = 0;
  Connection* Connections = nullptr;
  std::uint32_t RemoteAddress = 0;
  winsock::SOCKET ListenSocket = winsock::INVALID_SOCKET;
  std::uint8_t Started = 0;
  std::uint8_t Paused = 0;
  std::int32_t HexOnly = 0;
  std::int64_t ConnectionCount = 0;
  std::int64_t ServerToClientTotal = 0;
  std::int64_t ClientToServerTotal = 0;
  std::int64_t ServerToClientBuffered = 0;
  std::int64_t ClientToServerBuffered = 0;
  std::uint16_t LocalPort = 0;

  log::TrafficLog Log;

  Connection* FindConnection(winsock::SOCKET s) const;

 private:
  // Start and stop.
  void ValidateFields();
  int OpenLocalPort();
  winsock::SOCKET CreateListener(std::uint16_t& port);
  void RemoteLookupCompleted(int error);
  void UndoStart();
  void SetRunningState(bool running);

  // Connections.
  void AcceptClient();
  int ConnectToServer(Connection* c);
  void ConnectCompleted(winsock::SOCKET s, int error);
  void SetupTeardown(Connection* c);
  void SetConnectionOptions(winsock::SOCKET s);
  void RemoveConnection(Connection* c);
  void CloseEvent(Connection* c, winsock::SOCKET s, int error);

  // The data path.
  struct Block {
    log::LogRecord* head = nullptr;
    log::LogRecord* tail = nullptr;
    std::int32_t textBytes = 0;
    bool incomplete = false;
  };
  bool ClassifyBlock(Connection* c, bool fromClient, std::int32_t old, std::int32_t& n, Block& block);
  // `most` as for ReadAvailable: one FD_READ takes a step; the read on FD_CLOSE takes all that is left.
  int ReadFrom(Connection* c, bool fromClient, std::uint32_t most);
  int ReadFromClient(Connection* c, std::uint32_t most = ReadStep);
  int ReadFromServer(Connection* c, std::uint32_t most = ReadStep);
  int FlushToServer(Connection* c);
  int FlushToClient(Connection* c);
  void CloseAfterClientGone(Connection* c, int errorCode);
  void CloseAfterServerGone(Connection* c, int errorCode);
  int ClientStreamEnded(Connection* c);
  int ServerStreamEnded(Connection* c);
  int PassOnEnds(Connection* c);

  void Count(Counter counter, std::int64_t& field, std::int64_t delta);
  void ShowAllCounts();
  std::int32_t Sock(winsock::SOCKET s) const { return static_cast<std::int32_t>(s); }

  RelayWindow& window_;
  winsock::Winsock& ws_;
  platform::EventLoop& loop_;
  platform::Heap& heap_;
  // The host and port texts as they stood at the start; the fields stay read-only during a run.
  std::string remoteHostText_;
  std::string remotePortText_;
  // Beside the list: which listed connection owns a socket number, so that finding one does not walk
  // ten thousand records. Every listed connection's two sockets are in it, and nothing else.
  std::unordered_map<winsock::SOCKET, Connection*> index_;
  // The most connections open at once since memory was last handed back to the system.
  std::int64_t peakSinceGiveBack_ = 0;
  // Out of descriptors: said once, until an accept succeeds again.
  bool acceptExhausted_ = false;
};

}  // namespace tapline::engine
