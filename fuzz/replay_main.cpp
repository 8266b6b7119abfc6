// Runs a fuzz target without libFuzzer: feeds every file named on the command line, and every file
// inside every folder named there, to LLVMFuzzerTestOneInput once. A broken property aborts the
// process and so fails the test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "properties.hpp"

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int at = 1; at < argc; ++at) {
    if (!std::filesystem::is_directory(argv[at])) {
      inputs.emplace_back(argv[at]);
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(argv[at]))
      if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  for (const std::filesystem::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", input.c_str());
      return 1;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  // A replay of nothing proves nothing: a missing corpus must fail, not pass quietly.
  std::printf("replayed %zu inputs\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
