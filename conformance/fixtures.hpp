// Building blocks shared by the scenarios: the one observation factory, the scenario clocks and
// safe access to subjects by position. All fixture observations belong to the system "lab".
#ifndef QUILLON_CONFORMANCE_FIXTURES_HPP
#define QUILLON_CONFORMANCE_FIXTURES_HPP

#include <cstddef>
#include <cstdint>
#include <string>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Core::Monitoring::Conformance {

/// Returns a valid observation of system "lab" (for a non-system kind, token id and parent and a
/// non-zero epoch): logical time 100, observed at 1000, running and healthy, ready, pressure 0.2,
/// last observed at 999, and nothing else. Its subject key is "kind:parent/id".
[[nodiscard]] Observation makeObservation(EntityKind kind, std::string id, std::string parent,
                                          std::uint64_t epoch, std::uint64_t sequence);

/// Returns a clock that reads `counter` and then advances it by one; `counter` must outlive it.
[[nodiscard]] Clock counterClock(std::uint64_t& counter);

/// Returns a clock that reads `value` every time.
[[nodiscard]] Clock fixedClock(std::uint64_t value);

/// Returns a clock that reads `sharedTime`, which probes may move; `sharedTime` must outlive it.
[[nodiscard]] Clock sharedTimeClock(const std::uint64_t& sharedTime);

/// Returns the subject at `position`, or nullptr when the snapshot holds fewer subjects, so that
/// a short snapshot fails the check that reads it instead of reading past the end.
[[nodiscard]] const SubjectResult* subjectAt(const RuntimeStateSnapshot& snapshot,
                                             std::size_t position) noexcept;

}  // namespace Quillon::Core::Monitoring::Conformance

#endif  // QUILLON_CONFORMANCE_FIXTURES_HPP
