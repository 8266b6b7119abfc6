// Writes COUNT runtime-state documents, one per line: the input of the check benchmark. Each is
// a complete capture of four engines at the next barrier sequence, as a monitor would log them.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <quillon/monitoring/snapshot.hpp>

#include "records.hpp"

int main(int argc, char** argv) {
  namespace monitoring = Quillon::Core::Monitoring;
  std::uint64_t count = 0;
  const std::string_view text = argc == 2 ? argv[1] : "";
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), count);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || count == 0) {
    std::fputs("usage: write_states COUNT\n", stderr);
    return 2;
  }
  const auto observations = Quillon::Bench::engineObservations(4);
  std::uint64_t now = 0;
  const monitoring::SnapshotBarrier barrier(Quillon::Bench::copyingProbes(observations),
                                            [&now] { return now += 7; });
  std::string line;
  for (std::uint64_t sequence = 1; sequence <= count; ++sequence) {
    line = barrier.capture("lab", 4, sequence, static_cast<std::int64_t>(sequence), 1000000)
               .toCanonicalJson();
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) {
      std::fputs("write_states: cannot write standard output\n", stderr);
      return 2;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 2;
}
