// A runtime-state snapshot as metrics: text that is at once OpenMetrics 1.0 and the Prometheus
// text format, for the scrapers, dashboards and alerts people already run.
//
// Guarantees: the text is valid for every snapshot, whatever its ids, statuses or observations:
// it holds only valid UTF-8, never repeats a label set within a family, and ends with "# EOF" and
// a newline. Every family is a gauge with "# HELP" and "# TYPE"; every sample carries the label
// `system_id`. A state (subject status, health, lifecycle) is written as one series per possible
// value, 1 for the current one and 0 for the others, so no series vanishes when the state changes.
//
// Label values: valid UTF-8 passes through with "\" written "\\", the quotation mark "\"" and the
// line feed "\n"; "%", every other byte below 0x20, 0x7F and every byte that is not part of a
// well-formed UTF-8 sequence are written "%XX" (upper-case hex). Decoding "%XX" back to its byte
// restores the id exactly, so two different ids never share a label value.
#ifndef QUILLON_MONITORING_OPENMETRICS_HPP
#define QUILLON_MONITORING_OPENMETRICS_HPP

#include <string>

#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Core::Monitoring {

/// Returns the exposition of `snapshot`, in this order: quillon_snapshot_complete (1 or 0),
/// quillon_snapshot_epoch, quillon_snapshot_barrier_sequence, quillon_snapshot_subjects{status}
/// (every subject counted under its status, all six always present),
/// quillon_subject_status{subject,status}, and for
/// each captured subject whose observation passes validation and has an observed section,
/// labelled {subject,kind}: quillon_entity_ready, quillon_entity_pressure,
/// quillon_entity_health{health} and quillon_entity_lifecycle{lifecycle}. A family without samples
/// is left out. Subjects come in snapshot order; when their ids are not unique and ascending
/// (capture never does that), they come by ascending id and an id held by more than one subject
/// gets no per-subject series, since which one is true cannot be told. No timestamps: the `_ns`
/// members count a monotonic clock, not wall time. The result is allocated once, at its size.
/// Only std::bad_alloc escapes. Pure; safe from any thread.
[[nodiscard]] std::string toOpenMetrics(const RuntimeStateSnapshot& snapshot);

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_OPENMETRICS_HPP
