#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Reads a fuzzer's bytes as a script; past the end every read gives zeros.
struct FuzzInput {
  const std::uint8_t* Data;
  std::size_t Size;

  std::uint8_t Byte() { return Size == 0 ? 0 : (--Size, *Data++); }
  std::size_t Number(std::size_t below) {
    const std::size_t high = Byte();
    return (high << 8 | Byte()) % below;
  }
  // As many bytes as the next byte says, up to longest.
  std::string Text(std::size_t longest) {
    const std::size_t length = std::min({std::size_t{Byte()}, longest, Size});
    Data += length;
    Size -= length;
    return std::string(reinterpret_cast<const char*>(Data - length), length);
  }
};

// A broken invariant ends the run as a sanitizer finding does, so that libFuzzer keeps the input.
inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
