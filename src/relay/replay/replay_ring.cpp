#include "relay/replay/replay_ring.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <utility>

#include "relay/replay/event_hash.h"

namespace {

template <class Number>
bool ReadNumber(std::string_view text, Number& value, int base) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::size_t SizeOf(const SharedBytes& bytes) { return bytes ? bytes->size() : 0; }

// A segment of an earlier run and the records it holds, as far as they are whole and in order.
struct KeptSegment {
  char* Bytes;
  journal::SegmentHeader Header;
  std::vector<std::size_t> Records;  // where each begins
  std::size_t End = journal::SegmentHeaderBytes;
};

KeptSegment ReadKept(char* bytes, const journal::SegmentHeader& header) {
  KeptSegment kept{bytes, header, {}};
  // The last 8 bytes are never a record's: they hold the cleared mark after the last one.
  const std::size_t room = journal::SegmentBytes - 8;
  while (const auto record = journal::ReadRecord(bytes + kept.End, room - kept.End,
                                                 header.FirstSeq + kept.Records.size())) {
    kept.Records.push_back(kept.End);
    kept.End += record->Size;
  }
  return kept;
}

}  // namespace

std::optional<std::uint64_t> RecentEvent::MissedCount() const {
  const std::uint64_t missed = View().Fields.MissedBefore;
  if (missed == journal::UnknownCount) return std::nullopt;
  return missed;
}

ReplayRing::ReplayRing(std::size_t capacity, std::uint32_t runTag, SegmentStore& store)
    : Capacity(capacity), Store(store), RunTag(runTag), Slots(16) {}

void ReplayRing::Restore(const SocketIdentity& socket) {
  EventSocket = socket;
  std::vector<KeptSegment> kept;
  for (char* bytes : Store.Kept()) {
    const auto header = journal::ReadSegmentHeader(bytes, journal::SegmentBytes);
    if (!header) {
      Store.Release(bytes);
      continue;
    }
    // New segments come after every one found, also after those the ring does not take up.
    Generation = std::max(Generation, header->Generation);
    kept.push_back(ReadKept(bytes, *header));
  }
  // A journal begun now names the socket at once, so that a run that dies before its first event
  // leaves what it received to the next.
  if (kept.empty()) return OpenSegment();
  std::sort(kept.begin(), kept.end(), [](const KeptSegment& a, const KeptSegment& b) {
    return a.Header.Generation < b.Header.Generation;
  });
  // The newest segment and those written just before it, each ending where the next begins:
  // what lies before a break cannot be numbered.
  std::size_t begin = kept.size() - 1;
  for (; begin > 0; --begin) {
    const KeptSegment &before = kept[begin - 1], &after = kept[begin];
    if (before.Header.Generation + 1 != after.Header.Generation || before.Records.empty() ||
        before.Header.FirstSeq + before.Records.size() != after.Header.FirstSeq) {
      break;
    }
  }
  for (std::size_t i = 0; i < begin; ++i) Store.Release(kept[i].Bytes);
  std::size_t records = 0;
  for (std::size_t i = begin; i < kept.size(); ++i) records += kept[i].Records.size();
  Slots.resize(std::max(Slots.size(), std::bit_ceil(records + 1)));  // grown once, not doubling
  const journal::SegmentHeader& newest = kept.back().Header;
  // A run that served events it could not write gave their numbers away: this one goes on with
  // a run of its own, so that no id names two events.
  if (!newest.Interrupted) RunTag = newest.RunTag;
  First = Next = kept[begin].Header.FirstSeq;
  for (std::size_t i = begin; i < kept.size(); ++i) {
    const KeptSegment& segment = kept[i];
    Segments.push_back({segment.Bytes, segment.Header.FirstSeq, segment.End});
    for (const std::size_t at : segment.Records) {
      const journal::RecordView view = journal::ViewRecord(segment.Bytes + at);
      Push(segment.Bytes + at, view.Size).MissedAny = view.Fields.MissedBefore != 0;
    }
  }
  Trim();
  GapBeforeNext = !(newest.Socket == socket) || newest.Interrupted;
  const journal::RecordFields last =
      Count > 0 ? journal::ViewRecord(Slot(Next - 1).Record).Fields : journal::RecordFields{};
  EndAtRestore = {last.Origin, !GapBeforeNext};
  if (!GapBeforeNext) HostDropsAtRestore = last.HostDrops;
}

RecentEvent& ReplayRing::Append(std::string_view text, std::string_view senderIp,
                                journal::RecordFields fields) {
  senderIp = senderIp.substr(0, journal::MaxSenderBytes);
  const std::size_t size = journal::RecordSize(senderIp.size(), text.size());
  if (Segments.empty() || Segments.back().End + size + 8 > journal::SegmentBytes) OpenSegment();
  Segment& segment = Segments.back();
  char* record = segment.Bytes + segment.End;
  fields.Seq = Next;
  const bool gap = std::exchange(GapBeforeNext, false);
  if (gap) fields.MissedBefore = journal::UnknownCount;
  journal::WriteRecord(record, fields, senderIp, text);
  segment.End += size;
  // The gap is written down with the record: from now on the segment taken up is this run's.
  if (gap) WriteHeader(segment, false);
  RecentEvent& event = Push(record, size);
  event.MissedAny = fields.MissedBefore != 0;
  Trim();
  return event;
}

void ReplayRing::Trim() {
  while (Count > std::max(Capacity, DigestWindow) || (HeldBytes > MaxBytes && Count > 1)) {
    DropOldest();
  }
}

