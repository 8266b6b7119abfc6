// Composing the snapshots that the parts of one system (processes, hosts) took at one barrier
// into one runtime-state snapshot of the same format.
//
// Guarantees: a composition fails closed, as a capture does. The result holds every subject of
// every part, plus one subject for each part that gave no snapshot, in ascending bytewise id
// order; it is `complete` exactly when every subject is captured, and isConsistent holds exactly
// then. An observation is shown only when its part answered this very barrier, its id is held by
// no other part, and its subject is one a capture could have yielded; it is then moved into the
// result unchanged, so its embedded document is byte-identical. Nothing a part holds throws: it
// becomes a subject's status and diagnostic. One k-way merge of the parts' sorted subject lists:
// linear in the subjects (times the logarithm of the number of parts), only the part ids sorted.
#ifndef QUILLON_MONITORING_COMPOSE_HPP
#define QUILLON_MONITORING_COMPOSE_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Core::Monitoring {

/// One part of a system at a barrier: its snapshot, or why there is none. `id` names the part in
/// diagnostics and stands for it as a subject when it gave no snapshot (or one whose subject
/// list cannot be trusted). `status` (`missing`, `deadline_exceeded` or `invalid`) and a
/// non-empty `diagnostic` say why there is no snapshot; both are ignored when there is one.
struct SnapshotPart {
  std::string id;
  std::optional<RuntimeStateSnapshot> snapshot;
  SubjectStatus status = SubjectStatus::missing;
  std::string diagnostic;

  friend bool operator==(const SnapshotPart&, const SnapshotPart&) = default;
};

/// Composes the snapshot of barrier (`system_id`, `epoch`, `barrier_sequence`, `logical_time`)
/// from `parts`, taken over so that observations are moved, not copied; their order does not
/// matter. `deadline_ns` is stored as given and `captured_at_ns` is one reading of `clock` (an
/// empty clock is defaultClock) after the last subject: the composer's own clock, since the
/// parts' clocks are other machines' and do not compare. Throws std::invalid_argument("snapshot
/// parts require unique non-empty ids") and then std::invalid_argument("snapshot identity, epoch
/// and barrier are required") (as capture does), before anything else is done. A part's own
/// `status` (complete or partial) and clock readings are not read. A part stands for itself as
/// one subject of its id when it gave no snapshot, when its subject ids are not unique, non-empty
/// and ascending (the list cannot be merged, so none of it is shown), or when it answered another
/// barrier with no subjects (so that it cannot vanish). Each subject is decided by the first rule
/// that holds:
/// 1. its id is held by more than one part (two subjects, or a subject and a part standing for
///    itself): one `invalid` subject, diagnostic "id held by parts a, b and c" (ascending ids);
/// 2. its part gave no snapshot: the part's status and diagnostic, or, when the status is not one
///    of the three or the diagnostic is empty, `invalid` "part a gave no snapshot and no reason";
/// 3. its part's subject ids are out of order: `invalid` "part a gave subject ids out of order";
/// 4. its part answered another barrier: `invalid` for another schema, system id, barrier
///    sequence or logical time (the first that differs is named) or an epoch 0, else
///    `stale_epoch`; diagnostic "part a answered epoch 3, the barrier is at epoch 4" (or "system
///    x, the barrier is of system y", "barrier sequence 8, ...", "logical time 5, ...", "schema
///    s, the barrier is of schema velmor-runtime-state/1");
/// 5. a captured subject whose observation fails validation or is not of its id, of the barrier's
///    system or epoch: `invalid` "part a gave invalid identity or state";
/// 6. a malformed subject (status outside the table, captured without observation or with a
///    diagnostic, not captured with an observation, or without a diagnostic unless `invalid`):
///    `invalid` "part a gave a malformed subject";
/// 7. otherwise the subject as its part gave it.
/// No subject of rules 1 to 6 carries an observation. Calls nothing but `clock`, once; an
/// exception from it leaves compose. Pure otherwise; safe from any thread.
/// Example: parts "a" (subjects "host:lab/a" captured) and "b" (no snapshot, `missing`, "gone")
/// compose to "b" missing "gone" and "host:lab/a" captured, `partial`.
[[nodiscard]] RuntimeStateSnapshot compose(std::vector<SnapshotPart> parts, std::string system_id,
                                           std::uint64_t epoch, std::uint64_t barrier_sequence,
                                           std::int64_t logical_time, std::uint64_t deadline_ns,
                                           const Clock& clock);

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_COMPOSE_HPP
