// What goes out on the stream: event parts to the sessions whose filters accept them, and on the
// tick, idle closes, the count and keep-alive parts.
#include <system_error>
#include <utility>

#include "relay/core/form1.h"
#include "relay/wire/event_stream_format.h"
#include "relay/wire/stream_format.h"

bool Form1::AllowedSender() {
  if (!Config.AllowedSenders || Config.AllowedSenders->Contains(wListen.RemoteAddress())) {
    return true;
  }
  ++Counted.DatagramsRefused;
  return false;
}

void Form1::wListen_DataArrival(long bytesTotal) {
  if (bytesTotal >= 0) {
    ++Counted.DatagramsReceived;
    Counted.DatagramBytesReceived += static_cast<std::uint64_t>(bytesTotal);
    if (!AllowedSender()) return;
  }
  std::string_view eventText;
  try {
    eventText = wListen.GetData();
  } catch (const std::system_error& failure) {
    LogText(10, "ListenSock error: ", failure.code().message());
  }
  if (eventText.empty()) return;

  // The sender's address as text is made only for a log line, a source filter or the ring.
  const auto sender = [this]() -> const std::string& { return SenderText(); };
  if (Log.Accepts(1)) {
    LogText(1, "wListen_DataArrival: Remotehost:", wListen.RemoteHost(),
            " / RemotehostIP:", sender(), " / RemotePort:", std::to_string(wListen.RemotePort()));
    LogText(1, eventText);
  }

  ++EventNumber;
  // Kept for resuming clients (and the next run), and numbered for the event-stream ones, only
  // when they can exist. It is in the ring, and the journal, before any client is sent it.
  RecentEvent* recent = nullptr;
  SharedBytes missed;  // what event-stream clients are told of datagrams the host dropped
  if (Config.BrowserAnswers) {
    const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(
        Clock.Now().time_since_epoch());
    const std::uint64_t dropped = NewHostDrops();
    recent = &Recent.Append(eventText, sender(),
                            {0, at.count(), dropped, ToldHostDrops, wListen.Origin()});
    if (recent->Missed()) missed = EventStreamMissed(recent->MissedCount());
  }
  SharedBytes part;  // built at the first recipient and shared by all of them
  const auto serve = [&](ElementIndex i, bool accepted) {
    const ClientSession& session = Sessions[i];
    // Whatever its filters: a dropped datagram may have been one they accept.
    if (missed && session.Answer == AnswerKind::EventStream &&
        session.ToldMissedBefore != recent->Seq()) {
      wSession.SendData(i, missed);
    }
    if (!accepted) return;
    ++Counted.EventParts;
    if (session.Answer == AnswerKind::EventStream) {
      return wSession.SendData(i, EventStreamBytes(*recent));
    }
    if (!part) part = EventPart(eventText, Config.UseEventContentType);
    wSession.SendData(i, part);
  };
  // The receivers are served in ascending order of their elements, as a walk over every session
  // would serve them. The parts are only queued here and written after the handler, so the order
  // of the writes would not show; but a part that takes a client past the send limit fails it at
  // once, and those failures, with their log lines, come in this order.
  if (Receivers.AcceptsEverything()) {
    // A broadcast: the streaming set is the list of receivers, and in order already.
    for (ElementIndex i = Streamers.Next(0); i != 0; i = Streamers.Next(i)) {
      if (wSession.State(i) != SocketState::Connected) {
        Stale.push_back(i);
      } else if (!Sessions[i].CatchingUp) {  // one catching up reaches this event through the ring
        serve(i, true);
      }
    }
  } else {
    // The index finds the receivers at the cost of their number and of the distinct filters.
    Receivers.ForEachAccepting(eventText, sender, [&](ElementIndex i) {
      if (wSession.State(i) != SocketState::Connected) return Stale.push_back(i);
      if (Sessions[i].CatchingUp) return;
      Sessions[i].AcceptedEvent = EventNumber;
      Serving.Insert(i);
    });
    for (ElementIndex i = missed ? EventStreamers.Next(0) : 0; i != 0; i = EventStreamers.Next(i)) {
      if (wSession.State(i) == SocketState::Connected && !Sessions[i].CatchingUp) Serving.Insert(i);
    }
    for (ElementIndex i = Serving.Next(0); i != 0; i = Serving.Next(i)) {
      Serving.Erase(i);
      serve(i, Sessions[i].AcceptedEvent == EventNumber);
    }
  }
  for (const ElementIndex i : Stale) StopStreaming(i);
  Stale.clear();
}

void Form1::tmrKeepAlive_Timer() {
  if (ServiceStopRequested()) {
    Shutdown();
    return;
  }
  ReportHostDrops();
  ReportJournalFailure();
  if (++TickCounter >= TicksPerDay) TickCounter = 0;
  CloseIdle();
  Status.ShowServingCount(CountStreaming());
  if (TickCounter % KeepAliveEveryTicks == 0) SendKeepAlive();
}

const std::string& Form1::SenderText() {
  const NetAddress address = wListen.RemoteAddress();
  if (LastSenderText.empty() || !(address == LastSender)) {
    LastSender = address;
    LastSenderText = wListen.RemoteHostIP();
  }
  return LastSenderText;
}

void Form1::ReportHostDrops() {
  const std::optional<std::uint64_t> dropped = wListen.DroppedByHost();
  if (!dropped || *dropped == ReportedHostDrops) return;
  LogText(10, "The host dropped ", std::to_string(*dropped - ReportedHostDrops),
          " event datagrams: the event socket's receive buffer was full");
  ReportedHostDrops = *dropped;
}

void Form1::ReportJournalFailure() {
  const std::string failure = RingSegments.TakeFailure();
  if (failure.empty()) return;
  LogText(10, "The event journal cannot be written: ", failure,
          "; the events from here on are kept in memory until it can be");
}

void Form1::RestoreRecent(const SocketIdentity& eventSocket) {
  if (!Config.BrowserAnswers) return;
  Recent.Restore(eventSocket);
  ToldHostDrops = ReportedHostDrops = Recent.RestoredHostDrops();
  ReportJournalFailure();
}

// The host tells its drops with the datagram queued after them, so the new ones lie just before
// the event being handled.
std::uint64_t Form1::NewHostDrops() {
  const std::optional<std::uint64_t> dropped = wListen.DroppedByHost();
  if (!dropped || *dropped == ToldHostDrops) return 0;
  return *dropped - std::exchange(ToldHostDrops, *dropped);
}

int Form1::CountStreaming() {
  int count = 0;
  ForEachStreaming([&](ElementIndex) { ++count; });
  return count;
}

void Form1::SendKeepAlive() {
  const std::string now = LocalDateTimeText(Clock.Now());
  const SharedBytes part = KeepAlivePart(now);
  EventStreamTick eventStream{now, nullptr, nullptr};
  ForEachStreaming([&](ElementIndex i) {
    ++Counted.KeepAliveParts;
    if (Sessions[i].Answer != AnswerKind::EventStream) return wSession.SendData(i, part);
    wSession.SendData(i, EventStreamKeepAliveFor(Sessions[i], eventStream));
  });
}
