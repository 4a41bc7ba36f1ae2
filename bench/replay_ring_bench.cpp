// What keeping an event costs the relay: appending it to a full ring of the default size, its
// segments in memory or the files of a journal, for events of 64 bytes and of 1 KiB; and the time
// a new run takes to take up a full journal.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "relay/replay/journal_segments.h"
#include "relay/replay/memory_segments.h"
#include "relay/replay/replay_ring.h"

namespace {

constexpr std::size_t DefaultCapacity = 262144;  // the relay's --replay-events

std::string Folder() {
  const auto folder = std::filesystem::temp_directory_path() / "korvel-ring-bench";
  std::filesystem::remove_all(folder);
  return folder.string();
}

void Fill(ReplayRing& ring, const std::string& text, std::size_t events) {
  for (std::size_t i = 0; i < events; ++i) ring.Append(text, "10.0.0.5", {0, 1, 0, 0, i + 1});
}

void Append(benchmark::State& state, SegmentStore& store) {
  const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
  ReplayRing ring(DefaultCapacity, 1, store);
  ring.Restore({});
  // Full first, and once round: the segments are reused, as in a relay that has run a while.
  Fill(ring, text, 2 * DefaultCapacity);
  for (auto _ : state) benchmark::DoNotOptimize(&ring.Append(text, "10.0.0.5", {0, 1, 0, 0, 1}));
}

void AppendInMemory(benchmark::State& state) {
  MemorySegments store;
  Append(state, store);
}

void AppendToJournal(benchmark::State& state) {
  JournalSegments store(Folder(), 1);
  Append(state, store);
}

void TakeUpFullJournal(benchmark::State& state) {
  const std::string folder = Folder(), text(static_cast<std::size_t>(state.range(0)), 'x');
  {
    JournalSegments store(folder, 1);
    ReplayRing ring(DefaultCapacity, 1, store);
    ring.Restore({});
    Fill(ring, text, 2 * DefaultCapacity);
  }
  for (auto _ : state) {
    JournalSegments store(folder, 1);
    ReplayRing ring(DefaultCapacity, 2, store);
    ring.Restore({});
    benchmark::DoNotOptimize(ring.Size());
  }
}

}  // namespace

BENCHMARK(AppendInMemory)->Arg(64)->Arg(1024);
BENCHMARK(AppendToJournal)->Arg(64)->Arg(1024);
BENCHMARK(TakeUpFullJournal)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
