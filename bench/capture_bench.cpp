// Capture and barrier construction side by side with their floors: calling every probe once,
// calling every probe and keeping its result, and sorting the probe ids.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "race.hpp"
#include "records.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;

constexpr std::uint64_t kNoDeadline = std::numeric_limits<std::uint64_t>::max();

/// A barrier over `count` probes that return copies of prebuilt observations, with a counter
/// clock: the cheapest clock there is, so that the capture's own work is what is measured.
struct CaptureSetup {
  explicit CaptureSetup(std::size_t count)
      : observations(engineObservations(count)),
        barrier(copyingProbes(observations), [this] { return now++; }) {}

  [[nodiscard]] qm::RuntimeStateSnapshot capture() const {
    return barrier.capture("lab", 4, 1, 100, kNoDeadline);
  }

  std::vector<qm::Observation> observations;
  std::uint64_t now = 0;
  qm::SnapshotBarrier barrier;
};

void captureCase(benchmark::State& state, std::size_t count) {
  const CaptureSetup setup(count);
  if (!qm::isConsistent(setup.capture())) {
    state.SkipWithError("the capture is not complete");
    return;
  }
  const std::vector<qm::SnapshotProbe>& probes = setup.barrier.probes();
  Race(state, repeat([&] { benchmark::DoNotOptimize(setup.capture()); }),
       static_cast<double>(count))
      .floor("call_once", repeat([&] {
               for (const qm::SnapshotProbe& probe : probes)
                 benchmark::DoNotOptimize(probe.read());
             }))
      .floor("call_keep", repeat([&] {
               std::vector<std::optional<qm::Observation>> kept;
               kept.reserve(probes.size());
               for (const qm::SnapshotProbe& probe : probes)
                 kept.push_back(probe.read());
               benchmark::DoNotOptimize(kept.data());
             }))
      .run();
}

/// Per-subject cost of a large capture against that of a small one, in the same process.
void captureLinearityCase(benchmark::State& state) {
  const CaptureSetup large(100'000);
  const CaptureSetup small(100);
  Race(state, repeat([&] { benchmark::DoNotOptimize(large.capture()); }), 100'000.0)
      .floor("capture100_x1000", repeat([&] {
               for (int capture = 0; capture < 1000; ++capture)
                 benchmark::DoNotOptimize(small.capture());
             }))
      .run();
}

void barrierCase(benchmark::State& state, std::size_t count) {
  const std::vector<qm::Observation> observations = engineObservations(count);
  std::vector<qm::SnapshotProbe> probes = copyingProbes(observations);
  std::shuffle(probes.begin(), probes.end(), std::mt19937_64(20240605));
  std::vector<std::string> ids;
  ids.reserve(count);
  for (const qm::SnapshotProbe& probe : probes)
    ids.push_back(probe.id);
  const qm::Clock clock = [] { return std::uint64_t{0}; };

  std::vector<std::string> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  const qm::SnapshotBarrier built(probes, clock);
  for (std::size_t at = 0; at < count; ++at) {
    if (built.probes()[at].id != sorted[at]) {
      state.SkipWithError("the barrier does not hold the probes in sorted order");
      return;
    }
  }

  Race(state, repeatPrepared([&] { return probes; },
                             [&](std::vector<qm::SnapshotProbe> input) {
                               return qm::SnapshotBarrier(std::move(input), clock);
                             }))
      .floor("sort", repeatPrepared([&] { return ids; },
                                    [](std::vector<std::string> input) {
                                      std::sort(input.begin(), input.end());
                                      return input;
                                    }))
      .run();
}

}  // namespace

void registerCaptureBenchmarks() {
  for (const std::size_t count :
       {std::size_t{1}, std::size_t{100}, std::size_t{10'000}, std::size_t{100'000}}) {
    benchmark::RegisterBenchmark(("capture/" + std::to_string(count)).c_str(),
                                 [count](benchmark::State& state) { captureCase(state, count); });
  }
  benchmark::RegisterBenchmark("capture/linearity100000vs100", captureLinearityCase);
  benchmark::RegisterBenchmark("barrier/10000",
                               [](benchmark::State& state) { barrierCase(state, 10'000); });
}

}  // namespace Quillon::Bench
