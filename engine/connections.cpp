// Socket-event dispatch and the connection lifecycle: accept, connect to the server, set-up teardown.
#include <cstdio>
#include <new>

#include "engine/relay.h"

namespace tapline::engine {

using namespace winsock;

void Relay::HandleSocketEvent(platform::WPARAM wParam, platform::LPARAM lParam) {
  if (LocalLookupHandle != 0 && wParam == LocalLookupHandle) {
    LocalLookupHandle = 0;
    std::string text = "127.0.0.1";
    std::uint32_t address = 0;
    if (WSAGETASYNCERROR(lParam) == 0 && FirstHostAddress(LocalHostEntry, address)) {
      text = inet_ntoa(in_addr{address});
    }
    window_.ShowLocalAddress(text);
    return;
  }
  if (!Started) return;  // late events of sockets closed by a stop end here
  if (RemoteLookupHandle != 0 && wParam == RemoteLookupHandle) {
    RemoteLookupCompleted(WSAGETASYNCERROR(lParam));
    return;
  }
  SOCKET s = static_cast<SOCKET>(wParam);
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_ACCEPT:
      AcceptClient();
      break;
    case FD_CONNECT:
      ConnectCompleted(s, WSAGETSELECTERROR(lParam));
      break;
    case FD_READ: {
      Connection* c = FindConnection(s);
      if (c == nullptr) break;
      if (s == c->ClientSocket) {
        ReadFromClient(c);
      } else {
        ReadFromServer(c);
      }
      break;
    }
    case FD_WRITE: {
      Connection* c = FindConnection(s);
      if (c == nullptr) break;
      if (s == c->ClientSocket) {
        FlushToClient(c);
      } else {
        FlushToServer(c);
      }
      break;
    }
    case FD_CLOSE: {
      Connection* c = FindConnection(s);
      if (c != nullptr) CloseEvent(c, s, WSAGETSELECTERROR(lParam));
      break;
    }
    default:
      break;
  }
}

void Relay::CloseEvent(Connection* c, SOCKET s, int error) {
  std::int32_t client = Sock(c->ClientSocket);
  if (s == c->ClientSocket) {
    if (c->ClientEnded) return;  // its end was met by a read already
    if (ReadFromClient(c, ReadAll) < 0 || c->ClientEnded) return;
    Log.LogInform(client, "Client disconnected");
    if (error != 0) {
      CloseAfterClientGone(c, error);
    } else {
      ClientStreamEnded(c);
    }
  } else {
    if (c->ServerEnded) return;
    if (ReadFromServer(c, ReadAll) < 0 || c->ServerEnded) return;
    Log.LogInform(client, "Server disconnected");
    if (error != 0) {
      CloseAfterServerGone(c, error);
    } else {
      ServerStreamEnded(c);
    }
  }
}

Connection* Relay::FindConnection(SOCKET s) const {
  auto it = index_.find(s);
  return it == index_.end() ? nullptr : it->second;
}

void Relay::RemoveConnection(Connection* c) {
  index_.erase(c->ClientSocket);
  index_.erase(c->ServerSocket);
  if (c->Next != nullptr) c->Next->Prev = c->Prev;
  if (c->Prev != nullptr) {
    c->Prev->Next = c->Next;
  } else {
    Connections = c->Next;
  }
  heap_.Free(c);
  Count(Counter::Connections, ConnectionCount, -1);
  // The last of many connections is gone: what they held goes back to the system, not just to malloc.
  // Not after every short-lived one: that would cost the churn of single connections dearly.
  if (ConnectionCount == 0 && peakSinceGiveBack_ >= 64) {
    heap_.GiveBack();
    peakSinceGiveBack_ = 0;
  }
}

void Relay::SetConnectionOptions(SOCKET s) {
  int dontLinger = 0;
  ws_.setsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&dontLinger), sizeof dontLinger);
  int noDelay = 1;
  ws_.setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
}

