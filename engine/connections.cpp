// Socket-event dispatch and the connection lifecycle: accept, connect to the server (each of the
// remote's addresses in turn), the transport's notes.
#include <cassert>
#include <cstdio>
#include <new>

#include "engine/relay.h"

namespace tapline::engine {

using namespace winsock;

namespace {

// The address the status panel shows for the machine: the first of its name's, but one that tells a
// user something where there is one (Debian often maps the name to 127.0.1.1).
std::string OwnAddress(const std::vector<platform::Endpoint>& addresses) {
  for (const platform::Endpoint& e : addresses) {
    if (!e.IsLoopback()) return e.AddressText();
  }
  return addresses.empty() ? std::string("127.0.0.1") : addresses.front().AddressText();
}

}  // namespace

void Relay::HandleSocketEvent(platform::WPARAM wParam, platform::LPARAM lParam) {
  if (LocalLookupHandle != 0 && wParam == LocalLookupHandle) {
    LocalLookupHandle = 0;
    if (WSAGETASYNCERROR(lParam) != 0) LocalHostEntry.clear();
    window_.ShowLocalAddress(OwnAddress(LocalHostEntry));
    return;
  }
  if (!Started) return;  // late events of sockets closed by a stop end here
  if (RemoteLookupHandle != 0 && wParam == RemoteLookupHandle) {
    RemoteLookupCompleted(WSAGETASYNCERROR(lParam));
    return;
  }
  if (ListenLookupHandle != 0 && wParam == ListenLookupHandle) {
    ListenLookupCompleted(WSAGETASYNCERROR(lParam));
    return;
  }
  SOCKET s = static_cast<SOCKET>(wParam);
  long event = WSAGETSELECTEVENT(lParam);
  if (event == FD_ACCEPT) {
    AcceptClient();
  } else if (event == FD_CONNECT) {
    ConnectCompleted(s, WSAGETSELECTERROR(lParam));
  } else if (Connection* c = FindConnection(s); c != nullptr) {
    bool client = s == c->ClientSocket;
    switch (event) {
      case FD_READ:
        ReadFrom(c, client);
        break;
      case FD_WRITE:
        FlushTo(c, client);
        break;
      case FD_CLOSE:
        CloseEvent(c, client, WSAGETSELECTERROR(lParam));
        break;
      case FD_NOTE:
        TransportNotes(c, s);
        break;
      case FD_ESTABLISHED:
        if (client && c->ServerSocket == INVALID_SOCKET) OpenServerSide(c);
        break;
      default:
        break;
    }
  }
  FreeEnded();
}

void Relay::TransportNotes(Connection* c, SOCKET s) {
  for (const platform::TransportNote& note : ws_.TakeTransportNotes(s)) {
    if (note.inform) {
      Log.LogInform(c->Number, note.text.c_str());
    } else {
      Log.LogMessage(c->Number, note.text.c_str());
    }
  }
}

void Relay::CloseEvent(Connection* c, bool fromClient, int error) {
  if (fromClient ? c->ClientEnded : c->ServerEnded) return;  // its end was met by a read already
  if (error == 0) {
    FinishStream(c, fromClient);
    return;
  }
  std::int32_t client = c->Number;
  std::string failure = ws_.TransportFailure(fromClient ? c->ClientSocket : c->ServerSocket);
  if (!failure.empty()) {
    // The transport's own handshake failed: its reason stands for the error number.
    Log.LogInform(client, fromClient ? "TLS handshake with Client failed" : "TLS handshake with Server failed");
    LogInformLines(client, failure);
    // A client's handshake fails before its server connection is opened: the client is all there is.
    bool setup = fromClient ? c->ServerSocket == INVALID_SOCKET : !c->ServerConnected;
    EndConnection(c, setup ? End::SetupFailed : fromClient ? End::ClientGone : End::ServerGone);
    return;
  }
  // A broken connection: what can still be read is read, then it ends at once.
  if (!Backlogged(c, fromClient)) ReadFrom(c, fromClient, ReadAll);
  if (c->Closing || (fromClient ? c->ClientEnded : c->ServerEnded)) return;
  Log.LogInform(client, fromClient ? "Client disconnected" : "Server disconnected");
  EndConnection(c, fromClient ? End::ClientGone : End::ServerGone, error);
}

void Relay::LogInformLines(std::int32_t client, const std::string& text) {
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    Log.LogInform(client, text.substr(at, end - at).c_str());
    at = end + 1;
  }
}

