// The fan-out through the filter index against a plain walk over the sessions in ascending order:
// clients with source and text filters over a small alphabet (so that filters overlap and hold
// one another), both stream kinds, resumption, closes, errors, datagrams the host dropped and
// events from three senders. Every event must reach exactly the sessions the walk finds, in the
// walk's order, each with the notice of drops before the event where one is due.
#include <map>

#include "fuzz_input.h"
#include "support/relay_fakes.h"

namespace {

const std::string Senders[] = {"10.0.0.5", "10.0.0.6", "10.0.0.7"};

struct Subscriber {
  std::string ip, filter;
  bool eventStream;
};

struct FanOut : FakeRelay {
  std::map<ElementIndex, Subscriber> streaming;  // as the script made them
  std::uint64_t dropped = 0, untold = 0;  // by the host; not yet told with an event
  std::string firstId;  // of the first event an event-stream client got: resuming there replays

  static std::string Word(FuzzInput& in, std::size_t longest) {
    std::string word(in.Byte() % (longest + 1), ' ');
    for (char& c : word) c = "abc"[in.Byte() % 3];
    return word;
  }

  void Subscribe(FuzzInput& in, std::uint8_t step) {
    const ElementIndex i = Connect();
    if (i == 0) return;
    const Subscriber s{in.Byte() % 2 ? Senders[in.Byte() % 2] : "", Word(in, 4), (step & 8) != 0};
    Receive(i, "GET /?source_ip=" + s.ip + "&TextFilter=" + s.filter +
                   (step & 16 ? "&last_event_id=" + firstId : "") + " HTTP/1.0\r\n" +
                   (s.eventStream ? "Accept: text/event-stream\r\n\r\n" : "\r\n"));
    streaming[i] = s;
  }

  void Event(FuzzInput& in, std::uint8_t step) {
    const std::string& sender = Senders[in.Byte() % 3];
    datagrams.sender = *ParseAddress(sender);
    std::string& text = datagrams.text = Word(in, 24);
    while (step & 8 && !text.empty() && text.size() < 8192) text += text;
    const std::uint64_t more = step & 16 ? 1 + in.Byte() % 3 : 0;
    datagrams.dropped = dropped += more;
    untold += more;
    const std::uint64_t drops = text.empty() ? 0 : std::exchange(untold, 0);
    const std::string missed = "event: missed\ndata: {\"missed\":" + std::to_string(drops) + "}\n\n",
                      tail = "\"from\":\"" + sender + "\",\"text\":\"" + text + "\"}\n\n",
                      part = "Content-Type: text/x-zelva-event\r\n\r\n" + text + "\r\n--ABCDEF12345678\r\n";
    std::vector<std::pair<ElementIndex, const std::string*>> due;  // each send's element and end
    std::map<ElementIndex, std::size_t> before;
    for (const auto& [e, s] : streaming) {
      before[e] = sockets.elements[e].sent.size();
      if (text.empty() || sockets.State(e) != SocketState::Connected || form.Session(e).CatchingUp)
        continue;
      if (drops && s.eventStream) due.emplace_back(e, &missed);
      if ((s.ip.empty() || s.ip == sender) && text.find(s.filter) != std::string::npos)
        due.emplace_back(e, s.eventStream ? &tail : &part);
    }
    sockets.order.clear();
    form.wListen_DataArrival(static_cast<long>(text.size()));
    Require(sockets.order.size() == due.size(), "each receiver is sent to, and no one else");
    for (std::size_t k = 0; k < due.size(); ++k) {
      const auto& [e, end] = due[k];
      Require(sockets.order[k] == e, "receivers are served in ascending order");
      const std::string& sent = *sockets.elements[e].sent[before[e]++];
      Require(sent.ends_with(*end) && (end == &tail || sent.size() == end->size()),
              "with what the walk sends");
      if (firstId.empty() && end == &tail) firstId = sent.substr(4, sent.find('\n') - 4);
    }
  }

  void Step(FuzzInput& in) {
    const std::uint8_t step = in.Byte();
    const auto i = static_cast<ElementIndex>(1 + in.Number(sockets.elements.size()));
    const bool connected = i <= sockets.HighestIndex() && sockets.State(i) == SocketState::Connected;
    if (step % 8 < 3) {
      Subscribe(in, step);
    } else if (step % 8 == 3 && connected) {
      form.wSession_Close(i);
      streaming.erase(i);
    } else if (step % 8 == 4 && connected) {
      sockets.elements[i].state = SocketState::Error;
      form.wSession_Error(i, 10054, "Connection reset by peer");
      streaming.erase(i);
    } else if (step % 8 == 5 && connected) {
      form.wSession_SendComplete(i);  // a resuming client's next batch
    } else if (step % 8 >= 6) {
      Event(in, step);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  FanOut relay;
  relay.datagrams.dropped = 0;
  while (in.Size > 0) relay.Step(in);
  return 0;
}
