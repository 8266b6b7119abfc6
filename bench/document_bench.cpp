// The observation and runtime-state documents side by side with RapidJSON and nlohmann::json
// producing the same bytes, with the copy of the finished text, and with their own parts; plus
// validation. Allocations per call are counted for ours.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "allocation_count.hpp"
#include "peers.hpp"
#include "race.hpp"
#include "records.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;

/// nlohmann writes a double in its shortest form, so its bytes can only differ in the pressure.
std::string withShortestPressure(std::string document, std::string_view ours,
                                 std::string_view shortest) {
  if (const auto at = document.find(ours); at != std::string::npos) {
    document.replace(at, ours.size(), shortest);
  }
  return document;
}

void observationDocumentCase(benchmark::State& state, const qm::Observation& record,
                             std::string_view expected, std::string_view shortestExpected) {
  if (!sameBytes(state, "toCanonicalJson", record.toCanonicalJson(), expected) ||
      !sameBytes(state, "rapidjson", rapidjsonObservationDocument(record), expected) ||
      !sameBytes(state, "nlohmann", nlohmannObservationDocument(record), shortestExpected)) {
    return;
  }
  const std::string finished(expected);
  state.counters["ours_allocs"] = allocationsOf([&] { (void)record.toCanonicalJson(); });
  state.counters["bytes"] = static_cast<double>(finished.size());
  Race(state, repeat([&] { benchmark::DoNotOptimize(record.toCanonicalJson()); }))
      .peer("rapidjson",
            repeat([&] { benchmark::DoNotOptimize(rapidjsonObservationDocument(record)); }))
      .peer("nlohmann",
            repeat([&] { benchmark::DoNotOptimize(nlohmannObservationDocument(record)); }))
      .floor("copy", repeat([&] { benchmark::DoNotOptimize(std::string(finished)); }))
      .run();
}

void validateCase(benchmark::State& state) {
  const qm::Observation record = fixtureObservation();
  if (!record.validate().empty()) {
    state.SkipWithError("the fixture observation is not valid");
    return;
  }
  state.counters["ours_allocs"] = allocationsOf([&] { (void)record.validate(); });
  Race(state, repeat([&] { benchmark::DoNotOptimize(record.validate()); })).run();
}

/// A complete snapshot of `count` captured fixture observations.
qm::RuntimeStateSnapshot capturedSnapshot(std::size_t count) {
  const std::vector<qm::Observation> observations = engineObservations(count);
  std::uint64_t now = 10;
  const qm::SnapshotBarrier barrier(copyingProbes(observations), [&now] { return now++; });
  return barrier.capture("lab", 4, 1, 100, std::numeric_limits<std::uint64_t>::max());
}

void runtimeStateDocumentCase(benchmark::State& state) {
  const qm::RuntimeStateSnapshot snapshot = capturedSnapshot(100);
  if (!qm::isConsistent(snapshot)) {
    state.SkipWithError("the snapshot is not complete");
    return;
  }
  // Every embedded document must appear unchanged, in subject order.
  const std::string document = snapshot.toCanonicalJson();
  std::size_t from = 0;
  for (const qm::SubjectResult& subject : snapshot.subjects) {
    const std::string embedded = R"("observation":)" + subject.observation->toCanonicalJson();
    from = document.find(embedded, from);
    if (from == std::string::npos) {
      state.SkipWithError("an observation document is not embedded unchanged");
      return;
    }
  }
  state.counters["ours_allocs"] = allocationsOf([&] { (void)snapshot.toCanonicalJson(); });
  state.counters["bytes"] = static_cast<double>(document.size());
  Race(state, repeat([&] { benchmark::DoNotOptimize(snapshot.toCanonicalJson()); }))
      .floor("documents_alone", repeat([&] {
               for (const qm::SubjectResult& subject : snapshot.subjects) {
                 benchmark::DoNotOptimize(subject.observation->toCanonicalJson());
               }
             }))
      .run();
}

}  // namespace

void registerDocumentBenchmarks() {
  benchmark::RegisterBenchmark("observationDocument/fixture", [](benchmark::State& state) {
    observationDocumentCase(
        state, fixtureObservation(), kFixtureDocument,
        withShortestPressure(std::string(kFixtureDocument), R"("pressure":0.20000000000000001)",
                             R"("pressure":0.2)"));
  });
  benchmark::RegisterBenchmark("observationDocument/full", [](benchmark::State& state) {
    observationDocumentCase(state, fullObservation(), kFullDocument, kFullDocument);
  });
  benchmark::RegisterBenchmark("validate/fixture", validateCase);
  benchmark::RegisterBenchmark("runtimeStateDocument/100subjects", runtimeStateDocumentCase);
}

}  // namespace Quillon::Bench
