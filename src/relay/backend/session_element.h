#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "asio/io_context.hpp"
#include "asio/ip/tcp.hpp"
#include "asio/post.hpp"
#include "relay/backend/event_delivery.h"
#include "relay/backend/send_queue.h"
#include "relay/core/element_set.h"
#include "relay/core/socket_control.h"

class SessionElement;

// The failure an element ends a client that is not reading with.
inline const std::error_code ClientNotReading = asio::error::no_buffer_space;

// What every element of the wSession array works with, owned by the array.
struct ElementArrayState {
  asio::io_context& Io;
  EventDelivery& Delivery;
  const std::size_t SendLimitBytes;
  ElementSet Unconnected;  // kept by the elements as their states change
  // The elements that queued bytes since the last flush and are not waiting for their socket.
  std::vector<SessionElement*> PendingWrites;
  std::uint64_t BytesSent = 0;  // to every client since start-up
};

// One client element of wSession: its TCP socket, the parts waiting for it and what it has
// received. The element is reused for one connection after another; completions of socket
// operations meant for an earlier connection are recognised and dropped.
class SessionElement {
 public:
  SessionElement(ElementArrayState& array, ElementIndex index);

  SocketState State() const { return CurrentState; }
  // Starts serving a connection the listener accepted.
  void Attach(asio::ip::tcp::socket connection);
  std::string TakeReceived();
  // Queues a part for the next flush; a client that lets more than the send limit wait is failed.
  void Send(SharedBytes bytes);
  // Writes what is queued, as far as the socket takes it now.
  void Flush();
  // Raises SendComplete, as an event of its own, once the queue is empty.
  void NotifyWhenSent();
  // Whether bytes wait for its client.
  bool Sending() const { return CurrentState == SocketState::Connected && !Queue.Empty(); }
  void Close();

 private:
  // Wraps a completion so that it runs only while the connection it was started for lasts.
  template <class Completion>
  auto WhileCurrent(Completion completion) {
    return [this, generation = Generation, completion](const auto&... result) {
      if (generation == Generation) completion(result...);
    };
  }
  // Raises an event of this connection as a handler of its own, never from inside the call that
  // caused it, and only while the element still holds that connection.
  template <class Raise>
  void PostEvent(Raise raise) {
    asio::post(Array.Io, WhileCurrent([this, raise] {
                 Array.Delivery.Deliver([&] { raise(Array.Delivery.Events()); });
               }));
  }
  void WaitReadable();
  void ReadWaiting();
  void WaitWritable();
  void WriteQueued();
  void Fail(const std::error_code& error, const std::string& description);
  void ReportSent();
  // Every way out of the connected state ends the connection's generation.
  void EndConnection(SocketState state);

  ElementArrayState& Array;
  const ElementIndex Index;
  asio::ip::tcp::socket Socket;
  SocketState CurrentState = SocketState::Closed;
  std::uint64_t Generation = 0;
  SendQueue Queue;
  bool InPendingWrites = false;
  bool WaitingWritable = false;
  bool SentWanted = false;
  std::string Received;
};
