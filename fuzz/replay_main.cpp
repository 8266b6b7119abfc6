// Runs a fuzz target without libFuzzer: feeds every file named on the command line, and every file
// inside every folder named there, to LLVMFuzzerTestOneInput once, in sorted order. This is how
// the seed corpora and the inputs of past findings run in every ordinary test build; a broken
// property aborts the process and so fails the test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "properties.hpp"

namespace {

std::vector<std::filesystem::path> inputsNamedBy(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int at = 1; at < argc; ++at) {
    const std::filesystem::path named(argv[at]);
    if (!std::filesystem::is_directory(named)) {
      inputs.push_back(named);
      continue;
    }
    std::vector<std::filesystem::path> inside;
    for (const auto& entry : std::filesystem::directory_iterator(named)) {
      if (entry.is_regular_file()) inside.push_back(entry.path());
    }
    std::sort(inside.begin(), inside.end());
    inputs.insert(inputs.end(), inside.begin(), inside.end());
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::filesystem::path> inputs = inputsNamedBy(argc, argv);
  for (const std::filesystem::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", input.c_str());
      return 1;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  // A replay of nothing proves nothing: a missing corpus must fail, not pass quietly.
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
