// Client arrivals, requests, stray bytes, closes, socket errors, events, ticks and a stop in any
// order, fed to the relay over the fake sockets and checked after every step against a plain walk
// over the element array. Seeds of over 4,096 clients cross the element sets' summaries.
#include "fuzz_input.h"
#include "support/relay_fakes.h"

namespace {

using SocketState::Closed, SocketState::Connected;
// The protocol's numbers, written out here so that a changed limit in the relay shows up.
constexpr std::size_t ArrivalLimit = 1000, RequestLimit = 1000, KeepAliveTicks = 5;
constexpr auto IdleLimit = std::chrono::seconds(10);

std::string Framed(const std::string& type, const std::string& body) {
  return "Content-Type: " + type + "\r\n\r\n" + body + "\r\n--ABCDEF12345678\r\n";
}

struct CheckedRelay : FakeRelay {
  std::vector<WallTime> admitted{WallTime{}};

  // The streaming sessions whose filters accept the event (all of them when null), in order.
  std::vector<ElementIndex> Receivers(const std::string* event) const {
    std::vector<ElementIndex> receivers;
    for (ElementIndex e = 1; e <= sockets.HighestIndex(); ++e) {
      const std::string ip = GetParam(form.Session(e).Params, "source_ip");
      const std::string text = GetParam(form.Session(e).Params, "TextFilter");
      if (sockets.State(e) == Connected && form.Session(e).Streaming &&
          (!event || ((ip.empty() || ip == "10.0.0.5") && event->find(text) != std::string::npos)))
        receivers.push_back(e);
    }
    return receivers;
  }

  void RequireSent(const std::vector<ElementIndex>& receivers, const std::string& part) const {
    Require(sockets.order == receivers, "a part reaches exactly its receivers, in order");
    for (ElementIndex e : receivers)
      Require(sockets.elements[e].sent.back() == sockets.elements[receivers[0]].sent.back() &&
                  *sockets.elements[e].sent.back() == part,
              "every receiver shares one exactly framed part");
  }

  void Admit() {
    int lowest = 1;  // wider than an index: a full array has no free element
    while (lowest <= sockets.HighestIndex() && sockets.State(lowest) != Closed) ++lowest;
    Require(Connect() == (lowest > MaxElementIndex ? 0 : lowest), "the lowest closed is taken");
    for (ElementIndex e = 1; e < lowest; ++e)
      Require(sockets.State(e) == Connected || sockets.State(e) == Closed, "stale ones are freed");
    admitted.resize(sockets.elements.size());
    if (lowest <= MaxElementIndex) admitted[lowest] = clock.Now();
  }

  void Arrive(ElementIndex i, const std::string& text) {
    const ClientSession before = form.Session(i);
    Receive(i, text);
    const ClientSession& after = form.Session(i);
    if (text.empty() || text.size() > ArrivalLimit) {
      Require(after.RequestBuffer == before.RequestBuffer, "an empty or long arrival is dropped");
    } else if (before.Streaming || before.RequestBuffer.size() >= RequestLimit) {
      Require(sockets.State(i) == Closed, "data after the answer or past the limit ends it");
    } else {
      Require(after.RequestBuffer == before.RequestBuffer + text, "a request is kept whole");
      RequireSent(after.Streaming ? std::vector<ElementIndex>{i} : std::vector<ElementIndex>{},
                  "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary="
                  "ABCDEF12345678\r\n\r\n--ABCDEF12345678\r\n");
    }
  }

  // A tick that finds a stop requested shuts down and does nothing else.
  void Tick(std::chrono::milliseconds step, bool stop) {
    clock.Advance(step);
    stopRequested = stop;
    std::vector<ElementIndex> open, idle;
    for (ElementIndex e = 1; e <= sockets.HighestIndex(); ++e) {
      if (sockets.State(e) != Connected) continue;
      const bool expired = clock.Now() > admitted[e] + IdleLimit;
      (!stop && !form.Session(e).Streaming && expired ? idle : open).push_back(e);
    }
    const bool keepAlive = !stop && (form.TickCount() + 1) % KeepAliveTicks == 0;
    const std::vector<int> shown = host.shown;
    const int shutdownsBefore = shutdowns;
    form.tmrKeepAlive_Timer();
    for (ElementIndex e : open) Require(sockets.State(e) == Connected, "others stay open");
    for (ElementIndex e : idle) Require(sockets.State(e) == Closed, "idle pending clients close");
    const std::vector<ElementIndex> streaming = Receivers(nullptr);
    std::vector<int> count = shown;
    if (!stop) count.push_back(static_cast<int>(streaming.size()));
    Require(host.shown == count && shutdowns == shutdownsBefore + stop,
            "each tick shows the count, or a requested stop shuts down");
    RequireSent(keepAlive ? streaming : std::vector<ElementIndex>{},
                Framed("text/keepalive", LocalDateTimeText(clock.Now())));
  }

  void Step(FuzzInput& in) {
    const std::uint8_t step = in.Byte();
    const auto i = static_cast<ElementIndex>(in.Number(sockets.elements.size() + 1));
    const bool connected = i >= 1 && i <= sockets.HighestIndex() && sockets.State(i) == Connected;
    sockets.order.clear();
    if (step % 8 < 2) {
      Admit();
    } else if (step % 8 < 4) {  // a well-formed request, or any bytes, past the limit too
      const std::string text =
          step % 8 == 2 ? "GET /?" + in.Text(40) + " HTTP/1.0\r\n\r\n" : in.Text(255);
      std::string arrival = text;
      for (int n = step / 8 % 8; n > 0; --n) arrival += text;
      if (connected) Arrive(i, arrival);
    } else if (step % 8 == 4) {
      form.wSession_Close(i);  // the listener and unknown elements are left alone
      Require(!connected || sockets.State(i) == Closed, "a peer's close frees it");
    } else if (step % 8 == 5 && connected) {
      sockets.elements[i].state = SocketState::Error;
      form.wSession_Error(i, 10054, "Connection reset by peer");
    } else if (step % 8 == 6) {
      const std::string& text = datagrams.text = in.Text(64);
      const auto receivers = text.empty() ? std::vector<ElementIndex>{} : Receivers(&text);
      form.wListen_DataArrival(static_cast<long>(text.size()));
      RequireSent(
          receivers,
          Framed(settings.UseEventContentType ? "text/x-zelva-event" : "text/plaintext", text));
    } else if (step % 8 == 7) {
      Tick(std::chrono::milliseconds(100 * in.Byte()), step == 255);
    }
    Require(sockets.State(0) == SocketState::Listening, "the listener stays");
    for (ElementIndex e = 1; e <= sockets.HighestIndex(); ++e) {
      const ClientSession& session = form.Session(e);
      Require(sockets.State(e) != Closed || session.RequestBuffer.empty(), "closed is cleared");
      Require(session.Streaming == (session.RequestBuffer.find("\r\n\r\n") != std::string::npos),
              "a record streams exactly when its request is complete");
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  CheckedRelay relay;
  relay.settings.UseEventContentType = in.Byte() & 1;
  relay.settings.BrowserAnswers = false;  // the model is of the multipart stream
  while (in.Size > 0) relay.Step(in);
  return 0;
}
