#include "relay/asio_session_sockets.h"

#include <cstdio>

#include "asio/post.hpp"

namespace {
// Every read takes all a client has sent, up to this much at once.
constexpr std::size_t ReadChunk = 65536;
constexpr auto AcceptRetryDelay = std::chrono::milliseconds(100);

bool WouldBlock(const std::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}
}  // namespace

struct AsioSessionSockets::Element {
  explicit Element(asio::io_context& io) : socket(io) {}
  asio::ip::tcp::socket socket;
  int state = SocketState::Closed;
  // Changes with every accept and close, so completions meant for an earlier connection of the
  // element are recognised and dropped.
  std::uint64_t generation = 0;
  SendQueue queue;
  bool inFlushList = false;
  bool waitingWritable = false;
  std::string received;
};

AsioSessionSockets::AsioSessionSockets(asio::io_context& io, std::size_t sendLimitBytes)
    : Io(io),
      SendLimitBytes(sendLimitBytes),
      Acceptor(io),
      Pending(io),
      AcceptRetry(io),
      ReadBuffer(ReadChunk) {
  Elements.push_back(std::make_unique<Element>(io));
}

AsioSessionSockets::~AsioSessionSockets() = default;

void AsioSessionSockets::Listen(std::uint16_t port) {
  const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), port);
  Acceptor.open(endpoint.protocol());
  // Lets a restarted relay listen while old connections linger in TIME_WAIT; another listener
  // on the port still makes bind fail.
  Acceptor.set_option(asio::socket_base::reuse_address(true));
  Acceptor.bind(endpoint);
  Acceptor.listen(asio::socket_base::max_listen_connections);
  Elements[0]->state = SocketState::Listening;
}

void AsioSessionSockets::Start(SocketEvents& events) {
  Events = &events;
  AcceptNext();
}

void AsioSessionSockets::CloseAll() {
  std::error_code ignored;
  Acceptor.close(ignored);
  AcceptRetry.cancel();
  for (std::size_t i = 1; i < Elements.size(); ++i) Close(static_cast<ElementIndex>(i));
}

void AsioSessionSockets::AcceptNext() {
  Acceptor.async_accept(Pending, [this](const std::error_code& error) { OnAccepted(error); });
}

void AsioSessionSockets::OnAccepted(const std::error_code& error) {
  if (error == asio::error::operation_aborted) return;
  if (error) {
    // Typically out of file descriptors: try again shortly instead of spinning.
    AcceptRetry.expires_after(AcceptRetryDelay);
    AcceptRetry.async_wait([this](const std::error_code& waitError) {
      if (!waitError) AcceptNext();
    });
    return;
  }
  ++PendingId;
  std::error_code peerError;
  const auto peer = Pending.remote_endpoint(peerError);
  PendingPeer = peerError ? std::string() : peer.address().to_string();
  Deliver([&] { Events->wSession_ConnectionRequest(0, PendingId); });
  // A connection the relay did not accept is refused.
  if (Pending.is_open()) {
    std::error_code ignored;
    Pending.close(ignored);
  }
  FlushPendingWrites();
  AcceptNext();
}

ElementIndex AsioSessionSockets::HighestIndex() const {
  return static_cast<ElementIndex>(Elements.size() - 1);
}

void AsioSessionSockets::AddElement() {
  Elements.push_back(std::make_unique<Element>(Io));
}

AsioSessionSockets::Element& AsioSessionSockets::At(ElementIndex index) const {
  return *Elements.at(static_cast<std::size_t>(index));
}

int AsioSessionSockets::State(ElementIndex index) const {
  return At(index).state;
}

std::string AsioSessionSockets::RemoteHostIP(ElementIndex index) const {
  if (index == 0) return PendingPeer;
  std::error_code error;
  const auto peer = At(index).socket.remote_endpoint(error);
  return error ? std::string() : peer.address().to_string();
}

void AsioSessionSockets::Accept(ElementIndex index, RequestId requestID) {
  Element& element = At(index);
  if (index == 0 || requestID != PendingId || !Pending.is_open()) return;
  element.socket = std::move(Pending);
  std::error_code ignored;
  element.socket.non_blocking(true, ignored);
  // Parts are already gathered into few writes; Nagle would only add latency to small ones.
  element.socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  element.state = SocketState::Connected;
  ++element.generation;
  WaitReadable(index);
}

void AsioSessionSockets::WaitReadable(ElementIndex index) {
  Element& element = At(index);
  const std::uint64_t generation = element.generation;
  element.socket.async_wait(asio::socket_base::wait_read,
                            [this, index, generation](const std::error_code& error) {
                              OnReadable(index, generation, error);
                            });
}

