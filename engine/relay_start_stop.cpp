// Relay start and stop: the field checks, the log file, the remote lookup and the listener.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "engine/relay.h"
#include "log/json_lines.h"
#include "log/split_files.h"
#include "platform/own_addresses.h"
#include "platform/tls_transport.h"

namespace tapline::engine {

using namespace winsock;

namespace {

// The port texts are signed 32-bit integers: an optional sign and digits, nothing else.
bool ParseInt32(const std::string& text, std::int64_t& value) {
  if (text.empty()) return false;
  std::size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return false;
  std::int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<std::int64_t>(INT_MAX) + 1) return false;
  }
  v = negative ? -v : v;
  if (v > INT_MAX || v < INT_MIN) return false;
  value = v;
  return true;
}

constexpr std::size_t RemoteHostLimit = 63;

// A host name as the resolver takes one: labels of letters, digits, hyphens and underscores, joined by dots.
bool IsHostName(const std::string& text) {
  if (text.empty() || text.size() > 253) return false;
  std::size_t label = 0;
  for (char ch : text) {
    if (ch == '.') {
      if (label == 0) return false;
      label = 0;
    } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' ||
               ch == '_') {
      if (++label > 63) return false;
    } else {
      return false;
    }
  }
  return true;
}
constexpr std::size_t LogFileLimit = 255;

// Two names of one file: the same path once resolved, or (existing already) the same inode.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  std::error_code ea, eb;
  std::filesystem::path pa = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ea), ea);
  std::filesystem::path pb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, eb), eb);
  return ea || eb ? a == b : pa == pb;
}

}  // namespace

Relay::Relay(RelayWindow& window, Winsock& ws, platform::EventLoop& loop, platform::Heap& heap)
    : Log(heap, loop), window_(window), ws_(ws), loop_(loop), heap_(heap) {
  heap_.SetDrainHook([this] { return Log.DrainOneBatch(); });
  sinks_.push_back(&Log);
  // What a turn recorded reaches the files before the loop waits again.
  loop_.SetTurnEndHook([this] { FlushSinks(); });
}

Relay::~Relay() {
  // The front end is going: close everything without a word to the window.
  loop_.SetTurnEndHook(nullptr);
  if (RemoteLookupHandle != 0) ws_.WSACancelAsyncRequest(RemoteLookupHandle);
  if (LocalLookupHandle != 0) ws_.WSACancelAsyncRequest(LocalLookupHandle);
  if (ListenSocket != INVALID_SOCKET) ws_.closesocket(ListenSocket);
  index_.clear();
  while (Connections != nullptr) {
    Connection* c = Connections;
    Connections = c->Next;
    ws_.closesocket(c->ClientSocket);
    ws_.closesocket(c->ServerSocket);
    ReleaseBuffer(heap_, c->ToServer);
    ReleaseBuffer(heap_, c->ToClient);
    heap_.Free(c);
  }
  FreeEnded();
  ReleaseBuffer(heap_, spare_);
  CloseCapture();  // what it holds goes out
  CloseExports();
  heap_.SetDrainHook(nullptr);
}

