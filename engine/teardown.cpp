// The one way a connection ends, whatever ended it: its sockets closed, its lines logged and the counters
// changed in the order each way of ending has, the sinks told, the connection unlisted; its memory is
// freed once the event that ended it is over, so no caller touches freed memory.
#include "engine/relay.h"

namespace tapline::engine {

using namespace winsock;

void Relay::EndConnection(Connection* c, End how, int errorCode) {
  if (c->Closing) return;
  c->Closing = true;
  std::int32_t client = c->Number;
  // What waits in a buffer stops counting as buffered; bytes whose handling ran out of memory never did.
  auto uncount = [&](TransferBuffer& buffer, std::int32_t uncounted, Counter counter, std::int64_t& field) {
    if (buffer.Length > 0) Count(counter, field, -(buffer.Length - uncounted));
  };
  // What waits for the side that is still there gets one last try.
  auto sendRest = [&](TransferBuffer& buffer, SOCKET to, Counter counter, std::int64_t& field) {
    int sent = SendWaiting(ws_, buffer, to);
    if (sent > 0) Count(counter, field, sent);
  };

  switch (how) {
    case End::Orderly:
      ws_.closesocket(c->ServerSocket);
      Log.LogMessage(client, "Disconnected from Server");
      ws_.closesocket(c->ClientSocket);
      Log.LogMessage(client, "Disconnected from Client");
      break;
    case End::ServerGone:
      uncount(c->ToServer, c->ToServerUncounted, Counter::ClientToServerBuffered, ClientToServerBuffered);
      ReleaseBuffer(heap_, c->ToServer);
      ws_.closesocket(c->ServerSocket);
      if (errorCode != 0) Log.LogInform(client, WinsockErrorText(errorCode));
      if (c->ToClient.Length > 0) {
        sendRest(c->ToClient, c->ClientSocket, Counter::ServerToClientTotal, ServerToClientTotal);
        uncount(c->ToClient, c->ToClientUncounted, Counter::ServerToClientBuffered, ServerToClientBuffered);
      }
      ws_.closesocket(c->ClientSocket);
      Log.LogMessage(client, "Disconnected from Client");
      break;
    case End::ClientGone:
      if (errorCode != 0) Log.LogInform(client, WinsockErrorText(errorCode));
      ws_.closesocket(c->ClientSocket);
      if (c->ServerConnected) {
        uncount(c->ToClient, c->ToClientUncounted, Counter::ServerToClientBuffered, ServerToClientBuffered);
        sendRest(c->ToServer, c->ServerSocket, Counter::ClientToServerTotal, ClientToServerTotal);
        uncount(c->ToServer, c->ToServerUncounted, Counter::ClientToServerBuffered, ClientToServerBuffered);
        Log.LogMessage(client, "Disconnected from Server");
      } else {
        uncount(c->ToServer, c->ToServerUncounted, Counter::ClientToServerBuffered, ClientToServerBuffered);
      }
      ws_.closesocket(c->ServerSocket);
      break;
    case End::SetupFailed:
      ws_.closesocket(c->ServerSocket);
      uncount(c->ToServer, c->ToServerUncounted, Counter::ClientToServerBuffered, ClientToServerBuffered);
      ws_.closesocket(c->ClientSocket);
      Log.LogMessage(client, "Disconnected from Client");
      break;
    case End::Stopped:
      // The run's counters are set to zero as a whole afterwards.
      ws_.closesocket(c->ClientSocket);
      Log.LogMessage(client, "Disconnected from Client");
      ws_.closesocket(c->ServerSocket);
      if (c->ServerConnected) Log.LogMessage(client, "Disconnected from Server");
      break;
  }
  ReleaseBuffer(heap_, c->ToServer);
  ReleaseBuffer(heap_, c->ToClient);
  if (c->ClientHeld) --heldCount_;
  if (c->ServerHeld) --heldCount_;
  for (log::TrafficSink* sink : sinks_) sink->Closed(client, how == End::Orderly, Log.Now());

  index_.erase(c->ClientSocket);
  index_.erase(c->ServerSocket);
  if (c->Next != nullptr) c->Next->Prev = c->Prev;
  if (c->Prev != nullptr) {
    c->Prev->Next = c->Next;
  } else {
    Connections = c->Next;
  }
  ended_.push_back(c);
  if (how == End::Stopped) return;
  Count(Counter::Connections, ConnectionCount, -1);
  // The last of many connections is gone: what they held goes back to the system, not just to malloc.
  // Not after every short-lived one: that would cost the churn of single connections dearly.
  if (ConnectionCount == 0 && peakSinceGiveBack_ >= 64) {
    peakSinceGiveBack_ = 0;
    GiveBackOnceShown(20);
  }
}

void Relay::FreeEnded() {
  for (Connection* c : ended_) heap_.Free(c);
  ended_.clear();
}

}  // namespace tapline::engine
