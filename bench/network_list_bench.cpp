// The cost of checking a datagram's or a connection's address against an allow-list of 1 and of
// 1,000 networks (half IPv4 /8../32, half IPv6 /32../128), for IPv4 and IPv6 senders.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "common/network_list.h"

namespace {

constexpr std::size_t Senders = 4096;  // a power of two, so the next sender is a mask away

NetAddress RandomAddress(std::mt19937_64& random, bool v4) {
  NetAddress address;
  for (auto& byte : address.Bytes) byte = static_cast<std::uint8_t>(random());
  const auto& b = address.Bytes;
  return v4 ? AddressFromV4({b[12], b[13], b[14], b[15]}) : address;
}

// Built from text, as the relay's lists are.
NetworkList RandomList(std::int64_t networks, std::mt19937_64& random) {
  std::string text;
  for (std::int64_t i = 0; i < networks; ++i) {
    const bool v4 = i % 2 == 0;
    const auto prefix = v4 ? 8 + random() % 25 : 32 + random() % 97;
    if (i > 0) text += ',';
    text += AddressText(RandomAddress(random, v4)) + "/" + std::to_string(prefix);
  }
  std::string problem;
  return NetworkList::Parse(text, problem).value();
}

void Contains(benchmark::State& state) {
  std::mt19937_64 random(20261208);
  const NetworkList list = RandomList(state.range(0), random);
  std::vector<NetAddress> senders(Senders);
  for (auto& sender : senders) sender = RandomAddress(random, state.range(1) == 4);
  std::size_t next = 0;
  std::int64_t inside = 0;
  for (auto _ : state) {
    inside += list.Contains(senders[next++ & (Senders - 1)]);
  }
  benchmark::DoNotOptimize(inside);
  state.counters["inside"] =
      benchmark::Counter(static_cast<double>(inside), benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(Contains)
    ->ArgNames({"networks", "ipv"})
    ->Args({1, 4})
    ->Args({1, 6})
    ->Args({1000, 4})
    ->Args({1000, 6});