void AsioSessionSockets::OnReadable(ElementIndex index, std::uint64_t generation,
                                    const std::error_code& waitError) {
  Element& element = At(index);
  if (element.generation != generation || element.state != SocketState::Connected) return;
  if (waitError) {
    Fail(index, waitError, waitError.message());
    return;
  }
  std::error_code error;
  const std::size_t count = element.socket.read_some(asio::buffer(ReadBuffer), error);
  if (WouldBlock(error)) {
    WaitReadable(index);
    return;
  }
  if (error == asio::error::eof) {
    element.state = SocketState::Closing;
    Deliver([&] { Events->wSession_Close(index); });
  } else if (error) {
    Fail(index, error, error.message());
    return;
  } else {
    element.received.append(ReadBuffer.data(), count);
    Deliver([&] { Events->wSession_DataArrival(index, static_cast<long>(count)); });
  }
  FlushPendingWrites();
  if (element.generation == generation && element.state == SocketState::Connected) {
    WaitReadable(index);
  }
}

std::string AsioSessionSockets::GetData(ElementIndex index) {
  std::string data;
  data.swap(At(index).received);
  return data;
}

void AsioSessionSockets::SendData(ElementIndex index, SharedBytes bytes) {
  Element& element = At(index);
  if (element.state != SocketState::Connected) return;
  element.queue.Push(std::move(bytes));
  if (element.queue.WaitingBytes() > SendLimitBytes) {
    Fail(index, asio::error::no_buffer_space,
         "client is not reading: more than " + std::to_string(SendLimitBytes) +
             " bytes are waiting to be sent to it");
    return;
  }
  if (!element.inFlushList && !element.waitingWritable) {
    element.inFlushList = true;
    FlushList.push_back(index);
  }
}

void AsioSessionSockets::FlushPendingWrites() {
  // Indices, not references: a write failure may fail its element but never adds elements.
  for (std::size_t i = 0; i < FlushList.size(); ++i) {
    const ElementIndex index = FlushList[i];
    At(index).inFlushList = false;
    if (At(index).state == SocketState::Connected) WriteQueued(index);
  }
  FlushList.clear();
}

void AsioSessionSockets::WriteQueued(ElementIndex index) {
  Element& element = At(index);
  while (!element.queue.Empty()) {
    std::error_code error;
    const std::size_t written = element.socket.write_some(element.queue.Gather(), error);
    if (WouldBlock(error)) {
      WaitWritable(index);
      return;
    }
    if (error) {
      Fail(index, error, error.message());
      return;
    }
    element.queue.Consume(written);
  }
}

void AsioSessionSockets::WaitWritable(ElementIndex index) {
  Element& element = At(index);
  element.waitingWritable = true;
  const std::uint64_t generation = element.generation;
  element.socket.async_wait(asio::socket_base::wait_write,
                            [this, index, generation](const std::error_code& error) {
                              Element& waited = At(index);
                              if (waited.generation != generation) return;
                              waited.waitingWritable = false;
                              if (waited.state != SocketState::Connected) return;
                              if (error) {
                                Fail(index, error, error.message());
                              } else {
                                WriteQueued(index);
                              }
                            });
}

void AsioSessionSockets::Fail(ElementIndex index, const std::error_code& error,
                              const std::string& description) {
  Element& element = At(index);
  // The socket and its queue go at once; the element stays in error until the next search for
  // a free element closes it.
  std::error_code ignored;
  element.socket.close(ignored);
  element.queue.Clear();
  element.state = SocketState::Error;
  element.waitingWritable = false;
  const std::uint64_t generation = ++element.generation;
  // Reported as an event of its own, never from inside the call that met the failure.
  asio::post(Io, [this, index, generation, number = error.value(), description] {
    if (At(index).generation != generation) return;
    Deliver([&] { Events->wSession_Error(index, number, description); });
    FlushPendingWrites();
  });
}

void AsioSessionSockets::Close(ElementIndex index) {
  Element& element = At(index);
  std::error_code ignored;
  element.socket.close(ignored);
  element.queue.Clear();
  element.received.clear();
  element.state = SocketState::Closed;
  element.waitingWritable = false;
  ++element.generation;
}

void AsioSessionSockets::ReportHandlerFailure(const std::exception& failure) {
  std::fprintf(stderr, "KorvelCaptureServer: an event handler failed: %s\n", failure.what());
}
