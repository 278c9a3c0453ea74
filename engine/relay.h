// The relay: start and stop of a relay run, the listener and the remote lookup, one connection per
// client, the data path in both directions with the Host rewrite, and the five counters. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/connection.h"
#include "engine/host_rewrite.h"
#include "engine/relay_options.h"
#include "engine/relay_window.h"
#include "log/capture_file.h"
#include "log/export_sink.h"
#include "log/traffic_log.h"
#include "platform/event_loop.h"
#include "platform/heap.h"
#include "platform/tls_context.h"
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

  // Relay run. StartRelay throws ValidationError when an option is refused (nothing else has happened then).
  void StartRelay(const RelayOptions& options);
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
  std::vector<platform::Endpoint> RemoteHostEntry;  // the remote's addresses, in the order they are tried
  std::vector<platform::Endpoint> LocalHostEntry;   // the machine's own addresses
  winsock::HANDLE ListenLookupHandle = 0;           // the lookup of a listening address given as a name
  std::vector<platform::Endpoint> ListenEntry;      // the address to listen on; empty for every interface
  std::uint16_t RemotePort = 0;
  Connection* Connections = nullptr;
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

  // How sockets carry their bytes (TLS on either side); plain TCP without a factory, or where it answers null.
  void SetTransports(std::unique_ptr<platform::TransportFactory> factory) { transports_ = std::move(factory); }

  // Whatever else records traffic (the capture file), after the log; not owned. Main thread only.
  void AddSink(log::TrafficSink* sink) { sinks_.push_back(sink); }
  void RemoveSink(log::TrafficSink* sink);

  // Back-pressure: a side is not read while what it sent waits at or above HighMark for the other side,
  // and is read again once that falls below LowMark; no backlogged side is read while all connections
  // together hold TotalMark or more. The kernel's socket buffers already hold megabytes of a receiver's
  // backlog, so a side keeps little above them; the mark is also the most one read takes, and 128 KiB
  // measured as fast as 64 or 256 KiB (1 MiB, with reads twice as large, was up to a fifth faster, but
  // held 6.6 times a production relay's memory behind 100 receivers that never read).
  std::int32_t HighMark = 128 * 1024;
  std::int32_t LowMark = 64 * 1024;
  std::int64_t TotalMark = std::int64_t{256} << 20;

 private:
  // Start and stop.
  void ValidateOptions(const RelayOptions& options);
  int OpenLocalPort();
  winsock::SOCKET CreateListener(std::uint16_t& port);
  void RemoteLookupCompleted(int error);
  void ListenLookupCompleted(int error);
  bool RelaysToItself() const;
  void UndoStart();
  // The sinks' end of turn; a capture file that could not be written is closed and says so once.
  void FlushSinks(bool waitForCapture = false);
  void CloseCapture();
  // The exports (-split, -json): made with the start's checks, closed at the stop.
  void OpenExports(const RelayOptions& options);
  void CloseExports();
  void SetRunningState(bool running);

  // Connections.
  void AcceptClient();
  bool ConnectToServer(Connection* c);
  // The server side of a connection whose client has completed its handshake.
  void OpenServerSide(Connection* c);
  // A connect to the remote still under way when the run's connect timeout is up fails as timed out.
  void StartConnectTimeout(Connection* c);
  void ConnectCompleted(winsock::SOCKET s, int error);
  void SetConnectionOptions(winsock::SOCKET s);
  void CloseEvent(Connection* c, bool fromClient, int error);
  void TransportNotes(Connection* c, winsock::SOCKET s);
  // A transport's failure, one inform line for each of its lines.
  void LogInformLines(std::int32_t client, const std::string& text);
  // Logs the transport's own reason for a failed read or send on `s` and answers 0 for the teardown;
  // without one, answers `code`, whose text the teardown logs.
  int ReasonFor(Connection* c, winsock::SOCKET s, int code);

  // The data path. A connection that ends on the way is marked Closing; callers look there.
  struct Block {
    std::int32_t textBytes = 0;
    bool incomplete = false;
    std::int32_t continued = 0;  // leading bytes that finish the previous block's last character
    HostLine host;
  };
  bool ClassifyBlock(Connection* c, bool fromClient, std::int32_t old, std::int32_t& n, Block& block);
  // Reads a step (at most `most`, and never past the side's mark) and forwards or keeps it; answers the
  // bytes read. An FD_READ that finds the side backlogged is held back instead.
  std::int32_t ReadFrom(Connection* c, bool fromClient, std::uint32_t most = ReadStep);
  std::int32_t ReadAndForward(Connection* c, bool fromClient, std::uint32_t most);
  // An empty buffer borrows the spare block for a read, and gives it back (or frees it) once empty again.
  void Lend(TransferBuffer& buffer);
  void TakeBack(TransferBuffer& buffer);
  // An orderly FD_CLOSE: what is left is read as the backlog allows, then the end is passed on.
  void FinishStream(Connection* c, bool fromClient);
  void FlushTo(Connection* c, bool toClient);
  void StreamEnded(Connection* c, bool fromClient);
  void PassOnEnds(Connection* c);
  void ReportData(Connection* c, bool fromClient, const char* bytes, std::int32_t length, const Block& block,
                  log::TimePoint readAt);

  // Back-pressure.
  bool Backlogged(const Connection* c, bool fromClient) const;
  void Hold(Connection* c, bool fromClient, bool close);
  void ResumeIfDrained(Connection* c, bool fromClient);
  void Resume(Connection* c, bool fromClient);
  void ResumeAllBelowTotal();

  // The one way a connection ends: sockets closed, lines logged and counters changed as `how` says, the
  // sinks told, and the connection unlisted; its memory is freed by FreeEnded at the end of the event.
  enum class End {
    Orderly,      // both directions ended in order and everything was delivered
    ServerGone,   // the server side failed (or closed with an error): what waits for the client is sent
    ClientGone,   // the client side failed: what waits for the server is sent
    SetupFailed,  // the server connect failed, or the connection could not be set up
    Stopped,      // the relay run stops
  };
  void EndConnection(Connection* c, End how, int errorCode = 0);
  void FreeEnded();

  void Count(Counter counter, std::int64_t& field, std::int64_t delta);
  void ShowAllCounts();
  void GiveBackOnceShown(int triesLeft);
  // The next connection's number: 1, 2, 3, ... from each start.
  std::int32_t NextNumber();
  std::vector<log::TrafficSink*>& Sinks() { return sinks_; }

  RelayWindow& window_;
  winsock::Winsock& ws_;
  platform::EventLoop& loop_;
  platform::Heap& heap_;
  // The options the run was started with; the fields stay read-only during a run.
  RelayOptions options_;
  // The Host line requests get, CR LF included; empty when requests keep theirs.
  std::string hostLine_;
  std::unique_ptr<platform::TransportFactory> transports_;
  // The TLS contexts the run was checked and started with; null when neither side uses TLS.
  std::shared_ptr<const platform::TlsContext> tls_;
  // The log first, then the sinks added.
  std::vector<log::TrafficSink*> sinks_;
  // The run's capture file, one of the sinks; null without one.
  std::unique_ptr<log::CaptureFile> capture_;
  // The block an empty side reads into; whichever side has to keep bytes keeps the block.
  TransferBuffer spare_;
  // The run's exports, each one of the sinks.
  std::vector<std::unique_ptr<log::ExportSink>> exports_;
  // Ended connections, freed at the end of the event that ended them.
  std::vector<Connection*> ended_;
  // Sides held back by the marks, so that a fall below the total mark knows whether to look for them.
  std::int64_t heldCount_ = 0;
  // A side was held by the total mark alone; cleared when the total falls below it again.
  bool totalExceeded_ = false;
  // Beside the list: which listed connection owns a socket number, so that finding one does not walk
  // ten thousand records. Every listed connection's two sockets are in it, and nothing else.
  std::unordered_map<winsock::SOCKET, Connection*> index_;
  // The most connections open at once since memory was last handed back to the system.
  std::int64_t peakSinceGiveBack_ = 0;
  // Scheduled calls hold this weakly, so that one due after the relay has gone does nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Numbers the connects to the remote, so that a timeout finds the connect it was set for.
  std::uint64_t connectAttempts_ = 0;
  // The number the last accepted client got in this run; 0 before the first.
  std::int32_t lastNumber_ = 0;
  // Out of descriptors: said once, until an accept succeeds again.
  bool acceptExhausted_ = false;
};

}  // namespace tapline::engine
