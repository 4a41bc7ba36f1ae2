#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/shared_bytes.h"
#include "common/socket_identity.h"
#include "relay/replay/journal_format.h"
#include "relay/replay/segment_store.h"

// One event as the ring keeps it: its record, written once into a segment, and the framings
// built from it for the clients that are sent it from the ring, each at its first such receiver.
class RecentEvent {
 public:
  std::uint64_t Seq() const { return View().Fields.Seq; }
  std::int64_t AtMs() const { return View().Fields.AtMs; }  // since the Unix epoch
  std::string_view SenderIp() const { return View().SenderIp; }
  std::string_view Text() const { return View().Text; }
  // Whether datagrams were lost just before this one, and how many when that can be told.
  bool Missed() const { return MissedAny; }
  std::optional<std::uint64_t> MissedCount() const;

  SharedBytes EventStreamBytes;
  SharedBytes MultipartBytes;

 private:
  friend class ReplayRing;
  journal::RecordView View() const { return journal::ViewRecord(Record); }

  const char* Record = nullptr;
  std::uint32_t Size = 0;  // of the record: letting it go never reads its cold bytes
  bool MissedAny = false;
  // Taken only when an id or a resumption needs them: a relay whose clients never ask for ids
  // never reads an event's text twice.
  std::uint64_t OwnHash = 0;
  std::uint64_t Digest = 0;
  bool Hashed = false;
  bool Digested = false;
};

// The most recent events, for clients that resume from the last one they saw, and for the next
// run of the relay when its segments are the files of a journal.
//
// An event's id is "<digest>-<run>-<seq>". A client that resumes at this run is found by its
// number; one that resumes with another relay's id (relays of one multicast group see the same
// datagrams in the same order) or an unrelated run's is found by the digest, which depends only on
// the datagrams: the senders and texts of the event and of the ones just before it. That context
// tells repeated texts apart, and it is short, so that a relay that started later than another,
// or lost a datagram the other received, gives the same digests again a few events later. A
// digest that is not in the ring, or is there more than once, cannot place the client, and the
// resumption says so. A run that takes up a journal goes on with its run and numbers, so ids
// handed out before a restart place their clients exactly after it.
class ReplayRing {
 public:
  // The ring also gives up its oldest events past this many bytes of records and framing.
  static constexpr std::size_t MaxBytes = std::size_t{64} << 20;
  // The events a digest covers: the event itself and the ones before it.
  static constexpr std::size_t DigestWindow = 4;

  ReplayRing(std::size_t capacity, std::uint32_t runTag, SegmentStore& store);

  // Takes up the events an earlier run kept in the store. Unless socket is the event socket that
  // run read from, and it wrote all it served, the next event follows a gap of unknown size.
  void Restore(const SocketIdentity& socket);
  // The event socket's count of dropped datagrams at the restored journal's end, when the
  // socket is the same; else 0.
  std::uint64_t RestoredHostDrops() const { return HostDropsAtRestore; }
  // Where the restored journal ends: its last datagram's origin (0: none), and whether it was
  // written from the same socket, so that a datagram received after it, never written and never
  // sent to anyone, is still to be handled.
  struct JournalEnd {
    std::uint64_t LastOrigin = 0;
    bool SameSocket = false;
  };
  JournalEnd RestoredEnd() const { return EndAtRestore; }

  // The ring numbers the event itself: fields.Seq is not read.
  RecentEvent& Append(std::string_view text, std::string_view senderIp, journal::RecordFields fields);
  std::string IdOf(RecentEvent& event);
  // Keeps a framing in one of a kept event's slots for it, counted against MaxBytes.
  const SharedBytes& KeepFraming(SharedBytes& slot, SharedBytes framing);

  struct Resumption {
    std::uint64_t Next;  // the first event the client gets
    bool Complete;       // false: events may be missing before Next
    std::optional<std::uint64_t> Missed;  // how many, when that can be told
  };
  Resumption ResumeAfter(std::string_view id);

  // The event numbered seq while the ring holds it, else null.
  RecentEvent* Find(std::uint64_t seq);
  std::uint64_t NextSeq() const { return Next; }
  std::uint64_t OldestSeq() const { return Next - Size(); }
  std::size_t Size() const { return std::min(Count, Capacity); }
  std::size_t Bytes() const { return HeldBytes; }
  std::uint32_t Run() const { return RunTag; }

 private:
  struct Segment {
    char* Bytes;
    std::uint64_t FirstSeq;
    std::size_t End;  // where its next record goes
  };
  RecentEvent& Slot(std::uint64_t seq) { return Slots[((seq - First) + Head) & (Slots.size() - 1)]; }
  RecentEvent& Push(const char* record, std::size_t size);
  void OpenSegment();
  // Rewrites the header of the newest segment (or the one before a new one) as this run's.
  void WriteHeader(const Segment& segment, bool interrupted);
  // Lets the oldest events go past the capacity and MaxBytes, keeping the newest's context.
  void Trim();
  void DropOldest();
  std::uint64_t OwnHashOf(std::uint64_t seq);
  std::uint64_t DigestOf(RecentEvent& event);

  const std::size_t Capacity;
  SegmentStore& Store;
  std::uint32_t RunTag;
  SocketIdentity EventSocket;
  std::uint64_t Generation = 0;  // of the newest segment
  std::uint64_t Next = 0;
  std::uint64_t First = 0;  // the oldest event held (some kept only as the newest's context)
  std::size_t Count = 0;
  std::size_t Head = 0;
  std::vector<RecentEvent> Slots;  // a power of two of them, round from Head
  std::deque<Segment> Segments;
  std::size_t HeldBytes = 0;
  // The next event follows a gap; until it is written, the newest segment names the run it was
  // taken up from.
  bool GapBeforeNext = false;
  std::uint64_t HostDropsAtRestore = 0;
  JournalEnd EndAtRestore;
};
