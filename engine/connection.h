// One accepted client with its server socket and the two transfer buffers, kept in a doubly linked
// list from the newest to the oldest. Owned by the relay run; main thread only.
#pragma once

#include <cstdint>

#include "engine/transfer_buffer.h"
#include "platform/endpoint.h"
#include "platform/winsock.h"

namespace tapline::engine {

struct Connection {
  winsock::SOCKET ClientSocket;
  // The connection's number in this relay run (1 for the first client, never reused): every log line,
  // sink event and export about it carries it. Socket numbers are reused, so they cannot tell two apart.
  std::int32_t Number;
  winsock::SOCKET ServerSocket;
  TransferBuffer ToServer;       // read from the client, waiting for the server
  TransferBuffer ToClient;       // read from the server, waiting for the client
  std::uint8_t ServerConnected;  // the server connect has completed
  Connection* Next;              // an older connection; null at the tail
  Connection* Prev;              // a newer connection; null at the head
  std::int32_t TextMode;         // -1 undecided, 0 hex dump only, 1 text lines
  std::int32_t HttpRequestSeen;  // the last all-text client block was an HTTP/1.x request
  // Bytes a UTF-8 character cut by the end of the last text block of each direction still needs: the
  // next block may start with them and still be text.
  std::int32_t ToServerContinued;
  std::int32_t ToClientContinued;

  // An orderly end of one side's stream is passed on to the other side once everything before it has
  // been delivered; the connection ends when both directions have ended this way.
  bool ClientEnded;     // the client ended its stream in order
  bool ServerEnded;     // the server ended its stream in order
  bool ServerSendShut;  // the client's end has been passed on to the server
  bool ClientSendShut;  // the server's end has been passed on to the client
  // Bytes of a block whose handling ran out of memory: in the buffer, but never counted as buffered.
  std::int32_t ToServerUncounted;
  std::int32_t ToClientUncounted;

  platform::Endpoint ClientEndpoint;  // where the client connected from
  platform::Endpoint ServerEndpoint;  // the remote address this connection tries or uses
  std::uint32_t AddressIndex;         // which of the remote's addresses that is
  std::uint64_t ConnectAttempt;       // the relay's number of the connect under way, for its timeout

  // Back-pressure: a side is not read while the bytes it sent wait above the mark for the other side; an
  // FD_READ (or the side's orderly FD_CLOSE) that came meanwhile is answered once the backlog allows.
  bool ClientHeld;
  bool ServerHeld;
  bool ClientCloseHeld;
  bool ServerCloseHeld;

  // Ended: its sockets are closed and its lines logged; the memory goes at the end of the event.
  bool Closing;
};

}  // namespace tapline::engine
