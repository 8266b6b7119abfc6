// A gather of 50 parts over loopback against the slowest part's own answer time: 50
// HttpExporters in this process, part i taking i + 1 ms of its own before it answers (the
// probes of a real part wait on devices and files), each serving 16 copied subjects. The floor
// is the same HttpGatherer asking only the slowest part. A second case gives the parts no time
// of their own: then only their work on this machine's cores is left to overlap.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <quillon/monitoring/http_exporter.hpp>
#include <quillon/monitoring/http_gather.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "race.hpp"
#include "records.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;

constexpr std::size_t kParts = 50;
constexpr std::size_t kSubjects = 16;

/// One part: its subjects behind a barrier, served by an exporter that waits `delay` first.
struct Part {
  explicit Part(std::chrono::milliseconds wait)
      : delay(wait),
        observations(engineObservations(kSubjects)),
        barrier(copyingProbes(observations), qm::defaultClock),
        exporter({"127.0.0.1:0", ""}, [this](const qm::BarrierRequest& request) {
          std::this_thread::sleep_for(delay);
          return barrier.capture("lab", 4, request.barrier_sequence.value_or(1), 100,
                                 std::numeric_limits<std::uint64_t>::max());
        }) {}

  std::chrono::milliseconds delay;
  std::vector<qm::Observation> observations;
  qm::SnapshotBarrier barrier;
  qm::HttpExporter exporter;
};

/// The parts, a gatherer of all of them and one of the slowest alone.
struct Served {
  explicit Served(bool waiting) {
    std::vector<qm::PartSource> all;
    for (std::size_t part = 0; part < kParts; ++part) {
      parts.push_back(std::make_unique<Part>(std::chrono::milliseconds(waiting ? part + 1 : 0)));
      all.push_back({"node-" + std::to_string(part),
                     "http://127.0.0.1:" + std::to_string(parts.back()->exporter.port())});
    }
    slowest = std::make_unique<qm::HttpGatherer>(std::vector{all.back()}, qm::HttpClientOptions{});
    everyone = std::make_unique<qm::HttpGatherer>(std::move(all), qm::HttpClientOptions{});
  }

  /// Whether every part gave its snapshot of 16 subjects.
  [[nodiscard]] bool whole(const std::vector<qm::SnapshotPart>& gathered) const {
    for (const qm::SnapshotPart& part : gathered) {
      if (!part.snapshot || part.snapshot->subjects.size() != kSubjects) return false;
    }
    return !gathered.empty();
  }

  std::vector<std::unique_ptr<Part>> parts;
  std::unique_ptr<qm::HttpGatherer> everyone;
  std::unique_ptr<qm::HttpGatherer> slowest;
  // The budget is far beyond any answer: the time measured is the answers'.
  qm::BarrierRequest request{4, 1, 100, 10'000'000'000};
};

void gatherCase(benchmark::State& state, bool waiting) {
  Served served(waiting);
  if (!served.whole(served.everyone->gather(served.request)) ||
      !served.whole(served.slowest->gather(served.request))) {
    state.SkipWithError("a part gave no whole snapshot");
    return;
  }
  Race(state, repeat([&] { benchmark::DoNotOptimize(served.everyone->gather(served.request)); }))
      .floor("slowest_part",
             repeat([&] { benchmark::DoNotOptimize(served.slowest->gather(served.request)); }))
      .run();
}

/// Times one gatherer of the race above on its own.
void aloneCase(benchmark::State& state, bool everyone) {
  Served served(true);
  const qm::HttpGatherer& gatherer = everyone ? *served.everyone : *served.slowest;
  for (auto _ : state)
    benchmark::DoNotOptimize(gatherer.gather(served.request));
}

}  // namespace

void registerGatherBenchmarks() {
  benchmark::RegisterBenchmark("gather/50parts_waiting", [](benchmark::State& state) {
    gatherCase(state, true);
  })->UseRealTime();
  benchmark::RegisterBenchmark("gather/50parts_busy", [](benchmark::State& state) {
    gatherCase(state, false);
  })->UseRealTime();
  benchmark::RegisterBenchmark("alone/gather_50parts", [](benchmark::State& state) {
    aloneCase(state, true);
  })->UseRealTime();
  benchmark::RegisterBenchmark("alone/gather_slowest_part", [](benchmark::State& state) {
    aloneCase(state, false);
  })->UseRealTime();
}

}  // namespace Quillon::Bench
