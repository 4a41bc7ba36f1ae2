#include "relay/backend/session_element.h"

namespace {

// Every read takes all a client has sent, up to this much at once.
constexpr std::size_t ReadChunk = 65536;

bool WouldBlock(const std::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}

}  // namespace

SessionElement::SessionElement(ElementArrayState& array, ElementIndex index)
    : Array(array), Index(index), Socket(array.Io) {
  Array.Unconnected.Insert(Index);
}

void SessionElement::Attach(asio::ip::tcp::socket connection) {
  Socket = std::move(connection);
  std::error_code ignored;
  Socket.non_blocking(true, ignored);
  // Parts are already gathered into few writes; Nagle would only add latency to small ones.
  Socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  CurrentState = SocketState::Connected;
  Array.Unconnected.Erase(Index);
  WaitReadable();
}

std::string SessionElement::TakeReceived() {
  std::string data;
  data.swap(Received);
  return data;
}

void SessionElement::Send(SharedBytes bytes) {
  if (CurrentState != SocketState::Connected) return;
  Queue.Push(std::move(bytes));
  if (Queue.WaitingBytes() > Array.SendLimitBytes) {
    Fail(ClientNotReading, "client is not reading: more than " +
                                           std::to_string(Array.SendLimitBytes) +
                                           " bytes are waiting to be sent to it");
    return;
  }
  if (!InPendingWrites && !WaitingWritable) {
    InPendingWrites = true;
    Array.PendingWrites.push_back(this);
  }
}

void SessionElement::Flush() {
  InPendingWrites = false;
  if (CurrentState == SocketState::Connected && !WaitingWritable) WriteQueued();
}

void SessionElement::NotifyWhenSent() {
  if (CurrentState != SocketState::Connected) return;
  SentWanted = true;
  if (Queue.Empty()) ReportSent();
}

void SessionElement::Close() {
  std::error_code ignored;
  Socket.close(ignored);
  Queue.Clear();
  Received.clear();
  EndConnection(SocketState::Closed);
}

void SessionElement::WaitReadable() {
  Socket.async_wait(asio::socket_base::wait_read,
                    WhileCurrent([this](const std::error_code& error) {
                      if (error) {
                        Fail(error, error.message());
                      } else {
                        ReadWaiting();
                      }
                    }));
}

void SessionElement::ReadWaiting() {
  char chunk[ReadChunk];
  std::error_code error;
  const std::size_t count = Socket.read_some(asio::buffer(chunk), error);
  if (WouldBlock(error)) {
    WaitReadable();
    return;
  }
  if (error && error != asio::error::eof) {
    Fail(error, error.message());
    return;
  }
  const std::uint64_t generation = Generation;
  EventDelivery& delivery = Array.Delivery;
  if (error) {
    EndConnection(SocketState::Closing);
    delivery.Deliver([&] { delivery.Events().wSession_Close(Index); });
  } else {
    Received.append(chunk, count);
    delivery.Deliver(
        [&] { delivery.Events().wSession_DataArrival(Index, static_cast<long>(count)); });
  }
  // The handler may have closed the connection, or ended it and started the next one.
  if (generation == Generation) WaitReadable();
}

void SessionElement::WriteQueued() {
  while (!Queue.Empty()) {
    std::error_code error;
    const std::size_t written = Socket.write_some(Queue.Gather(), error);
    if (WouldBlock(error)) {
      WaitWritable();
      return;
    }
    if (error) {
      Fail(error, error.message());
      return;
    }
    Queue.Consume(written);
    Array.BytesSent += written;
  }
  if (SentWanted) ReportSent();
}

void SessionElement::ReportSent() {
  SentWanted = false;
  PostEvent([this](SocketEvents& events) { events.wSession_SendComplete(Index); });
}

void SessionElement::WaitWritable() {
  WaitingWritable = true;
  Socket.async_wait(asio::socket_base::wait_write,
                    WhileCurrent([this](const std::error_code& error) {
                      WaitingWritable = false;
                      if (error) {
                        Fail(error, error.message());
                      } else {
                        WriteQueued();
                      }
                    }));
}

void SessionElement::Fail(const std::error_code& error, const std::string& description) {
  // The socket and its queue go at once; the element stays in error until the next search for
  // a free element closes it.
  std::error_code ignored;
  Socket.close(ignored);
  Queue.Clear();
  EndConnection(SocketState::Error);
  PostEvent([this, number = error.value(), description](SocketEvents& events) {
    events.wSession_Error(Index, number, description);
  });
}

void SessionElement::EndConnection(SocketState state) {
  CurrentState = state;
  SentWanted = false;
  Array.Unconnected.Insert(Index);
  WaitingWritable = false;
  ++Generation;
}
