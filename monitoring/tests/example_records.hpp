// The example records of the documentation and a barrier that meets every subject outcome, shared
// by the robustness tests (allocation failure, locale), the schema check and the benchmarks, so
// that each builds the same bytes.
#ifndef QUILLON_MONITORING_TESTS_EXAMPLE_RECORDS_HPP
#define QUILLON_MONITORING_TESTS_EXAMPLE_RECORDS_HPP

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Quillon::Core::Monitoring::testing {

/// The engine of the documentation example: every optional section present, attributes inserted
/// out of order, one absent device id.
inline Observation engineExample(double pressure = 0.25) {
  Observation record;
  record.system_id = "lab";
  record.epoch = 4;
  record.sequence = 2;
  record.logical_time = 100;
  record.observed_at_ns = 1000;
  record.entity = {EntityKind::engine, "transformer", "gpu-0"};
  record.declared = DeclaredState{"inference", "cfg-7", {{"precision", "fp16"}}};
  record.planned = PlannedState{"host", std::nullopt, "plan-3", {}};
  record.observed =
      ObservedState{LifecycleState::running,         HealthState::degraded, false, pressure, 990,
                    {{"queue", "3"}, {"batch", "8"}}};
  return record;
}

/// The smallest valid record: the system "lab" itself at epoch 1.
inline Observation systemExample() {
  Observation record;
  record.system_id = "lab";
  record.epoch = 1;
  record.entity.id = "lab";
  return record;
}

/// A host with every number at its limit, pressure -0 and sections of empty texts.
inline Observation extremesExample() {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  Observation record = systemExample();
  record.epoch = record.sequence = record.observed_at_ns = kMax;
  record.logical_time = std::numeric_limits<std::int64_t>::min();
  record.entity = {EntityKind::host, "host", "lab"};
  record.declared = DeclaredState{};
  record.planned = PlannedState{std::nullopt, "", "", {}};
  record.observed =
      ObservedState{LifecycleState::declared, HealthState::unknown, false, -0.0, kMax, {}};
  return record;
}

/// A record that breaks all nine validation rules at once.
inline Observation everyRuleBroken() {
  Observation record;
  record.schema = "velmor-observability/2";
  record.system_id = "la b";
  record.entity = {EntityKind::system, "", ""};
  record.observed_at_ns = 500;
  record.observed =
      ObservedState{LifecycleState::declared, HealthState::unknown, false, std::nan(""), 501, {}};
  return record;
}

/// Returns the file at `path` in the source tree, byte for byte. Throws std::runtime_error when it
/// cannot be read.
inline std::string sourceFile(const std::string& path) {
  std::ifstream file(std::filesystem::path(__FILE__).parent_path() / "../.." / path,
                     std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(file), {}};
}

/// Returns the committed reader seed `name`: the documentation's documents as literal text.
inline std::string readerSeed(const std::string& name) {
  return sourceFile("fuzz/corpus/reader/" + name);
}

/// The documentation's engine with entries long enough that every string needs the heap.
inline Observation engineRecord() {
  Observation record = engineExample();
  record.observed->attributes.emplace("batch size", "8 in a string long enough to allocate");
  record.extensions = {{"a key long enough to need the heap", "and a value long enough too"}};
  return record;
}

/// Returns a barrier of eleven probes, given unsorted, that between them produce every subject
/// status when captured for "lab" at epoch 4; the late one moves `now` past the deadline while it
/// reads, and the clock reads `now` and then advances it.
inline SnapshotBarrier everyOutcome(std::uint64_t& now) {
  now = 10;
  const auto subject = [](EntityKind kind, const char* id, std::uint64_t epoch = 4,
                          const char* systemId = "lab") {
    Observation record = systemExample();
    record.system_id = systemId;
    record.epoch = epoch;
    record.entity = {kind, id,
                     kind == EntityKind::system ? std::nullopt : std::optional<std::string>("lab")};
    return [record] { return std::optional(record); };
  };
  const auto throwing = [](const char* message) {
    return [message]() -> std::optional<Observation> { throw std::runtime_error(message); };
  };
  std::vector<SnapshotProbe> probes{
      {"trace:lab/after-deadline", true, subject(EntityKind::trace, "after-deadline")},
      {"tensor:lab/late", true,
       [&now, read = subject(EntityKind::tensor, "late")] {
         now = 1000;
         return read();
       }},
      {"engine:gpu-0/transformer", true, [] { return std::optional(engineRecord()); }},
      {"device:lab/gpu-0", true, subject(EntityKind::device, "gpu-0")},
      {"host:lab/unsupported-host", false, nullptr},
      {"module:lab/missing", true, [] { return std::optional<Observation>(); }},
      {"network:lab/stale", true, subject(EntityKind::network, "stale", 3)},
      {"run:lab/other-system", true, subject(EntityKind::run, "other-system", 4, "elsewhere")},
      {"session:lab/silent", true, throwing("")},
      {"session:lab/throws", true, throwing("probe failed reading")},
      {"system:lab", true, subject(EntityKind::system, "lab")}};
  return SnapshotBarrier(std::move(probes), [&now] { return now++; });
}

}  // namespace Quillon::Core::Monitoring::testing

#endif  // QUILLON_MONITORING_TESTS_EXAMPLE_RECORDS_HPP
