// compose of 100 parts of 100 captured subjects each against its floor: copying those 10,000
// subjects into one vector. Each part is a host whose subjects are "device:cpuNN/node-PP", so the
// parts' ids interleave all the way through (the merge's worst case: the least id changes part at
// every step); the "runs" variant names them "device:node-PP/cpuNN", one range of ids per part.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include <quillon/monitoring/compose.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "fixtures.hpp"
#include "race.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;

constexpr std::size_t kParts = 100;
constexpr std::size_t kSubjects = 100;

std::string twoDigits(std::size_t value) {
  return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

/// The parts of one barrier ("lab", epoch 4, sequence 9), each a complete snapshot in id order.
std::vector<qm::SnapshotPart> partsOf(bool interleaved) {
  std::vector<qm::SnapshotPart> parts;
  for (std::size_t part = 0; part < kParts; ++part) {
    qm::RuntimeStateSnapshot snapshot;
    snapshot.system_id = "lab";
    snapshot.epoch = 4;
    snapshot.barrier_sequence = 9;
    snapshot.status = qm::SnapshotStatus::complete;
    for (std::size_t cpu = 0; cpu < kSubjects; ++cpu) {
      const std::string node = "node-" + twoDigits(part);
      const std::string core = "cpu" + twoDigits(cpu);
      qm::Observation observation = qm::Conformance::makeObservation(
          qm::EntityKind::device, interleaved ? node : core, interleaved ? core : node, 4, 2);
      snapshot.subjects.push_back({observation.entity.subjectKey(), qm::SubjectStatus::captured, "",
                                   std::move(observation)});
    }
    parts.push_back({"node-" + twoDigits(part), std::move(snapshot), {}, {}});
  }
  return parts;
}

qm::RuntimeStateSnapshot composed(std::vector<qm::SnapshotPart> parts) {
  return qm::compose(std::move(parts), "lab", 4, 9, 0, 0, [] { return std::uint64_t{0}; });
}

std::vector<qm::SubjectResult> copiedIntoOne(const std::vector<qm::SnapshotPart>& parts) {
  std::vector<qm::SubjectResult> all;
  all.reserve(kParts * kSubjects);
  for (const qm::SnapshotPart& part : parts) {
    for (const qm::SubjectResult& subject : part.snapshot->subjects)
      all.push_back(subject);
  }
  return all;
}

/// `moved`: the parts are copied before each call, outside the time, and moved in (the caller
/// that owns its parts); otherwise the call copies them (the caller that keeps its parts).
void composeCase(benchmark::State& state, bool interleaved, bool moved) {
  const std::vector<qm::SnapshotPart> parts = partsOf(interleaved);
  const qm::RuntimeStateSnapshot result = composed(parts);
  if (!qm::isConsistent(result) || result.subjects.size() != kParts * kSubjects) {
    state.SkipWithError("the composition is not complete");
    return;
  }
  const Batch ours = moved ? repeatPrepared([&parts] { return parts; }, composed)
                           : repeat([&parts] { benchmark::DoNotOptimize(composed(parts)); });
  Race(state, ours, static_cast<double>(kParts * kSubjects))
      .floor("copy_into_one", repeat([&parts] { benchmark::DoNotOptimize(copiedIntoOne(parts)); }))
      .run();
}

/// Times one contender on its own, one operation per iteration.
template <typename Op>
void aloneCase(benchmark::State& state, Op op) {
  const std::vector<qm::SnapshotPart> parts = partsOf(true);
  for (auto _ : state)
    benchmark::DoNotOptimize(op(parts));
  state.counters["ns_per_subject"] = benchmark::Counter(
      static_cast<double>(kParts * kSubjects),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

void registerComposeBenchmarks() {
  for (const bool moved : {true, false}) {
    const std::string how = moved ? "_moved" : "_copied";
    benchmark::RegisterBenchmark(
        ("compose/100x100_interleaved" + how).c_str(),
        [moved](benchmark::State& state) { composeCase(state, true, moved); });
    benchmark::RegisterBenchmark(
        ("compose/100x100_runs" + how).c_str(),
        [moved](benchmark::State& state) { composeCase(state, false, moved); });
  }
  benchmark::RegisterBenchmark("alone/compose_copied", [](benchmark::State& state) {
    aloneCase(state, [](const std::vector<qm::SnapshotPart>& parts) { return composed(parts); });
  });
  benchmark::RegisterBenchmark("alone/copy_into_one",
                               [](benchmark::State& state) { aloneCase(state, copiedIntoOne); });
}

}  // namespace Quillon::Bench