RecentEvent& ReplayRing::Push(const char* record, std::size_t size) {
  if (Count == Slots.size()) {
    std::vector<RecentEvent> larger(Slots.size() * 2);
    for (std::size_t i = 0; i < Count; ++i) larger[i] = std::move(Slot(First + i));
    Slots = std::move(larger);
    Head = 0;
  }
  if (Count == 0) First = Next;
  ++Count;
  ++Next;
  HeldBytes += size;
  RecentEvent& event = Slot(Next - 1);
  event = RecentEvent();
  event.Record = record;
  event.Size = static_cast<std::uint32_t>(size);
  return event;
}

void ReplayRing::OpenSegment() {
  char* bytes = Store.Open();
  const bool journals = Store.Journals(bytes);
  if (!Segments.empty() && !journals && Store.Journals(Segments.back().Bytes)) {
    // What follows is served but not written: the next run must not take the journal's end
    // for the last event served.
    WriteHeader(Segments.back(), true);
  }
  journal::WriteSegmentHeader(bytes, {++Generation, RunTag, Next, EventSocket, false});
  std::memset(bytes + journal::SegmentHeaderBytes, 0, 8);
  Segments.push_back({bytes, Next, journal::SegmentHeaderBytes});
}

void ReplayRing::WriteHeader(const Segment& segment, bool interrupted) {
  journal::WriteSegmentHeader(segment.Bytes, {Generation, RunTag, segment.FirstSeq, EventSocket,
                                              interrupted});
}

void ReplayRing::DropOldest() {
  RecentEvent& oldest = Slot(First);
  HeldBytes -= oldest.Size + SizeOf(oldest.EventStreamBytes) + SizeOf(oldest.MultipartBytes);
  oldest = RecentEvent();
  ++First;
  --Count;
  Head = (Head + 1) & (Slots.size() - 1);
  // A segment goes once the ring holds none of its records, the newest never.
  while (Segments.size() > 1 && Segments[1].FirstSeq <= First) {
    Store.Release(Segments.front().Bytes);
    Segments.pop_front();
  }
}

const SharedBytes& ReplayRing::KeepFraming(SharedBytes& slot, SharedBytes framing) {
  if (Capacity > 0) HeldBytes += framing->size();
  return slot = std::move(framing);
}

std::uint64_t ReplayRing::OwnHashOf(std::uint64_t seq) {
  // One the ring no longer holds counts as none, as before a run's first event.
  if (seq < First || seq >= Next) return 0;
  RecentEvent& event = Slot(seq);
  if (!std::exchange(event.Hashed, true)) {
    const journal::RecordView view = event.View();
    event.OwnHash = MixBytes(MixBytes(0, view.SenderIp), view.Text);
  }
  return event.OwnHash;
}

std::uint64_t ReplayRing::DigestOf(RecentEvent& event) {
  if (std::exchange(event.Digested, true)) return event.Digest;
  const std::uint64_t seq = event.Seq();
  std::uint64_t digest = 0;
  for (std::uint64_t back = DigestWindow; back-- > 0;) {  // oldest first, the event itself last
    digest = Mix(digest, seq >= back ? OwnHashOf(seq - back) : 0);
  }
  return event.Digest = digest;
}

std::string ReplayRing::IdOf(RecentEvent& event) {
  char id[48];
  char* end = std::to_chars(id, id + 16, DigestOf(event), 16).ptr;
  const std::size_t digits = static_cast<std::size_t>(end - id);
  // Fixed width, so that ids line up in a log and sort as text within a run.
  std::memmove(id + 16 - digits, id, digits);
  std::memset(id, '0', 16 - digits);
  id[16] = '-';
  end = std::to_chars(id + 17, id + 25, RunTag, 16).ptr;
  *end++ = '-';
  end = std::to_chars(end, id + sizeof id, event.Seq()).ptr;
  return std::string(id, end);
}

ReplayRing::Resumption ReplayRing::ResumeAfter(std::string_view id) {
  const Resumption unplaced{Next, false, std::nullopt};
  const std::size_t first = id.find('-'), second = id.find('-', first + 1);
  std::uint64_t digest = 0, seq = 0;
  std::uint32_t run = 0;
  if (second == std::string_view::npos || !ReadNumber(id.substr(0, first), digest, 16) ||
      !ReadNumber(id.substr(first + 1, second - first - 1), run, 16) ||
      !ReadNumber(id.substr(second + 1), seq, 10)) {
    return unplaced;
  }
  if (run == RunTag && seq < Next) {
    if (seq + 1 < OldestSeq()) return {OldestSeq(), false, OldestSeq() - seq - 1};
    if (seq + 1 == OldestSeq() || DigestOf(Slot(seq)) == digest) return {seq + 1, true, std::nullopt};
    return unplaced;
  }
  // The newest match, and none older: a digest seen twice cannot tell which one the client saw.
  std::optional<std::uint64_t> found;
  for (std::uint64_t at = Next; at-- > OldestSeq();) {
    if (DigestOf(Slot(at)) != digest) continue;
    if (found) return unplaced;
    found = at;
  }
  if (!found) return unplaced;
  return {*found + 1, true, std::nullopt};
}

RecentEvent* ReplayRing::Find(std::uint64_t seq) {
  if (seq < OldestSeq() || seq >= Next) return nullptr;
  return &Slot(seq);
}
