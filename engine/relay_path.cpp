// The data path: read what a side sent, log it, forward it or keep it until the other side can take it,
// and end the connection when a side goes. An orderly end of one side's stream is passed on once
// everything before it has been delivered, so no byte is lost to a side that closes first.
#include "engine/host_rewrite.h"
#include "engine/relay.h"
#include "log/text_lines.h"

namespace tapline::engine {

using namespace winsock;

bool Relay::ClassifyBlock(Connection* c, bool fromClient, std::int32_t old, std::int32_t& n, Block& block) {
  if (c->TextMode == 0) return true;
  TransferBuffer& buffer = fromClient ? c->ToServer : c->ToClient;
  std::int32_t whole =
      log::SplitTextLines(heap_, buffer.Data + old, n, block.head, block.tail, block.incomplete);
  if (whole < 0) return false;
  if (c->TextMode == -1) c->TextMode = whole == n ? 1 : 0;
  if (fromClient) {
    if (whole == n) {
      std::int32_t length = RewriteHostHeader(heap_, c->ToServer, remoteHostText_, remotePortText_, c->HttpRequestSeen,
                                              block.head, block.tail, old, n);
      if (length == -2) {
        log::FreeLogRecords(heap_, block.head);
        block.tail = nullptr;
        return false;
      }
      block.textBytes = length;
      n = length;
    } else {
      log::FreeLogRecords(heap_, block.head);
      block.tail = nullptr;
      block.textBytes = 0;
    }
  } else {
    if (whole == n) {
      block.textBytes = n;
    } else {
      block.textBytes = KeepResponseHeader(heap_, c->HttpRequestSeen, block.head, block.tail, buffer.Data + old, n, whole);
    }
    c->HttpRequestSeen = 0;
  }
  return true;
}

// The two directions of a connection differ only in which buffer, sockets, counters and words they use;
// one read step serves both.
int Relay::ReadFrom(Connection* c, bool fromClient, std::uint32_t most) {
  bool& ended = fromClient ? c->ClientEnded : c->ServerEnded;
  if (ended) return 0;  // nothing more can come after a side's end
  TransferBuffer& buffer = fromClient ? c->ToServer : c->ToClient;
  std::int32_t& uncounted = fromClient ? c->ToServerUncounted : c->ToClientUncounted;
  winsock::SOCKET from = fromClient ? c->ClientSocket : c->ServerSocket;
  winsock::SOCKET to = fromClient ? c->ServerSocket : c->ClientSocket;
  std::int64_t& buffered = fromClient ? ClientToServerBuffered : ServerToClientBuffered;
  std::int64_t& total = fromClient ? ClientToServerTotal : ServerToClientTotal;
  Counter bufferedLabel = fromClient ? Counter::ClientToServerBuffered : Counter::ServerToClientBuffered;
  Counter totalLabel = fromClient ? Counter::ClientToServerTotal : Counter::ServerToClientTotal;
  const char* direction = fromClient ? "Client to Server" : "Server to Client";
  std::int32_t client = Sock(c->ClientSocket);

  std::int32_t old = buffer.Length;
  int n = ReadAvailable(heap_, ws_, buffer, from, most);
  if (n > 0) {
    std::int32_t length = n;
    Block block;
    if (!ClassifyBlock(c, fromClient, old, length, block)) {
      uncounted += buffer.Length - old;
      n = -2;
    } else {
      // Behind older bytes (or before the server is connected) a block only waits its turn.
      if (old > 0 || (fromClient && !c->ServerConnected)) {
        Log.LogData(client, block.head, block.textBytes, block.incomplete, direction, length, buffer.Data + old,
                    block.tail);
        Count(bufferedLabel, buffered, length);
        return length;
      }
      int sent = SendWaiting(ws_, buffer, to);
      int code = ws_.WSAGetLastError();
      Log.LogData(client, block.head, block.textBytes, block.incomplete, direction, length, buffer.Data, block.tail);
      if (sent < 0) {
        buffered += length;  // shown by the teardown that follows
        if (fromClient) {
          Log.LogInform(client, "Could not send data to Server");
          CloseAfterServerGone(c, code);
        } else {
          Log.LogInform(client, "Could not send data to Client");
          CloseAfterClientGone(c, code);
        }
        return -1;
      }
      if (length - sent > 0) Count(bufferedLabel, buffered, length - sent);
      if (sent == 0) return 0;
      Count(totalLabel, total, sent);
      DropFront(heap_, buffer, sent);
      return sent;
    }
  }
  if (n == 0) return 0;
  if (n == -3) {
    Log.LogInform(client, fromClient ? "Client disconnected" : "Server disconnected");
    return fromClient ? ClientStreamEnded(c) : ServerStreamEnded(c);
  }
  int code = 0;
  if (n == -2) {
    Log.LogInform(client, "Out of memory");
  } else {
    code = ws_.WSAGetLastError();
    Log.LogInform(client, fromClient ? "Could not read data from Client" : "Could not read data from Server");
  }
  if (fromClient) {
    CloseAfterClientGone(c, code);
  } else {
    CloseAfterServerGone(c, code);
  }
  return -1;
}

int Relay::ReadFromClient(Connection* c, std::uint32_t most) { return ReadFrom(c, true, most); }

int Relay::ReadFromServer(Connection* c, std::uint32_t most) { return ReadFrom(c, false, most); }

int Relay::FlushToServer(Connection* c) {
  int r = 0;
  if (c->ToServer.Length > 0) {
    r = SendAndDrop(heap_, ws_, c->ToServer, c->ServerSocket);
    if (r == -1) {
      int code = ws_.WSAGetLastError();
      Log.LogInform(Sock(c->ClientSocket), "Could not send data to Server");
      CloseAfterServerGone(c, code);
      return -1;
    }
    Count(Counter::ClientToServerTotal, ClientToServerTotal, r);
    Count(Counter::ClientToServerBuffered, ClientToServerBuffered, -r);
  }
  if (PassOnEnds(c) < 0) return -1;
  return r;
}

int Relay::FlushToClient(Connection* c) {
  int r = 0;
  if (c->ToClient.Length > 0) {
    r = SendAndDrop(heap_, ws_, c->ToClient, c->ClientSocket);
    if (r == -1) {
      int code = ws_.WSAGetLastError();
      Log.LogInform(Sock(c->ClientSocket), "Could not send data to Client");
      CloseAfterClientGone(c, code);
      return -1;
    }
    Count(Counter::ServerToClientTotal, ServerToClientTotal, r);
    Count(Counter::ServerToClientBuffered, ServerToClientBuffered, -r);
  }
  if (PassOnEnds(c) < 0) return -1;
  return r;
}

int Relay::ClientStreamEnded(Connection* c) {
  c->ClientEnded = true;
  return PassOnEnds(c);
}

int Relay::ServerStreamEnded(Connection* c) {
  c->ServerEnded = true;
  return PassOnEnds(c);
}

int Relay::PassOnEnds(Connection* c) {
  // An end is passed on only after everything the side sent before it has been delivered.
  if (c->ClientEnded && c->ServerConnected && !c->ServerSendShut && c->ToServer.Length == 0) {
    ws_.shutdown(c->ServerSocket, SD_SEND);
    c->ServerSendShut = true;
  }
  if (c->ServerEnded && !c->ClientSendShut && c->ToClient.Length == 0) {
    ws_.shutdown(c->ClientSocket, SD_SEND);
    c->ClientSendShut = true;
  }
  if (!(c->ServerSendShut && c->ClientSendShut)) return 0;
  // Both directions have ended and everything has been delivered.
  std::int32_t client = Sock(c->ClientSocket);
  ws_.closesocket(c->ServerSocket);
  Log.LogMessage(client, "Disconnected from Server");
  ws_.closesocket(c->ClientSocket);
  Log.LogMessage(client, "Disconnected from Client");
  ReleaseBuffer(heap_, c->ToServer);
  ReleaseBuffer(heap_, c->ToClient);
  RemoveConnection(c);
  return -1;
}

void Relay::CloseAfterServerGone(Connection* c, int errorCode) {
  std::int32_t client = Sock(c->ClientSocket);
  if (c->ToServer.Length > 0) {
    Count(Counter::ClientToServerBuffered, ClientToServerBuffered, -(c->ToServer.Length - c->ToServerUncounted));
  }
  ReleaseBuffer(heap_, c->ToServer);
  ws_.closesocket(c->ServerSocket);
  if (errorCode != 0) Log.LogInform(client, WinsockErrorText(errorCode));
  if (c->ToClient.Length > 0) {
    int sent = SendWaiting(ws_, c->ToClient, c->ClientSocket);
    if (sent > 0) Count(Counter::ServerToClientTotal, ServerToClientTotal, sent);
    Count(Counter::ServerToClientBuffered, ServerToClientBuffered, -(c->ToClient.Length - c->ToClientUncounted));
  }
  ReleaseBuffer(heap_, c->ToClient);
  ws_.closesocket(c->ClientSocket);
  Log.LogMessage(client, "Disconnected from Client");
  RemoveConnection(c);
}

void Relay::CloseAfterClientGone(Connection* c, int errorCode) {
  std::int32_t client = Sock(c->ClientSocket);
  if (errorCode != 0) Log.LogInform(client, WinsockErrorText(errorCode));
  ws_.closesocket(c->ClientSocket);
  if (c->ServerConnected) {
    ReleaseBuffer(heap_, c->ToClient);
    if (c->ToClient.Length > 0) {
      Count(Counter::ServerToClientBuffered, ServerToClientBuffered, -(c->ToClient.Length - c->ToClientUncounted));
    }
    int sent = SendWaiting(ws_, c->ToServer, c->ServerSocket);
    if (sent > 0) Count(Counter::ClientToServerTotal, ClientToServerTotal, sent);
    if (c->ToServer.Length > 0) {
      Count(Counter::ClientToServerBuffered, ClientToServerBuffered, -(c->ToServer.Length - c->ToServerUncounted));
    }
    Log.LogMessage(client, "Disconnected from Server");
  } else if (c->ToServer.Length > 0) {
    Count(Counter::ClientToServerBuffered, ClientToServerBuffered, -(c->ToServer.Length - c->ToServerUncounted));
  }
  ws_.closesocket(c->ServerSocket);
  ReleaseBuffer(heap_, c->ToServer);
  RemoveConnection(c);
}

}  // namespace tapline::engine
