// Runs a fuzz target once over every file in the folders given, so that builds without libFuzzer
// keep its corpus as a regression test.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  int inputs = 0;
  for (int a = 1; a < argc; ++a) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[a])) {
      std::ifstream file(entry.path(), std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++inputs;
    }
  }
  return inputs > 0 ? 0 : 1;
}
