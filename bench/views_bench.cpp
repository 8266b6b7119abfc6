// compare and toOpenMetrics on 10,000-subject snapshots, side by side with their floors: comparing
// every pair of same-id subjects with == (no early exit), and writing the runtime-state document.
#include <cstddef>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <quillon/monitoring/compare.hpp>
#include <quillon/monitoring/openmetrics.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "allocation_count.hpp"
#include "race.hpp"
#include "records.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;

constexpr std::size_t kSubjects = 10'000;

/// A complete snapshot of `count` captured fixture observations, in ascending id order, each
/// with one observed attribute when `attributed`.
qm::RuntimeStateSnapshot snapshotOf(std::size_t count, bool attributed = false) {
  qm::RuntimeStateSnapshot snapshot;
  snapshot.system_id = "lab";
  snapshot.epoch = 4;
  snapshot.barrier_sequence = 1;
  snapshot.status = qm::SnapshotStatus::complete;
  for (qm::Observation& observation : engineObservations(count)) {
    if (attributed) observation.observed->attributes.emplace("queue", "3");
    snapshot.subjects.push_back(
        {observation.entity.subjectKey(), qm::SubjectStatus::captured, "", std::move(observation)});
  }
  return snapshot;
}

/// `before` with 1% of the subjects changed in health, the change a dashboard most often shows.
qm::RuntimeStateSnapshot onePercentChanged(const qm::RuntimeStateSnapshot& before) {
  qm::RuntimeStateSnapshot after = before;
  for (std::size_t at = 0; at < kSubjects; at += 100)
    after.subjects[at].observation->observed->health = qm::HealthState::degraded;
  return after;
}

std::size_t differingPairs(const qm::RuntimeStateSnapshot& before,
                           const qm::RuntimeStateSnapshot& after) {
  std::size_t differing = 0;
  for (std::size_t at = 0; at < kSubjects; ++at)
    differing += before.subjects[at] == after.subjects[at] ? 0 : 1;
  return differing;
}

void compareCase(benchmark::State& state, bool attributed) {
  const qm::RuntimeStateSnapshot before = snapshotOf(kSubjects, attributed);
  const qm::RuntimeStateSnapshot after = onePercentChanged(before);
  if (qm::compare(before, after).size() != kSubjects / 100) {
    state.SkipWithError("compare does not find exactly the changed subjects");
    return;
  }
  Race(state, repeat([&] { benchmark::DoNotOptimize(qm::compare(before, after)); }),
       static_cast<double>(kSubjects))
      .floor("pairwise_eq",
             repeat([&] { benchmark::DoNotOptimize(differingPairs(before, after)); }))
      .run();
}

void openMetricsCase(benchmark::State& state) {
  const qm::RuntimeStateSnapshot snapshot = snapshotOf(kSubjects);
  const std::string text = qm::toOpenMetrics(snapshot);
  state.counters["ours_allocs"] = allocationsOf([&] { (void)qm::toOpenMetrics(snapshot); });
  state.counters["bytes"] = static_cast<double>(text.size());
  state.counters["document_bytes"] = static_cast<double>(snapshot.toCanonicalJson().size());
  Race(state, repeat([&] { benchmark::DoNotOptimize(qm::toOpenMetrics(snapshot)); }),
       static_cast<double>(kSubjects))
      .floor("document", repeat([&] { benchmark::DoNotOptimize(snapshot.toCanonicalJson()); }))
      .run();
}

/// Times one contender of the races above on its own, so that a ratio can be checked against
/// two separate measurements.
template <typename Op>
void aloneCase(benchmark::State& state, Op op, bool attributed = false) {
  const qm::RuntimeStateSnapshot before = snapshotOf(kSubjects, attributed);
  const qm::RuntimeStateSnapshot after = onePercentChanged(before);
  for (auto _ : state)
    benchmark::DoNotOptimize(op(before, after));
  state.counters["ns_per_subject"] = benchmark::Counter(
      static_cast<double>(kSubjects),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

void registerViewBenchmarks() {
  benchmark::RegisterBenchmark("compare/10000subjects_1percent_changed",
                               [](benchmark::State& state) { compareCase(state, false); });
  benchmark::RegisterBenchmark("compare/10000subjects_1attribute_1percent_changed",
                               [](benchmark::State& state) { compareCase(state, true); });
  benchmark::RegisterBenchmark("openMetrics/10000subjects", openMetricsCase);
  using Snapshot = qm::RuntimeStateSnapshot;
  benchmark::RegisterBenchmark("alone/compare", [](benchmark::State& state) {
    aloneCase(state,
              [](const Snapshot& was, const Snapshot& now) { return qm::compare(was, now); });
  });
  benchmark::RegisterBenchmark("alone/pairwise_eq",
                               [](benchmark::State& state) { aloneCase(state, differingPairs); });
  benchmark::RegisterBenchmark("alone/compare_1attribute", [](benchmark::State& state) {
    aloneCase(
        state, [](const Snapshot& was, const Snapshot& now) { return qm::compare(was, now); },
        true);
  });
  benchmark::RegisterBenchmark("alone/pairwise_eq_1attribute", [](benchmark::State& state) {
    aloneCase(state, differingPairs, true);
  });
  benchmark::RegisterBenchmark("alone/openMetrics", [](benchmark::State& state) {
    aloneCase(state, [](const Snapshot& was, const Snapshot&) { return qm::toOpenMetrics(was); });
  });
  benchmark::RegisterBenchmark("alone/document", [](benchmark::State& state) {
    aloneCase(state, [](const Snapshot& was, const Snapshot&) { return was.toCanonicalJson(); });
  });
}

}  // namespace Quillon::Bench
