#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/socket_identity.h"

// The bytes of the event journal: files of a fixed size, each a header and then records one
// after another, 8-byte aligned, in the host's own byte order (a journal never leaves its host).
// A record is valid only with its check and the number that follows its predecessor's, so a
// reader stops at the first torn, stale or damaged record, whatever the bytes after it hold.

namespace journal {

constexpr std::size_t SegmentBytes = std::size_t{4} << 20;
constexpr std::uint32_t Version = 1;
// A datagram's count of events missed before it when the count cannot be told.
constexpr std::uint64_t UnknownCount = ~std::uint64_t{0};

struct SegmentHeader {
  // Counts the segments opened, across runs: the order in which they were written.
  std::uint64_t Generation = 0;
  std::uint32_t RunTag = 0;
  std::uint64_t FirstSeq = 0;
  SocketIdentity Socket;  // the event socket it was written from
  // Events after this segment's last record were served but could not be written.
  bool Interrupted = false;
};

struct RecordFields {
  std::uint64_t Seq = 0;
  std::int64_t AtMs = 0;
  std::uint64_t MissedBefore = 0;  // datagrams lost just before this one, or UnknownCount
  std::uint64_t HostDrops = 0;     // the event socket's own count of drops at this event
};

struct RecordView {
  RecordFields Fields;
  std::string_view SenderIp;
  std::string_view Text;
  std::size_t Size = 0;  // of the whole record, to the next one
};

constexpr std::size_t SegmentHeaderBytes = 64;
constexpr std::size_t RecordHeaderBytes = 48;
constexpr std::size_t MaxSenderBytes = 255;

std::size_t RecordSize(std::size_t senderBytes, std::size_t textBytes);
void WriteSegmentHeader(char* segment, const SegmentHeader& header);
std::optional<SegmentHeader> ReadSegmentHeader(const char* segment, std::size_t size);

// Writes a record at a place with room for it and 8 bytes more: its text first, its header last,
// so that a process that dies on the way leaves no valid record there; the 8 bytes after it are
// cleared, so that nothing left from an earlier use of the place reads as the next record.
void WriteRecord(char* at, const RecordFields& fields, std::string_view senderIp,
                 std::string_view text);
// The record at the start of bytes if it is whole, valid and numbered seq.
std::optional<RecordView> ReadRecord(const char* bytes, std::size_t size, std::uint64_t seq);
// A record already known to be valid, as written or read above.
RecordView ViewRecord(const char* record);

}  // namespace journal
