#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/net_address.h"
#include "common/shared_bytes.h"

// The relay's view of its sockets: the TCP element array wSession (element 0 listens, elements 1
// and up each serve one client) and the UDP socket wListen. Events come one at a time on the
// relay's thread and never from inside a call the relay makes on a socket.

using ElementIndex = std::int16_t;
using RequestId = std::int32_t;

enum class SocketState { Closed = 0, Listening = 2, Connected = 7, Closing = 8, Error = 9 };

constexpr ElementIndex MaxElementIndex = 32767;

class SessionSockets {
 public:
  virtual ~SessionSockets() = default;
  virtual ElementIndex HighestIndex() const = 0;
  // Adds element HighestIndex() + 1, closed.
  virtual void AddElement() = 0;
  virtual SocketState State(ElementIndex index) const = 0;
  // The lowest element above after that is not connected (closed, closing or in error), or 0.
  virtual ElementIndex NextUnconnected(ElementIndex after) const = 0;
  // Only the listener, element 0, reports it: inside ConnectionRequest, the address of the peer
  // asking to connect.
  virtual std::string RemoteHostIP(ElementIndex index) const = 0;
  virtual NetAddress RemoteAddress(ElementIndex index) const = 0;
  virtual void Accept(ElementIndex index, RequestId requestID) = 0;
  // All data received and not yet taken.
  virtual std::string GetData(ElementIndex index) = 0;
  // Queues bytes for a connected element; they go out whole and in order. A failure shows up
  // later as an Error event of that element.
  virtual void SendData(ElementIndex index, SharedBytes bytes) = 0;
  // Asks for one SendComplete event of a connected element once everything queued for it so far
  // has been written.
  virtual void NotifyWhenSent(ElementIndex index) = 0;
  virtual void Close(ElementIndex index) = 0;
  // Bytes written to clients' sockets since start-up.
  virtual std::uint64_t BytesSent() const = 0;
  // The Number of the Error event of an element whose client let more than the send limit wait.
  virtual int ClientNotReadingError() const = 0;
};

class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;
  // The datagram that raised DataArrival, whole, where it was received: valid until the handler
  // returns, so that an event is copied only into the ring. A failed read is thrown as
  // std::system_error.
  virtual std::string_view GetData() = 0;
  // The sender of the datagram last read.
  virtual std::string RemoteHost() const = 0;
  virtual std::string RemoteHostIP() const = 0;
  virtual NetAddress RemoteAddress() const = 0;
  virtual int RemotePort() const = 0;
  // Datagrams the host dropped because the socket's receive buffer was full, since start-up;
  // absent where the host does not tell.
  virtual std::optional<std::uint64_t> DroppedByHost() const = 0;
  // Where the datagram last read was received, as the journal records it (0: not known).
  virtual std::uint64_t Origin() const { return 0; }
};

class SocketEvents {
 public:
  virtual ~SocketEvents() = default;
  virtual void wSession_ConnectionRequest(ElementIndex Index, RequestId requestID) = 0;
  virtual void wSession_DataArrival(ElementIndex Index, long bytesTotal) = 0;
  virtual void wSession_Close(ElementIndex Index) = 0;
  virtual void wSession_Error(ElementIndex Index, int Number, const std::string& Description) = 0;
  virtual void wSession_SendComplete(ElementIndex Index) = 0;
  // bytesTotal is the datagram's length, or -1 when the read failed and GetData will say why.
  virtual void wListen_DataArrival(long bytesTotal) = 0;
};