Connection* Relay::FindConnection(SOCKET s) const {
  auto it = index_.find(s);
  return it == index_.end() ? nullptr : it->second;
}

void Relay::GiveBackOnceShown(int triesLeft) {
  // The lines of those connections may still wait for the view, and they are freed only once shown;
  // handing back before that would keep the memory they leave behind. So wait for the queue to empty
  // (a paused one never does: two seconds at most).
  log::RequestProcessor* processor = Log.Processor();
  if (processor != nullptr && !processor->Empty() && triesLeft > 0) {
    std::weak_ptr<bool> alive = alive_;
    loop_.Schedule(100, [this, alive, triesLeft] {
      if (!alive.expired()) GiveBackOnceShown(triesLeft - 1);
    });
    return;
  }
  heap_.GiveBack();
}

void Relay::SetConnectionOptions(SOCKET s) {
  int dontLinger = 0;
  ws_.setsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&dontLinger), sizeof dontLinger);
  int noDelay = 1;
  ws_.setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
}

void Relay::AcceptClient() {
  platform::Endpoint peer;
  SOCKET s = ws_.accept(ListenSocket, &peer);
  if (s == INVALID_SOCKET) {
    int error = ws_.WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return;
    if (error == WSAEMFILE) {
      // Out of descriptors: the socket layer looks again a little later, and accepting resumes once
      // descriptors are free. One report per shortage is enough.
      if (acceptExhausted_) return;
      acceptExhausted_ = true;
    }
    Log.LogInform("Could not accept connection from Client");
    Log.LogInform(WinsockErrorText(error));
    return;
  }
  acceptExhausted_ = false;
  std::int32_t client = NextNumber();
  std::string text = "Client connected; " + peer.ToString();
  Log.LogMessage(client, text.c_str());
  auto refuse = [&](const char* why, int error) {
    Log.LogInform(client, why);
    if (error != 0) Log.LogInform(client, WinsockErrorText(error));
    ws_.closesocket(s);
    Log.LogMessage(client, "Disconnected from Client");
  };
  // A client with a handshake of its own (TLS) gets its server connection only once that has completed,
  // so that one which fails or stalls costs no server connection.
  bool handshake = false;
  if (transports_ != nullptr) {
    if (std::unique_ptr<platform::Transport> t = transports_->ForClient()) {
      handshake = !t->Established();
      ws_.SetTransport(s, std::move(t));
    }
  }
  if (ws_.WSAAsyncSelect(s, &loop_, SocketEventMessage, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
    refuse("WSAAsyncSelect() failed", ws_.WSAGetLastError());
    return;
  }
  void* block = heap_.AllocateOrDrain(sizeof(Connection));
  if (block == nullptr) {
    refuse("Out of memory", 0);
    return;
  }
  // The transfer buffers stay empty until bytes wait in them.
  Connection* c = new (block) Connection{};
  c->ClientSocket = s;
  c->ServerSocket = INVALID_SOCKET;
  c->Number = client;
  c->ClientEndpoint = peer;
  c->TextMode = HexOnly ? 0 : -1;
  log::ConnectionOpened opened{client, peer, options_.remoteHost, RemotePort, Log.Now()};
  for (log::TrafficSink* sink : sinks_) sink->Opened(opened);
  if (!handshake) {
    Log.LogMessage(client, "Connecting to Server");
    if (!ConnectToServer(c)) {
      for (log::TrafficSink* sink : sinks_) sink->Closed(client, false, Log.Now());
      ws_.closesocket(s);
      Log.LogMessage(client, "Disconnected from Client");
      heap_.Free(c);
      return;
    }
  }
  c->Prev = nullptr;
  c->Next = Connections;
  if (Connections != nullptr) Connections->Prev = c;
  Connections = c;
  index_[c->ClientSocket] = c;
  if (!handshake) index_[c->ServerSocket] = c;
  SetConnectionOptions(s);
  Count(Counter::Connections, ConnectionCount, 1);
  if (ConnectionCount > peakSinceGiveBack_) peakSinceGiveBack_ = ConnectionCount;
}

void Relay::OpenServerSide(Connection* c) {
  Log.LogMessage(c->Number, "Connecting to Server");
  if (!ConnectToServer(c)) {
    c->ServerSocket = INVALID_SOCKET;
    EndConnection(c, End::SetupFailed);
    return;
  }
  index_[c->ServerSocket] = c;
}

bool Relay::ConnectToServer(Connection* c) {
  std::int32_t client = c->Number;
  c->ServerEndpoint = RemoteHostEntry[c->AddressIndex];
  c->ServerEndpoint.SetPort(RemotePort);
  c->ServerSocket = ws_.socket(c->ServerEndpoint.IsV6() ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (c->ServerSocket == INVALID_SOCKET) {
    Log.LogInform(client, WinsockErrorText(ws_.WSAGetLastError()));
    return false;
  }
  if (transports_ != nullptr) {
    if (std::unique_ptr<platform::Transport> t = transports_->ForServer(options_.remoteHost)) {
      ws_.SetTransport(c->ServerSocket, std::move(t));
    }
  }
  int error = 0;
  if (ws_.WSAAsyncSelect(c->ServerSocket, &loop_, SocketEventMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
    error = ws_.WSAGetLastError();
  } else if (ws_.connect(c->ServerSocket, c->ServerEndpoint) == 0 || ws_.WSAGetLastError() == WSAEWOULDBLOCK) {
    c->ServerConnected = 0;
    StartConnectTimeout(c);
    return true;
  } else {
    error = ws_.WSAGetLastError();
  }
  Log.LogInform(client, WinsockErrorText(error));
  ws_.closesocket(c->ServerSocket);
  return false;
}

void Relay::StartConnectTimeout(Connection* c) {
  c->ConnectAttempt = ++connectAttempts_;
  if (options_.connectTimeout <= 0) return;  // the system's own timeout
  assert(options_.connectTimeout <= kConnectTimeoutLimit);
  const SOCKET s = c->ServerSocket;
  const std::uint64_t attempt = c->ConnectAttempt;
  std::weak_ptr<bool> alive = alive_;
  loop_.Schedule(options_.connectTimeout * 1000, [this, alive, s, attempt] {
    if (alive.expired()) return;
    // The connect may have completed, failed or been given up meanwhile, and its socket number reused.
    Connection* c = FindConnection(s);
    if (c == nullptr || c->Closing || c->ServerSocket != s || c->ConnectAttempt != attempt || c->ServerConnected) return;
    ConnectCompleted(s, WSAETIMEDOUT);  // closing the socket drops an FD_CONNECT that came too late
    FreeEnded();
  });
}

void Relay::ConnectCompleted(SOCKET s, int error) {
  Connection* c = FindConnection(s);
  if (c == nullptr || s != c->ServerSocket) return;
  std::int32_t client = c->Number;
  if (error != 0) {
    bool retry = error == WSAECONNREFUSED || error == WSAENETUNREACH || error == WSAEHOSTUNREACH ||
                 error == WSAETIMEDOUT || error == WSAEADDRNOTAVAIL || error == WSAEAFNOSUPPORT;
    if (retry && c->AddressIndex + 1 < RemoteHostEntry.size()) {
      // The next of the remote's addresses; the client's bytes keep waiting.
      platform::Endpoint failed = c->ServerEndpoint;
      platform::Endpoint next = RemoteHostEntry[c->AddressIndex + 1];
      next.SetPort(RemotePort);
      std::string text = "Could not connect to " + failed.ToString() + ", trying " + next.ToString();
      Log.LogInform(client, text.c_str());
      index_.erase(c->ServerSocket);
      ws_.closesocket(c->ServerSocket);
      ++c->AddressIndex;
      if (ConnectToServer(c)) {
        index_[c->ServerSocket] = c;
        return;
      }
      c->ServerSocket = INVALID_SOCKET;
      EndConnection(c, End::SetupFailed);
      return;
    }
    Log.LogInform(client, "Could not connect to Server");
    Log.LogInform(client, WinsockErrorText(error));
    for (log::TrafficSink* sink : sinks_) sink->ConnectFailed(client, c->ServerEndpoint, Log.Now());
    EndConnection(c, End::SetupFailed);
    return;
  }
  Log.LogMessage(client, "Connected to Server");
  c->ServerConnected = 1;
  for (log::TrafficSink* sink : sinks_) sink->ServerConnected(client, c->ServerEndpoint, Log.Now());
  SetConnectionOptions(c->ServerSocket);
  FlushTo(c, false);
}

}  // namespace tapline::engine
