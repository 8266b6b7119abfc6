// The records every benchmark writes or captures, and the documents they must give.
#ifndef QUILLON_BENCH_RECORDS_HPP
#define QUILLON_BENCH_RECORDS_HPP

#include <cstddef>
#include <string_view>
#include <vector>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Bench {

/// The conformance fixture: engine "transformer" under "gpu-0", epoch 4, sequence 2, observed
/// and running with pressure 0.2, nothing declared or planned.
[[nodiscard]] Core::Monitoring::Observation fixtureObservation();

inline constexpr std::string_view kFixtureDocument =
    R"({"declared":null,"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{},"health":"healthy","last_observed_ns":999,"lifecycle":"running","pressure":0.20000000000000001,"ready":true},"observed_at_ns":1000,"planned":null,"schema":"velmor-observability/1","sequence":2,"system_id":"lab"})";

/// A record with every section: declared with one attribute, planned without device, observed
/// with two attributes and pressure 0.25.
[[nodiscard]] Core::Monitoring::Observation fullObservation();

inline constexpr std::string_view kFullDocument =
    R"({"declared":{"attributes":{"precision":"fp16"},"config_hash":"cfg-7","type":"inference"},"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{"batch":"8","queue":"3"},"health":"degraded","last_observed_ns":990,"lifecycle":"running","pressure":0.25,"ready":false},"observed_at_ns":1000,"planned":{"attributes":{},"device_id":null,"host_id":"host","placement_hash":"plan-3"},"schema":"velmor-observability/1","sequence":2,"system_id":"lab"})";

/// `count` valid fixture observations of system "lab", epoch 4, whose subject keys
/// ("engine:gpu-0/t000000", ...) ascend with their position.
[[nodiscard]] std::vector<Core::Monitoring::Observation> engineObservations(std::size_t count);

/// One supported probe per observation, in the same order, whose read returns a copy of it; the
/// observations must outlive the probes.
[[nodiscard]] std::vector<Core::Monitoring::SnapshotProbe> copyingProbes(
    const std::vector<Core::Monitoring::Observation>& observations);

}  // namespace Quillon::Bench

#endif  // QUILLON_BENCH_RECORDS_HPP
