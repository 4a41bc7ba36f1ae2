#include "relay/replay/journal_format.h"

#include <atomic>
#include <cstring>

#include "relay/replay/event_hash.h"

namespace journal {
namespace {

constexpr char FileMagic[8] = {'K', 'O', 'R', 'V', 'E', 'L', 'J', 'R'};
constexpr std::uint32_t RecordMagic = 0x5645564Bu;  // "KVEV"

struct StoredSegmentHeader {
  char Magic[8];
  std::uint32_t Version;
  std::uint32_t RunTag;
  std::uint64_t FirstSeq;
  std::uint64_t SocketBoot;  // seconds
  std::uint64_t Socket;
  std::uint32_t Interrupted;
  std::uint32_t Check;
  std::uint64_t Generation;
  std::uint64_t Reserved;
};
static_assert(sizeof(StoredSegmentHeader) == SegmentHeaderBytes);

struct StoredRecordHeader {
  std::uint32_t Magic;
  std::uint32_t TextBytes;
  std::uint64_t Seq;
  std::int64_t AtMs;
  std::uint64_t MissedBefore;
  std::uint64_t HostDrops;
  std::uint8_t SenderBytes;
  std::uint8_t Reserved[3];
  std::uint32_t Check;
};
static_assert(sizeof(StoredRecordHeader) == RecordHeaderBytes);

std::uint32_t CheckOf(const StoredSegmentHeader& h) {
  std::uint64_t c = Mix(Mix(Mix(h.Version, h.RunTag), h.FirstSeq), h.SocketBoot);
  return static_cast<std::uint32_t>(Mix(Mix(Mix(c, h.Socket), h.Interrupted), h.Generation) >> 32);
}

std::uint32_t CheckOf(const StoredRecordHeader& h) {
  std::uint64_t c = Mix(Mix(Mix(h.Magic, h.TextBytes), h.Seq), static_cast<std::uint64_t>(h.AtMs));
  return static_cast<std::uint32_t>(Mix(Mix(Mix(c, h.MissedBefore), h.HostDrops), h.SenderBytes) >> 32);
}

}  // namespace

std::size_t RecordSize(std::size_t senderBytes, std::size_t textBytes) {
  return (RecordHeaderBytes + senderBytes + textBytes + 7) & ~std::size_t{7};
}

void WriteSegmentHeader(char* segment, const SegmentHeader& header) {
  StoredSegmentHeader stored{};
  std::memcpy(stored.Magic, FileMagic, sizeof FileMagic);
  stored.Version = Version;
  stored.RunTag = header.RunTag;
  stored.FirstSeq = header.FirstSeq;
  stored.SocketBoot = header.Socket.BootSeconds;
  stored.Socket = header.Socket.Socket;
  stored.Interrupted = header.Interrupted;
  stored.Generation = header.Generation;
  stored.Check = CheckOf(stored);
  std::memcpy(segment, &stored, sizeof stored);
}

std::optional<SegmentHeader> ReadSegmentHeader(const char* segment, std::size_t size) {
  StoredSegmentHeader stored;
  if (size < sizeof stored) return std::nullopt;
  std::memcpy(&stored, segment, sizeof stored);
  if (std::memcmp(stored.Magic, FileMagic, sizeof FileMagic) != 0 || stored.Version != Version ||
      stored.Interrupted > 1 || stored.Check != CheckOf(stored)) {
    return std::nullopt;
  }
  return SegmentHeader{stored.Generation, stored.RunTag, stored.FirstSeq,
                       {stored.SocketBoot, stored.Socket}, stored.Interrupted == 1};
}

void WriteRecord(char* at, const RecordFields& fields, std::string_view senderIp,
                 std::string_view text) {
  const std::size_t size = RecordSize(senderIp.size(), text.size());
  std::memcpy(at + RecordHeaderBytes, senderIp.data(), senderIp.size());
  std::memcpy(at + RecordHeaderBytes + senderIp.size(), text.data(), text.size());
  std::memset(at + size, 0, 8);
  StoredRecordHeader stored{RecordMagic, static_cast<std::uint32_t>(text.size()),
                            fields.Seq, fields.AtMs, fields.MissedBefore, fields.HostDrops,
                            static_cast<std::uint8_t>(senderIp.size()), {}, 0};
  stored.Check = CheckOf(stored);
  // The header only once everything it vouches for is in place.
  std::atomic_signal_fence(std::memory_order_release);
  std::memcpy(at, &stored, sizeof stored);
}

std::optional<RecordView> ReadRecord(const char* bytes, std::size_t size, std::uint64_t seq) {
  StoredRecordHeader stored;
  if (size < sizeof stored) return std::nullopt;
  std::memcpy(&stored, bytes, sizeof stored);
  if (stored.Magic != RecordMagic || stored.Seq != seq || stored.Check != CheckOf(stored) ||
      RecordSize(stored.SenderBytes, stored.TextBytes) > size) {
    return std::nullopt;
  }
  return ViewRecord(bytes);
}

RecordView ViewRecord(const char* record) {
  StoredRecordHeader stored;
  std::memcpy(&stored, record, sizeof stored);
  const char* sender = record + RecordHeaderBytes;
  return RecordView{{stored.Seq, stored.AtMs, stored.MissedBefore, stored.HostDrops},
                    {sender, stored.SenderBytes},
                    {sender + stored.SenderBytes, stored.TextBytes},
                    RecordSize(stored.SenderBytes, stored.TextBytes)};
}

}  // namespace journal
