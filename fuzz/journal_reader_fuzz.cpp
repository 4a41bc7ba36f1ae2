// A journal written by the ring, damaged as the script says (cut short, overwritten, a segment
// lost), then taken up by a new ring from another run. Whatever the damage, the new ring numbers
// its events without a gap, every event whose record the damage left alone comes back under its
// own number with its own text and sender, an untouched journal comes back whole, and the next
// event tells of a gap exactly when the socket changed.
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "relay/replay/replay_ring.h"

namespace {

// Files that are memory here: they outlive the first ring, every one is found again but a lost
// one, and a file used again keeps what it held, as a reused file of the journal does.
struct Files final : SegmentStore {
  std::vector<char*> Kept() override {
    Live.clear();
    Spare.clear();
    for (const auto& file : All) {
      if (file.get() != Lost) Live.push_back(file.get());
    }
    return Live;
  }
  char* Open() override {
    if (Spare.empty()) {
      All.push_back(std::make_unique<char[]>(journal::SegmentBytes));
      Spare.push_back(All.back().get());
    }
    Live.push_back(Spare.back());
    Spare.pop_back();
    return Live.back();
  }
  void Release(char* segment) override {
    const auto live = std::find(Live.begin(), Live.end(), segment);
    Require(live != Live.end(), "a segment released twice, or never opened");
    Live.erase(live);
    Spare.push_back(segment);
  }
  bool Journals(const char*) const override { return true; }

  std::vector<std::unique_ptr<char[]>> All;
  std::vector<char*> Live, Spare;
  const char* Lost = nullptr;
};

struct Written {
  std::string text, sender;
  const char* begin;  // the record's bytes
  const char* end;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  Files files;
  const SocketIdentity socket{1, 1}, other{1, 2};
  std::map<std::uint64_t, Written> written;
  std::uint64_t next = 0;
  {
    ReplayRing ring(1 + in.Number(400), 7, files);
    ring.Restore(socket);
    for (std::size_t n = in.Byte() % 160; n-- > 0;) {
      const std::size_t length = 1 + in.Byte() * 257u;
      const std::string text(length, static_cast<char>('a' + in.Byte() % 26));
      const std::string sender = in.Byte() % 2 ? "10.0.0.5" : "2001:db8::7";
      RecentEvent& event = ring.Append(text, sender, {0, 1, 0, 0, 0});
      written[event.Seq()] = {text, sender, event.SenderIp().data() - journal::RecordHeaderBytes,
                              event.Text().data() + text.size()};
    }
    next = ring.NextSeq();
  }
  // The damage: a segment cut short or overwritten from a place on, or lost.
  const char* touched = nullptr;  // records from here on in that segment may be damaged
  char* damaged = nullptr;
  const std::uint8_t damage = in.Byte() % 4;
  if (damage != 0 && !files.Live.empty()) {
    damaged = files.Live[in.Byte() % files.Live.size()];
    const std::size_t block = in.Number(65536);
    char* from = damaged + ((block << 6 | (in.Byte() & 63)) % journal::SegmentBytes);
    touched = from;
    if (damage == 1) std::memset(from, 0, static_cast<std::size_t>(damaged + journal::SegmentBytes - from));
    if (damage == 2) {
      const std::string bytes = in.Text(255);
      std::memcpy(from, bytes.data(), std::min<std::size_t>(bytes.size(), damaged + journal::SegmentBytes - from));
    }
    if (damage == 3) files.Lost = touched = damaged;
  }
  const bool sameSocket = in.Byte() % 2;
  ReplayRing ring(1 + in.Number(400), 9, files);
  ring.Restore(sameSocket ? socket : other);
  for (std::uint64_t seq = ring.OldestSeq(); seq < ring.NextSeq(); ++seq) {
    RecentEvent* event = ring.Find(seq);
    Require(event && event->Seq() == seq, "the events are numbered without a gap");
    const auto model = written.find(seq);
    const bool intact = model != written.end() &&
                        !(touched && model->second.end > touched &&
                          model->second.begin < damaged + journal::SegmentBytes &&
                          model->second.begin >= damaged);
    if (intact) {
      Require(event->Text() == model->second.text && event->SenderIp() == model->second.sender,
              "an untouched record comes back as written");
    }
    const ReplayRing::Resumption resumed = ring.ResumeAfter(ring.IdOf(*event));
    Require(!resumed.Complete || resumed.Next == seq + 1, "an id places its client after its event");
  }
  if (damage == 0 && !written.empty()) {
    Require(ring.NextSeq() == next && ring.Run() == 7, "an untouched journal goes on where it ended");
  }
  RecentEvent& after = ring.Append("after", "10.0.0.5", {});
  Require(damage != 0 || after.Missed() == !sameSocket,
          "a gap is told when, and only when, the socket changed");
  Require(!after.Missed() || !after.MissedCount(), "a gap after a restart has no count");
  return 0;
}