void Relay::RemoveSink(log::TrafficSink* sink) {
  sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

void Relay::FlushSinks(bool waitForCapture) {
  for (log::TrafficSink* sink : sinks_) sink->Flush();
  // The capture is written by a thread of its own; a failure shows at the next turn's end, or here.
  if (capture_ != nullptr && waitForCapture) capture_->Sync();
  if (capture_ != nullptr && capture_->Failed()) {
    // Packets lost to a failed write would leave every later one out of sequence: the capture stops
    // at its last whole block, and the run goes on.
    const std::string text =
        "Could not write capture file " + options_.captureFile + ": " + std::strerror(capture_->WriteError());
    CloseCapture();
    Log.LogInform(text.c_str());
    Log.Flush();
  }
  // An export that could not be written has stopped; it says so once.
  for (auto& e : exports_) {
    std::string failure = e->TakeFailure();
    if (failure.empty()) continue;
    Log.LogInform(failure.c_str());
    Log.Flush();
  }
}

void Relay::OpenExports(const RelayOptions& options) {
  auto refuse = [&](const std::string& message, Field field) {
    CloseExports();
    CloseCapture();
    if (Log.File.IsOpen()) Log.File.Close();
    throw ValidationError(message, field);
  };
  if (!options.splitFolder.empty()) {
    auto split = std::make_unique<log::SplitFiles>();
    std::string reason = split->Create(options.splitFolder);
    if (!reason.empty()) refuse("Could not create split folder " + options.splitFolder + ": " + reason, Field::SplitFolder);
    exports_.push_back(std::move(split));
  }
  if (!options.jsonFile.empty()) {
    auto json = std::make_unique<log::JsonLines>();
    std::string reason = json->Create(options.jsonFile, options.remoteHost + ":" + options.remotePort, Log.Now());
    if (!reason.empty()) refuse("Could not create JSON file " + options.jsonFile + ": " + reason, Field::JsonFile);
    exports_.push_back(std::move(json));
  }
  for (auto& e : exports_) AddSink(e.get());
}

void Relay::CloseExports() {
  for (auto& e : exports_) {
    RemoveSink(e.get());
    e->Close();
  }
  exports_.clear();
}

void Relay::CloseCapture() {
  if (capture_ == nullptr) return;
  RemoveSink(capture_.get());
  capture_->Close();
  capture_.reset();
}

void Relay::Count(Counter counter, std::int64_t& field, std::int64_t delta) {
  field += delta;
  window_.ShowCount(counter, field);
}

void Relay::SetRunningState(bool running) {
  window_.SetRunningState(running);
  Started = running ? 1 : 0;
}

void Relay::ValidateOptions(const RelayOptions& options) {
  const std::string& host = options.remoteHost;
  if (host.empty()) throw ValidationError("Remote Host required", Field::RemoteHost);
  // A cut name would relay to another host, so a name too long for the lookup is refused.
  if (host.size() > RemoteHostLimit) throw ValidationError("Remote Host is too long", Field::RemoteHost);
  const std::string& remotePort = options.remotePort;
  if (remotePort.empty()) throw ValidationError("Remote Port required", Field::RemotePort);
  std::int64_t value = 0;
  // Ports above 65535 are refused rather than cut to 16 bits, which would relay to another port.
  if (!ParseInt32(remotePort, value) || value < 1 || value > 65535) {
    throw ValidationError("Remote Port must be a number from 1 to 65535", Field::RemotePort);
  }
  RemotePort = static_cast<std::uint16_t>(value);
  const std::string& localPort = options.localPort;
  value = 0;
  if (!localPort.empty() && (!ParseInt32(localPort, value) || value < 0 || value > 65535)) {
    throw ValidationError("Local Port must be a number from 0 to 65535", Field::LocalPort);
  }
  LocalPort = static_cast<std::uint16_t>(value);
  const std::string& listen = options.listenAddress;
  if (!listen.empty() && !platform::Endpoint::FromAddressText(listen, 0) && !IsHostName(listen)) {
    throw ValidationError("Listen Address must be an IP address or host name", Field::ListenAddress);
  }
  // The front ends keep to the range; a value beyond it would overflow the timer's milliseconds.
  if (options.connectTimeout < 0 || options.connectTimeout > kConnectTimeoutLimit) {
    throw ValidationError("Connect Timeout must be a number of seconds from 0 to 3600", Field::ConnectTimeout);
  }
  // The TLS files are checked before the log file is created: a refused start leaves nothing behind.
  std::shared_ptr<const platform::TlsContext> tls;
  if (options.tls.toRemote || options.tls.forClients) {
    std::string error;
    tls = platform::TlsContext::Make(options.tls, error);
    if (tls == nullptr) throw ValidationError(error, Field::Tls);
  }
  const std::string& logFile = options.logFile;
  if (logFile.size() > LogFileLimit) throw ValidationError("Log File name is too long", Field::LogFile);
  // Both would empty the one file and write over each other: the capture would be lost.
  if (!logFile.empty() && !options.captureFile.empty() && SameFile(logFile, options.captureFile)) {
    throw ValidationError("The log file and the capture file must be different files", Field::CaptureFile);
  }
  Log.ForgetFileFailure();
  int error = 0;
  if (!logFile.empty() && !Log.File.Create(logFile, &error)) {
    throw ValidationError("Could not create log file " + logFile + ": " + std::strerror(error), Field::LogFile);
  }
  if (!options.captureFile.empty()) {
    auto capture = std::make_unique<log::CaptureFile>();
    if (int error = capture->Create(options.captureFile); error != 0) {
      // A refused start leaves nothing open.
      if (Log.File.IsOpen()) Log.File.Close();
      throw ValidationError("Could not create capture file " + options.captureFile + ": " + std::strerror(error),
                            Field::CaptureFile);
    }
    capture_ = std::move(capture);
    AddSink(capture_.get());
  }
  OpenExports(options);
  options_ = options;
  tls_ = std::move(tls);
}

void Relay::StartRelay(const RelayOptions& options) {
  if (Started) return;
  ValidateOptions(options);
  HexOnly = options.hexOnly ? 1 : 0;
  Log.DetailLevel = options.detailLevel;
  acceptExhausted_ = false;
  lastNumber_ = 0;
  window_.ClearLogView();
  Log.CreateProcessor(window_);
  SetTransports(tls_ != nullptr ? platform::MakeTlsFactory(tls_) : nullptr);
  if (tls_ != nullptr && tls_->ForClients() != nullptr && options_.tls.certFile.empty()) {
    // Tapline's own certificate: where it is and what it looks like, so that a user can trust it.
    std::string text = "Certificate for clients: " + tls_->CertificatePath() + " (SHA-256 " +
                       tls_->CertificateFingerprint() + ")";
    Log.LogMessage(text.c_str());
  }
  // An IPv6 address is named in brackets on the Host line, as a URL writes it.
  std::optional<platform::Endpoint> literal = platform::Endpoint::FromAddressText(options_.remoteHost, 0);
  std::string hostText = literal && literal->IsV6() && options_.remoteHost.front() != '[' ? "[" + options_.remoteHost + "]"
                                                                                          : options_.remoteHost;
  hostLine_ = options_.keepHost ? std::string() : "Host: " + hostText + ":" + options_.remotePort + "\r\n";
  RemoteHostEntry.clear();
  ListenEntry.clear();
  if (!options_.listenAddress.empty()) {
    if (std::optional<platform::Endpoint> at = platform::Endpoint::FromAddressText(options_.listenAddress, 0)) {
      ListenEntry.push_back(*at);
    } else {
      // A name to listen on is looked up beside the remote host; the port opens once both are known.
      HANDLE task = ws_.WSAAsyncGetAddrInfo(&loop_, SocketEventMessage, options_.listenAddress.c_str(), &ListenEntry);
      if (task == 0) {
        Log.LogError("Could not open Local Port");
        Log.LogError(WinsockErrorText(ws_.WSAGetLastError()));
        UndoStart();
        return;
      }
      ListenLookupHandle = task;
    }
  }
  if (!literal) {
    Log.LogMessage("Resolving Remote Host");
    HANDLE task = ws_.WSAAsyncGetAddrInfo(&loop_, SocketEventMessage, options_.remoteHost.c_str(), &RemoteHostEntry);
    if (task == 0) {
      Log.LogError(WinsockErrorText(ws_.WSAGetLastError()));
      UndoStart();
      return;
    }
    RemoteLookupHandle = task;
    ListenSocket = INVALID_SOCKET;
  } else {
    RemoteHostEntry.push_back(*literal);
    RemoteLookupHandle = 0;
    ListenSocket = INVALID_SOCKET;
    if (ListenLookupHandle == 0 && OpenLocalPort() != 0) {
      UndoStart();
      return;
    }
  }
  SetRunningState(true);
  ServerToClientTotal = 0;
  window_.ShowCount(Counter::ServerToClientTotal, 0);
  ClientToServerTotal = 0;
  window_.ShowCount(Counter::ClientToServerTotal, 0);
  // The start's lines reach the files now, not at the end of the loop's first turn: by then the view may
  // already show them, and a reader of the file would find it behind.
  FlushSinks();
}

std::int32_t Relay::NextNumber() {
  // Two thousand million clients in one run would take days at the fastest churn; past that the numbers
  // start again from 1 rather than turn negative.
  lastNumber_ = lastNumber_ == INT32_MAX ? 1 : lastNumber_ + 1;
  return lastNumber_;
}

void Relay::UndoStart() {
  CloseCapture();
  CloseExports();
  Log.CloseFile();
  Log.FinishProcessor();
}

bool Relay::RelaysToItself() const {
  if (LocalPort == 0 || RemotePort != LocalPort) return false;
  for (const platform::Endpoint& remote : RemoteHostEntry) {
    if (ListenEntry.empty() || ListenEntry.front().IsWildcard()) {
      if (platform::IsOwnAddress(remote)) return true;
    } else if (remote.IsWildcard() || remote.AddressText() == ListenEntry.front().AddressText()) {
      return true;
    }
  }
  return false;
}

int Relay::OpenLocalPort() {
  // Every client would connect to the relay again, until the descriptors ran out.
  if (RelaysToItself()) {
    Log.LogError("Remote Host and Port are the Local Port itself");
    return -1;
  }
  ListenSocket = CreateListener(LocalPort);
  if (ListenSocket == INVALID_SOCKET) {
    int error = ws_.WSAGetLastError();
    Log.LogError("Could not open Local Port");
    Log.LogError(WinsockErrorText(error));
    return -1;
  }
  std::string text = "Local Port (" + std::to_string(LocalPort) + ") opened";
  if (!ListenEntry.empty()) text += " on " + ListenEntry.front().AddressText();
  Log.LogMessage(text.c_str());
  Log.LogMessage("Waiting for connections");
  return 0;
}

SOCKET Relay::CreateListener(std::uint16_t& port) {
  SOCKET s = INVALID_SOCKET;
  bool ok = false;
  if (!ListenEntry.empty()) {
    platform::Endpoint at = ListenEntry.front();
    at.SetPort(port);
    s = ws_.socket(at.IsV6() ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    ok = s != INVALID_SOCKET && ws_.bind(s, at) == 0;
  } else {
    // Every interface of both families with one socket; IPv4 alone where the machine has no IPv6.
    s = ws_.socket(AF_INET6, SOCK_STREAM, 0);
    int off = 0;
    if (s != INVALID_SOCKET &&
        ws_.setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off) == 0) {
      ok = ws_.bind(s, platform::Endpoint::AnyV6(port)) == 0;
      int error = ws_.WSAGetLastError();
      // A port in use or not allowed is the answer; any other refusal means no IPv6 here.
      if (!ok && error != WSAEADDRINUSE && error != WSAEACCES) {
        ws_.closesocket(s);
        s = INVALID_SOCKET;
      }
    } else if (s != INVALID_SOCKET) {
      ws_.closesocket(s);
      s = INVALID_SOCKET;
    }
    if (s == INVALID_SOCKET) {
      s = ws_.socket(AF_INET, SOCK_STREAM, 0);
      ok = s != INVALID_SOCKET && ws_.bind(s, platform::Endpoint::AnyV4(port)) == 0;
    }
  }
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  // The longest queue the system allows, so that a burst of clients is not made to retry.
  ok = ok && ws_.listen(s, SOMAXCONN) == 0;
  if (ok && port == 0) {
    platform::Endpoint bound;
    ok = ws_.getsockname(s, bound) == 0;
    if (ok) port = bound.Port();
  }
  if (ok) ok = ws_.WSAAsyncSelect(s, &loop_, SocketEventMessage, FD_ACCEPT) == 0;
  if (!ok) {
    int error = ws_.WSAGetLastError();
    ws_.closesocket(s);
    ws_.WSASetLastError(error);  // the close must not hide why the listener failed
    return INVALID_SOCKET;
  }
  return s;
}

void Relay::RemoteLookupCompleted(int error) {
  RemoteLookupHandle = 0;
  if (error != 0) {
    Log.LogError(WinsockErrorText(error));
    StopRelay();
    return;
  }
  if (RemoteHostEntry.empty()) {
    Log.LogError(WinsockErrorText(WSANO_DATA));
    StopRelay();
    return;
  }
  // Every address, in the order they are tried.
  std::string text = "Remote Host resolved to ";
  for (std::size_t i = 0; i < RemoteHostEntry.size(); ++i) {
    if (i > 0) text += ", ";
    text += RemoteHostEntry[i].AddressText();
  }
  Log.LogMessage(text.c_str());
  if (ListenLookupHandle == 0 && OpenLocalPort() != 0) StopRelay();
}

void Relay::ListenLookupCompleted(int error) {
  ListenLookupHandle = 0;
  if (error != 0 || ListenEntry.empty()) {
    Log.LogError("Could not open Local Port");
    Log.LogError(WinsockErrorText(error != 0 ? error : WSANO_DATA));
    StopRelay();
    return;
  }
  if (RemoteLookupHandle == 0 && OpenLocalPort() != 0) StopRelay();
}

void Relay::StopRelay() {
  Paused = 0;
  if (RemoteLookupHandle != 0) {
    ws_.WSACancelAsyncRequest(RemoteLookupHandle);
    Log.LogMessage("Resolving Remote Host cancelled");
    RemoteLookupHandle = 0;
  }
  if (ListenLookupHandle != 0) {
    ws_.WSACancelAsyncRequest(ListenLookupHandle);
    ListenLookupHandle = 0;
  }
  if (ListenSocket != INVALID_SOCKET) {
    ws_.closesocket(ListenSocket);
    Log.LogMessage("Local Port closed");
    ListenSocket = INVALID_SOCKET;
  }
  while (Connections != nullptr) EndConnection(Connections, End::Stopped);
  FreeEnded();
  // Before the display queue finishes, so that a capture's failure still reaches the view.
  FlushSinks(true);
  CloseCapture();
  CloseExports();
  heldCount_ = 0;
  totalExceeded_ = false;
  // Before the display queue finishes, so that a log file that could not be completed says so.
  Log.CloseFile();
  Log.FinishProcessor();
  heap_.GiveBack();
  ConnectionCount = 0;
  window_.ShowCount(Counter::Connections, 0);
  ServerToClientBuffered = 0;
  window_.ShowCount(Counter::ServerToClientBuffered, 0);
  ClientToServerBuffered = 0;
  window_.ShowCount(Counter::ClientToServerBuffered, 0);
  SetRunningState(false);
}
void Relay::StopByUser(bool discard) {
  if (!Started) return;
  if (discard && Log.Processor() != nullptr) Log.Processor()->Discard();
  Log.LogError("Stopped by user");
  StopRelay();
}

void Relay::Pause() {
  if (!Started) return;
  Paused = 1;
  if (Log.Processor() != nullptr) Log.Processor()->Pause();
}

void Relay::Resume() {
  Paused = 0;
  if (Log.Processor() != nullptr) Log.Processor()->Resume();
}

void Relay::Reset() {
  ServerToClientTotal = 0;
  window_.ShowCount(Counter::ServerToClientTotal, 0);
  ClientToServerTotal = 0;
  window_.ShowCount(Counter::ClientToServerTotal, 0);
}

void Relay::Clear() {
  window_.ClearLogView();
  if (Started && Log.Processor() != nullptr) Log.Processor()->Discard();
}

void Relay::ShowAllCounts() {
  window_.ShowCount(Counter::Connections, ConnectionCount);
  window_.ShowCount(Counter::ClientToServerTotal, ClientToServerTotal);
  window_.ShowCount(Counter::ClientToServerBuffered, ClientToServerBuffered);
  window_.ShowCount(Counter::ServerToClientTotal, ServerToClientTotal);
  window_.ShowCount(Counter::ServerToClientBuffered, ServerToClientBuffered);
}

int Relay::StartLocalLookup() {
  char name[64];
  if (ws_.gethostname(name, sizeof name) != 0) return ws_.WSAGetLastError();
  HANDLE task = ws_.WSAAsyncGetAddrInfo(&loop_, SocketEventMessage, name, &LocalHostEntry);
  if (task == 0) return ws_.WSAGetLastError();
  LocalLookupHandle = task;
  return 0;
}

}  // namespace tapline::engine
