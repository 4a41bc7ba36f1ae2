#include "relay/replay/replay_ring.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

std::uint64_t Mix(std::uint64_t hash, std::uint64_t value) {
  hash = (hash ^ value) * 0x9E3779B97F4A7C15u;
  return hash ^ (hash >> 29);
}

// Eight bytes at a time: the digest is taken of every event, so it must cost little.
std::uint64_t MixBytes(std::uint64_t hash, std::string_view bytes) {
  hash = Mix(hash, bytes.size());
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    hash = Mix(hash, word);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
  return Mix(hash, tail);
}

template <class Number>
bool ReadNumber(std::string_view text, Number& value, int base) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::size_t SizeOf(const SharedBytes& bytes) { return bytes ? bytes->size() : 0; }

}  // namespace

RecentEvent& ReplayRing::Append(SharedBytes text, std::string senderIp, std::int64_t atMs) {
  Window[Next % DigestWindow] = MixBytes(MixBytes(0, senderIp), *text);
  std::uint64_t digest = 0;
  for (std::size_t k = 1; k <= DigestWindow; ++k) {  // oldest first, the new event's slot last
    digest = Mix(digest, Window[(Next + k) % DigestWindow]);
  }
  RecentEvent event{Next++, digest, atMs, std::move(senderIp), std::move(text), nullptr, nullptr};
  if (Capacity == 0) return Unkept = std::move(event);
  HeldBytes += event.Text->size();
  Digests.push_back(event.Digest);
  Events.push_back(std::move(event));
  while (Events.size() > Capacity || (HeldBytes > MaxBytes && Events.size() > 1)) DropOldest();
  return Events.back();
}

const SharedBytes& ReplayRing::KeepFraming(SharedBytes& slot, SharedBytes framing) {
  if (Capacity > 0) HeldBytes += framing->size();
  return slot = std::move(framing);
}

void ReplayRing::DropOldest() {
  const RecentEvent& oldest = Events.front();
  HeldBytes -=
      oldest.Text->size() + SizeOf(oldest.EventStreamBytes) + SizeOf(oldest.MultipartBytes);
  Events.pop_front();
  Digests.pop_front();
}

std::string ReplayRing::IdOf(const RecentEvent& event) const {
  char id[48];
  char* end = std::to_chars(id, id + 16, event.Digest, 16).ptr;
  const std::size_t digits = static_cast<std::size_t>(end - id);
  // Fixed width, so that ids line up in a log and sort as text within a run.
  std::memmove(id + 16 - digits, id, digits);
  std::memset(id, '0', 16 - digits);
  id[16] = '-';
  end = std::to_chars(id + 17, id + 25, RunTag, 16).ptr;
  *end++ = '-';
  end = std::to_chars(end, id + sizeof id, event.Seq).ptr;
  return std::string(id, end);
}

ReplayRing::Resumption ReplayRing::ResumeAfter(std::string_view id) const {
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
    if (seq + 1 == OldestSeq() || Events[seq - OldestSeq()].Digest == digest)
      return {seq + 1, true, std::nullopt};
    return unplaced;
  }
  // The newest match, and none older: a digest seen twice cannot tell which one the client saw.
  const auto newest = std::find(Digests.rbegin(), Digests.rend(), digest);
  if (newest == Digests.rend() || std::find(newest + 1, Digests.rend(), digest) != Digests.rend())
    return unplaced;
  return {Next - static_cast<std::uint64_t>(newest - Digests.rbegin()), true, std::nullopt};
}

RecentEvent* ReplayRing::Find(std::uint64_t seq) {
  if (seq < OldestSeq() || seq >= Next) return nullptr;
  return &Events[seq - OldestSeq()];
}
