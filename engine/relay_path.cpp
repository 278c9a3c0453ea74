// The data path: read what a side sent, log it, forward it or keep it until the other side can take it,
// and end the connection when a side goes. An orderly end of one side's stream is passed on once
// everything before it has been delivered, so no byte is lost to a side that closes first. A side whose
// bytes wait above the mark for the other is not read until they drain: TCP then slows the sender.
#include <algorithm>
#include <utility>

#include "engine/relay.h"
#include "log/text_lines.h"

namespace tapline::engine {

using namespace winsock;

namespace {

// The two directions of a connection differ only in which buffer, sockets, counters and words they use.
struct Side {
  TransferBuffer& buffer;
  std::int32_t& uncounted;
  bool& ended;
  bool& held;
  bool& closeHeld;
  SOCKET from;
  SOCKET to;
  std::int64_t& buffered;
  std::int64_t& total;
  Counter bufferedLabel;
  Counter totalLabel;
};

// Past the total mark, a side whose buffer is empty still reads this much at a time: what it forwards at
// once costs nothing, and what has to wait is small, so the total holds within a step per side.
constexpr std::uint32_t TotalStep = 16 * 1024;

Side SideOf(Relay& r, Connection* c, bool fromClient) {
  if (fromClient) {
    return Side{c->ToServer, c->ToServerUncounted, c->ClientEnded, c->ClientHeld, c->ClientCloseHeld,
                c->ClientSocket, c->ServerSocket, r.ClientToServerBuffered, r.ClientToServerTotal,
                Counter::ClientToServerBuffered, Counter::ClientToServerTotal};
  }
  return Side{c->ToClient, c->ToClientUncounted, c->ServerEnded, c->ServerHeld, c->ServerCloseHeld,
              c->ServerSocket, c->ClientSocket, r.ServerToClientBuffered, r.ServerToClientTotal,
              Counter::ServerToClientBuffered, Counter::ServerToClientTotal};
}

}  // namespace

bool Relay::ClassifyBlock(Connection* c, bool fromClient, std::int32_t old, std::int32_t& n, Block& block) {
  if (c->TextMode == 0) return true;
  TransferBuffer& buffer = fromClient ? c->ToServer : c->ToClient;
  std::int32_t& continued = fromClient ? c->ToServerContinued : c->ToClientContinued;
  block.continued = continued;
  std::int32_t whole = log::ScanTextLines(buffer.Data + old, n, block.incomplete, continued);
  continued = whole == n ? log::CutCharacterBytes(buffer.Data + old, n) : 0;
  if (c->TextMode == -1) c->TextMode = whole == n ? 1 : 0;
  if (fromClient) {
    if (whole == n) {
      std::int32_t length = RewriteHostHeader(heap_, c->ToServer, hostLine_, c->HttpRequestSeen, old, n, block.host);
      if (length == -2) return false;
      block.textBytes = length;
      n = length;
    } else {
      block.textBytes = 0;
      block.incomplete = false;
    }
  } else {
    block.textBytes = whole == n ? n : KeepResponseHeader(c->HttpRequestSeen, buffer.Data + old, whole);
    if (whole != n) block.incomplete = false;
    c->HttpRequestSeen = 0;
  }
  return true;
}

void Relay::ReportData(Connection* c, bool fromClient, const char* bytes, std::int32_t length, const Block& block,
                       log::TimePoint readAt) {
  log::DataRead event{c->Number,
                      fromClient ? log::Direction::ClientToServer : log::Direction::ServerToClient,
                      bytes,
                      length,
                      readAt,
                      block.textBytes,
                      block.incomplete,
                      block.host.at,
                      block.host.length,
                      block.continued};
  for (log::TrafficSink* sink : sinks_) sink->Data(event);
}

bool Relay::Backlogged(const Connection* c, bool fromClient) const {
  const TransferBuffer& buffer = fromClient ? c->ToServer : c->ToClient;
  if (buffer.Length >= HighMark) return true;
  return buffer.Length > 0 && ClientToServerBuffered + ServerToClientBuffered >= TotalMark;
}

void Relay::Lend(TransferBuffer& buffer) {
  if (buffer.Data != nullptr) return;
  if (spare_.Data != nullptr) {
    buffer.Data = std::exchange(spare_.Data, nullptr);
    buffer.Capacity = std::exchange(spare_.Capacity, 0);
    return;
  }
  // Without a block the read asks what waits and makes room for it.
  ResizeBuffer(heap_, buffer, FirstBlock);
}

void Relay::TakeBack(TransferBuffer& buffer) {
  if (buffer.Length != 0 || buffer.Data == nullptr) return;
  if (spare_.Data == nullptr) {
    spare_.Data = buffer.Data;
    spare_.Capacity = buffer.Capacity;
  } else {
    heap_.Free(buffer.Data);
  }
  buffer.Data = nullptr;
  buffer.Capacity = 0;
}

std::int32_t Relay::ReadFrom(Connection* c, bool fromClient, std::uint32_t most) {
  if (c->Closing) return 0;
  // An empty side reads into the spare block and usually forwards everything at once; only a side
  // whose bytes have to wait keeps a block of its own.
  TransferBuffer& buffer = fromClient ? c->ToServer : c->ToClient;
  Lend(buffer);
  std::int32_t n = ReadAndForward(c, fromClient, most);
  if (!c->Closing) TakeBack(buffer);
  return n;
}

std::int32_t Relay::ReadAndForward(Connection* c, bool fromClient, std::uint32_t most) {
  Side side = SideOf(*this, c, fromClient);
  if (side.ended || c->Closing) return 0;  // nothing more can come after a side's end
  if (Backlogged(c, fromClient)) {
    // Left unanswered, the FD_READ stops the socket layer from watching this side until a read.
    Hold(c, fromClient, false);
    return 0;
  }
  // A read never takes more than the room left below the mark, nor much more than the room left below
  // the total mark.
  std::uint32_t room = static_cast<std::uint32_t>(HighMark - std::min(side.buffer.Length, HighMark));
  std::int64_t totalRoom = TotalMark - (ClientToServerBuffered + ServerToClientBuffered);
  room = static_cast<std::uint32_t>(std::min<std::int64_t>(room, std::max<std::int64_t>(totalRoom, TotalStep)));
  most = std::min(most, std::max<std::uint32_t>(room, 1));
  std::int32_t client = c->Number;

  std::int32_t old = side.buffer.Length;
  ReadResult r = ReadAvailable(heap_, ws_, side.buffer, side.from, most);
  switch (r.outcome) {
    case ReadResult::Nothing:
      return 0;
    case ReadResult::PeerClosed:
      // What the transport noted about its end (a TLS stream cut short) belongs before the end itself;
      // its own event may come only after the connection is gone.
      TransportNotes(c, side.from);
      Log.LogMessage(client, fromClient ? "Client disconnected" : "Server disconnected");
      StreamEnded(c, fromClient);
      return 0;
    case ReadResult::Failed: {
      int code = ws_.WSAGetLastError();
      TransportNotes(c, side.from);
      Log.LogInform(client, fromClient ? "Could not read data from Client" : "Could not read data from Server");
      EndConnection(c, fromClient ? End::ClientGone : End::ServerGone, ReasonFor(c, side.from, code));
      return 0;
    }
    case ReadResult::OutOfMemory:
      Log.LogInform(client, "Out of memory");
      EndConnection(c, fromClient ? End::ClientGone : End::ServerGone);
      return 0;
    case ReadResult::Bytes:
      break;
  }
  log::TimePoint readAt = Log.Now();
  std::int32_t length = r.count;
  Block block;
  if (!ClassifyBlock(c, fromClient, old, length, block)) {
    side.uncounted += side.buffer.Length - old;
    Log.LogInform(client, "Out of memory");
    EndConnection(c, fromClient ? End::ClientGone : End::ServerGone);
    return 0;
  }
  // Behind older bytes (or before the server is connected) a block only waits its turn.
  if (old > 0 || (fromClient && !c->ServerConnected)) {
    ReportData(c, fromClient, side.buffer.Data + old, length, block, readAt);
    Count(side.bufferedLabel, side.buffered, length);
    return r.count;
  }
  int sent = SendWaiting(ws_, side.buffer, side.to);
  int code = ws_.WSAGetLastError();
  ReportData(c, fromClient, side.buffer.Data, length, block, readAt);
  if (sent < 0) {
    side.buffered += length;  // shown by the teardown that follows
    Log.LogInform(client, fromClient ? "Could not send data to Server" : "Could not send data to Client");
    EndConnection(c, fromClient ? End::ServerGone : End::ClientGone, ReasonFor(c, side.to, code));
    return 0;
  }
  if (length - sent > 0) Count(side.bufferedLabel, side.buffered, length - sent);
  if (sent == 0) return r.count;
  Count(side.totalLabel, side.total, sent);
  DropFront(heap_, side.buffer, sent);
  return r.count;
}

int Relay::ReasonFor(Connection* c, SOCKET s, int code) {
  // A TLS alert has no error number of its own: its words say more than "Unhandled error".
  std::string reason = ws_.StreamFailure(s);
  if (reason.empty()) return code;
  LogInformLines(c->Number, reason);
  return 0;
}

void Relay::FinishStream(Connection* c, bool fromClient) {
  Side side = SideOf(*this, c, fromClient);
  // Read what is left as the backlog allows; the memory may also run short on the way: a read that could
  // not take everything is followed by another, so no byte waiting in the socket is forgotten.
  for (;;) {
    if (Backlogged(c, fromClient)) {
      Hold(c, fromClient, true);
      return;
    }
    std::int32_t n = ReadFrom(c, fromClient, ReadAll);
    if (c->Closing || side.ended) return;
    if (n == 0) break;
    u_long waiting = 0;
    if (ws_.ioctlsocket(side.from, FIONREAD, &waiting) != 0 || waiting == 0) break;
  }
  TransportNotes(c, side.from);
  // An orderly end is no trouble: it is drawn as the connection's other progress.
  Log.LogMessage(c->Number, fromClient ? "Client disconnected" : "Server disconnected");
  StreamEnded(c, fromClient);
}

void Relay::FlushTo(Connection* c, bool toClient) {
  if (c->Closing) return;
  bool fromClient = !toClient;
  Side side = SideOf(*this, c, fromClient);
  if (side.buffer.Length > 0) {
    int r = SendAndDrop(heap_, ws_, side.buffer, side.to);
    if (r == -1) {
      int code = ws_.WSAGetLastError();
      Log.LogInform(c->Number, toClient ? "Could not send data to Client" : "Could not send data to Server");
      EndConnection(c, toClient ? End::ClientGone : End::ServerGone, ReasonFor(c, side.to, code));
      return;
    }
    Count(side.totalLabel, side.total, r);
    Count(side.bufferedLabel, side.buffered, -r);
    TakeBack(side.buffer);  // an idle side holds no block
  }
  PassOnEnds(c);
  if (!c->Closing) ResumeIfDrained(c, fromClient);
}

void Relay::StreamEnded(Connection* c, bool fromClient) {
  (fromClient ? c->ClientEnded : c->ServerEnded) = true;
  PassOnEnds(c);
}

void Relay::PassOnEnds(Connection* c) {
  if (c->Closing) return;
  std::int32_t client = c->Number;
  // An end is passed on only after everything the side sent before it has been delivered.
  if (c->ClientEnded && c->ServerConnected && !c->ServerSendShut && c->ToServer.Length == 0) {
    ws_.shutdown(c->ServerSocket, SD_SEND);
    c->ServerSendShut = true;
    for (log::TrafficSink* sink : sinks_) sink->StreamEnded(client, log::Direction::ClientToServer, Log.Now());
  }
  if (c->ServerEnded && !c->ClientSendShut && c->ToClient.Length == 0) {
    ws_.shutdown(c->ClientSocket, SD_SEND);
    c->ClientSendShut = true;
    for (log::TrafficSink* sink : sinks_) sink->StreamEnded(client, log::Direction::ServerToClient, Log.Now());
  }
  // Both directions have ended and everything has been delivered.
  if (c->ServerSendShut && c->ClientSendShut) EndConnection(c, End::Orderly);
}

void Relay::Hold(Connection* c, bool fromClient, bool close) {
  Side side = SideOf(*this, c, fromClient);
  // Held below its own mark: the total is what holds it, and a fall below the total must look for it.
  if (side.buffer.Length < HighMark) totalExceeded_ = true;
  if (!side.held) {
    side.held = true;
    ++heldCount_;
  }
  if (close) side.closeHeld = true;
}

void Relay::ResumeIfDrained(Connection* c, bool fromClient) {
  Side side = SideOf(*this, c, fromClient);
  bool belowTotal = ClientToServerBuffered + ServerToClientBuffered < TotalMark;
  if (side.held && side.buffer.Length < LowMark) {
    if (belowTotal) {
      Resume(c, fromClient);
    } else {
      // Drained, but held by the total now: only a fall below the total will look for it again.
      totalExceeded_ = true;
    }
  }
  if (totalExceeded_ && belowTotal && !c->Closing) {
    totalExceeded_ = false;
    ResumeAllBelowTotal();
  }
}

void Relay::Resume(Connection* c, bool fromClient) {
  Side side = SideOf(*this, c, fromClient);
  side.held = false;
  --heldCount_;
  if (side.closeHeld) {
    side.closeHeld = false;
    FinishStream(c, fromClient);
  } else {
    // A read step re-arms the FD_READ that was left unanswered.
    ReadFrom(c, fromClient);
  }
}

void Relay::ResumeAllBelowTotal() {
  for (Connection* c = Connections; c != nullptr && heldCount_ > 0;) {
    Connection* next = c->Next;
    for (bool fromClient : {true, false}) {
      if (c->Closing) break;
      bool held = fromClient ? c->ClientHeld : c->ServerHeld;
      const TransferBuffer& buffer = fromClient ? c->ToServer : c->ToClient;
      if (held && buffer.Length < HighMark) {
        if (ClientToServerBuffered + ServerToClientBuffered < TotalMark) {
          Resume(c, fromClient);
        } else {
          totalExceeded_ = true;  // the total rose again on the way: the next fall below it looks again
          return;
        }
      }
    }
    c = next;
  }
}

}  // namespace tapline::engine
