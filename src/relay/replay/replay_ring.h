#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "common/shared_bytes.h"

// One event as the ring keeps it: its text and sender, shared with the parts built from it, and
// its place in the stream.
struct RecentEvent {
  std::uint64_t Seq = 0;     // this run's number for it, from 0
  std::uint64_t Digest = 0;  // of its sender and text and of the events just before it
  std::int64_t AtMs = 0;     // arrival, milliseconds since the Unix epoch
  std::string SenderIp;
  SharedBytes Text;
  // Its framings for the clients that are sent it from the ring, each built at its first such
  // receiver.
  SharedBytes EventStreamBytes;
  SharedBytes MultipartBytes;
  std::uint64_t MissedBefore = 0;  // datagrams the host dropped just before this one
};

// The most recent events, for clients that resume from the last one they saw.
//
// An event's id is "<digest>-<run>-<seq>". A client that resumes at this run is found by its
// number; one that resumes with another relay's id (relays of one multicast group see the same
// datagrams in the same order) or an earlier run's is found by the digest, which depends only on
// the datagrams: the senders and texts of the event and of the ones just before it. That context
// tells repeated texts apart, and it is short, so that a relay that started later than another,
// or lost a datagram the other received, gives the same digests again a few events later. A
// digest that is not in the ring, or is there more than once, cannot place the client, and the
// resumption says so. Digests are found by a scan of their own compact copy: a resumption from
// elsewhere costs a fraction of a millisecond, where an index would cost every event a map
// update.
class ReplayRing {
 public:
  // The ring also gives up its oldest events past this many bytes of event text and framing.
  static constexpr std::size_t MaxBytes = std::size_t{64} << 20;
  // The events a digest covers: the event itself and the ones before it.
  static constexpr std::size_t DigestWindow = 4;

  ReplayRing(std::size_t capacity, std::uint32_t runTag) : Capacity(capacity), RunTag(runTag) {}

  RecentEvent& Append(SharedBytes text, std::string senderIp, std::int64_t atMs);
  std::string IdOf(const RecentEvent& event) const;
  // Keeps a framing in one of a kept event's slots for it, counted against MaxBytes.
  const SharedBytes& KeepFraming(SharedBytes& slot, SharedBytes framing);

  struct Resumption {
    std::uint64_t Next;  // the first event the client gets
    bool Complete;       // false: events may be missing before Next
    std::optional<std::uint64_t> Missed;  // how many, when that can be told
  };
  Resumption ResumeAfter(std::string_view id) const;

  // The event numbered seq while the ring holds it, else null.
  RecentEvent* Find(std::uint64_t seq);
  std::uint64_t NextSeq() const { return Next; }
  std::uint64_t OldestSeq() const { return Next - Events.size(); }
  std::size_t Size() const { return Events.size(); }
  std::size_t Bytes() const { return HeldBytes; }

 private:
  void DropOldest();

  const std::size_t Capacity;
  const std::uint32_t RunTag;
  std::uint64_t Next = 0;
  // The senders' and texts' own hashes of the newest events, at their numbers modulo the window.
  std::array<std::uint64_t, DigestWindow> Window{};
  std::deque<RecentEvent> Events;
  std::deque<std::uint64_t> Digests;  // of Events, in the same order
  RecentEvent Unkept;  // the newest event when the ring keeps none
  std::size_t HeldBytes = 0;
};