void Relay::AcceptClient() {
  sockaddr_in peer{};
  int length = sizeof peer;
  SOCKET s = ws_.accept(ListenSocket, reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) {
    int error = ws_.WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return;
    if (error == WSAEMFILE) {
      // The socket layer retries a little later; one report per shortage is enough.
      if (acceptExhausted_) return;
      acceptExhausted_ = true;
    }
    Log.LogInform("Could not accept connection from Client");
    Log.LogInform(WinsockErrorText(error));
    return;
  }
  acceptExhausted_ = false;
  std::int32_t client = Sock(s);
  char text[96];
  std::snprintf(text, sizeof text, "Client connected; %s:%u", inet_ntoa(peer.sin_addr),
                static_cast<unsigned>(ntohs(peer.sin_port)));
  Log.LogMessage(client, text);
  if (ws_.WSAAsyncSelect(s, &loop_, SocketEventMessage, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
    int error = ws_.WSAGetLastError();
    Log.LogInform(client, "WSAAsyncSelect() failed");
    Log.LogInform(client, WinsockErrorText(error));
    ws_.closesocket(s);
    Log.LogMessage(client, "Disconnected from Client");
    return;
  }
  void* block = heap_.AllocateOrDrain(sizeof(Connection));
  if (block == nullptr) {
    Log.LogInform(client, "Out of memory");
    ws_.closesocket(s);
    Log.LogMessage(client, "Disconnected from Client");
    return;
  }
  Connection* c = new (block) Connection{};
  if (ResizeBuffer(heap_, c->ToServer, 8192) != 0 || c->ToServer.Data == nullptr) {
    Log.LogInform(client, "Out of memory");
    ws_.closesocket(s);
    Log.LogMessage(client, "Disconnected from Client");
    heap_.Free(c);
    return;
  }
  c->ClientSocket = s;
  if (ConnectToServer(c) != 0) {
    ws_.closesocket(s);
    Log.LogMessage(client, "Disconnected from Client");
    ReleaseBuffer(heap_, c->ToServer);
    heap_.Free(c);
    return;
  }
  c->TextMode = HexOnly ? 0 : -1;
  c->HttpRequestSeen = 0;
  c->ToClient = TransferBuffer{};
  c->Prev = nullptr;
  c->Next = Connections;
  if (Connections != nullptr) Connections->Prev = c;
  Connections = c;
  index_[c->ClientSocket] = c;
  index_[c->ServerSocket] = c;
  SetConnectionOptions(s);
  Count(Counter::Connections, ConnectionCount, 1);
  if (ConnectionCount > peakSinceGiveBack_) peakSinceGiveBack_ = ConnectionCount;
}

int Relay::ConnectToServer(Connection* c) {
  std::int32_t client = Sock(c->ClientSocket);
  Log.LogMessage(client, "Connecting to Server");
  c->ServerSocket = ws_.socket(AF_INET, SOCK_STREAM, 0);
  if (c->ServerSocket == INVALID_SOCKET) {
    Log.LogInform(client, WinsockErrorText(ws_.WSAGetLastError()));
    return -1;
  }
  int error = 0;
  if (ws_.WSAAsyncSelect(c->ServerSocket, &loop_, SocketEventMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
    error = ws_.WSAGetLastError();
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(RemotePort);
    address.sin_addr.s_addr = RemoteAddress;
    if (ws_.connect(c->ServerSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
        ws_.WSAGetLastError() == WSAEWOULDBLOCK) {
      c->ServerConnected = 0;
      return 0;
    }
    error = ws_.WSAGetLastError();
  }
  Log.LogInform(client, WinsockErrorText(error));
  ws_.closesocket(c->ServerSocket);
  return -1;
}

void Relay::ConnectCompleted(SOCKET s, int error) {
  Connection* c = FindConnection(s);
  if (c == nullptr || s != c->ServerSocket) return;
  std::int32_t client = Sock(c->ClientSocket);
  if (error != 0) {
    Log.LogInform(client, "Could not connect to Server");
    Log.LogInform(client, WinsockErrorText(error));
    SetupTeardown(c);
    return;
  }
  Log.LogMessage(client, "Connected to Server");
  c->ServerConnected = 1;
  if (ResizeBuffer(heap_, c->ToClient, 8192) != 0 || c->ToClient.Data == nullptr) {
    Log.LogInform(client, "Out of memory");
    SetupTeardown(c);
    return;
  }
  SetConnectionOptions(c->ServerSocket);
  FlushToServer(c);
}

void Relay::SetupTeardown(Connection* c) {
  ws_.closesocket(c->ServerSocket);
  if (c->ToServer.Length > 0) {
    Count(Counter::ClientToServerBuffered, ClientToServerBuffered, -(c->ToServer.Length - c->ToServerUncounted));
  }
  ReleaseBuffer(heap_, c->ToServer);
  ReleaseBuffer(heap_, c->ToClient);
  ws_.closesocket(c->ClientSocket);
  Log.LogMessage(Sock(c->ClientSocket), "Disconnected from Client");
  RemoveConnection(c);
}

}  // namespace tapline::engine
