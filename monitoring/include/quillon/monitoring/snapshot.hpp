// Snapshot probes, the barrier that owns them, and the runtime-state snapshot a capture yields.
//
// Guarantees: a capture fails closed. A snapshot is `complete` only when every subject was
// captured; every probe yields exactly one subject, in ascending bytewise id order whatever order
// the probes were given in, and a subject that was not captured says why and carries no
// observation. An observation that is invalid, names another entity or system, belongs to another
// epoch or arrives after the deadline is never shown. What goes wrong with one subject never
// throws; a capture calls nothing but the barrier's clock and each supported probe's read, once.
#ifndef QUILLON_MONITORING_SNAPSHOT_HPP
#define QUILLON_MONITORING_SNAPSHOT_HPP

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <quillon/monitoring/observation.hpp>

namespace Quillon::Core::Monitoring {

/// Names the runtime-state document format; the `schema` of every snapshot.
inline constexpr std::string_view kRuntimeStateSchema = "velmor-runtime-state/1";

/// Reads one subject: its current observation, or nothing when the subject is missing.
using ProbeRead = std::function<std::optional<Observation>()>;

/// A source of nanosecond readings that never goes backwards.
using Clock = std::function<std::uint64_t()>;

/// Whether every subject of a snapshot was captured.
enum class SnapshotStatus : std::uint32_t {
  complete = 0,
  partial = 1,
};

/// The outcome of one subject of a capture.
enum class SubjectStatus : std::uint32_t {
  captured = 0,
  missing = 1,
  unsupported = 2,
  stale_epoch = 3,
  deadline_exceeded = 4,
  invalid = 5,
};

/// Returns "complete" or "partial" as static text; any value but `complete` is "partial".
[[nodiscard]] std::string_view toString(SnapshotStatus status) noexcept;

/// Returns the lower-case name of `status` as static text; a value outside the table is "invalid".
[[nodiscard]] std::string_view toString(SubjectStatus status) noexcept;

/// Returns the platform's steady clock as nanoseconds since its own zero point (not wall time);
/// successive readings never decrease. The clock of a barrier built without one.
[[nodiscard]] std::uint64_t defaultClock() noexcept;

/// One subject a barrier reads. `id` is meant to be the subject key of the entity that `read`
/// returns; an unsupported probe is never read and may have an empty `read`.
struct SnapshotProbe {
  std::string id;
  bool supported = true;
  ProbeRead read;
};

/// One subject of a snapshot. `observation` is present exactly when `status` is `captured`;
/// `diagnostic` is empty then and otherwise says why the subject was not captured.
struct SubjectResult {
  std::string id;
  SubjectStatus status = SubjectStatus::missing;
  std::string diagnostic;
  std::optional<Observation> observation;

  friend bool operator==(const SubjectResult&, const SubjectResult&) = default;
};

/// The state of a system's subjects at one logical barrier. A plain value owned by the caller.
struct RuntimeStateSnapshot {
  std::string schema{kRuntimeStateSchema};
  std::string system_id;
  std::uint64_t epoch = 0;
  std::uint64_t barrier_sequence = 0;
  std::int64_t logical_time = 0;
  /// The clock reading taken after the last subject was decided.
  std::uint64_t captured_at_ns = 0;
  /// The first clock reading of the capture plus its budget, saturated at 2^64 - 1.
  std::uint64_t deadline_ns = 0;
  SnapshotStatus status = SnapshotStatus::partial;
  /// One subject per probe, in ascending bytewise id order.
  std::vector<SubjectResult> subjects;

  /// Returns the canonical runtime-state document: one line, keys ascending at every level, each
  /// subject's observation embedded as its observation document or null. Never reorders
  /// subjects. Throws std::invalid_argument("invalid observation") when a subject holds an invalid
  /// observation (a captured snapshot never does). Pure; safe from any thread.
  [[nodiscard]] std::string toCanonicalJson() const;

  friend bool operator==(const RuntimeStateSnapshot&, const RuntimeStateSnapshot&) = default;
};

/// Tells whether `observation` has a non-zero epoch equal to `epoch`; always false for epoch 0.
[[nodiscard]] bool belongsToEpoch(const Observation& observation, std::uint64_t epoch) noexcept;

/// Tells whether `snapshot` is `complete` with a non-zero epoch and a system id, and every subject
/// is captured with an observation of that system and epoch. Checks the subjects themselves
/// rather than trusting `status`; every partial snapshot is inconsistent.
[[nodiscard]] bool isConsistent(const RuntimeStateSnapshot& snapshot) noexcept;

/// Owns a fixed set of probes, sorted by id, and the clock that measures every capture's budget.
/// Immutable once built: one barrier serves any number of captures.
class SnapshotBarrier {
 public:
  /// Takes over `probes` and `clock`; an empty clock becomes defaultClock. Sorts the probes by
  /// id, bytes compared unsigned, a proper prefix first. Throws std::invalid_argument with
  /// "snapshot probes require unique non-empty ids" or "supported snapshot probe requires read
  /// callback"; the first offending probe in the caller's order decides which.
  SnapshotBarrier(std::vector<SnapshotProbe> probes, Clock clock);

  /// Reads every probe once, in id order, and returns one subject per probe. Throws
  /// std::invalid_argument("snapshot identity, epoch and barrier are required") for an empty
  /// `system_id` or a zero `epoch` or `barrier_sequence`, before the clock or any probe is read.
  /// A standard exception from a read makes that subject `invalid` with its what() as diagnostic;
  /// any other exception, and any from the clock outside a read, leaves capture. Reads the clock
  /// at most 2n + 2 times; changes nothing in the barrier.
  [[nodiscard]] RuntimeStateSnapshot capture(std::string system_id, std::uint64_t epoch,
                                             std::uint64_t barrier_sequence,
                                             std::int64_t logical_time,
                                             std::uint64_t budget_ns) const;

  /// Returns the probes in capture order (ascending bytewise id).
  [[nodiscard]] const std::vector<SnapshotProbe>& probes() const noexcept { return probes_; }

 private:
  std::vector<SnapshotProbe> probes_;
  Clock clock_;
};

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_SNAPSHOT_HPP
