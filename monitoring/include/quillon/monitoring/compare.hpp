// What changed between two runtime-state snapshots, as a list of changes at JSON Pointers into
// their documents.
//
// Guarantees: every difference between the two documents is reported exactly once, at the deepest
// place where both sides still hold the same kind of value, and nothing is reported for
// snapshots whose documents are byte-identical. Values are compared and reported through their
// canonical text, so two values with one text (0 and 0, an out-of-table enumeration and
// "unknown") never differ and two with different texts (0 and -0) always do. One merge walk over
// the two subject lists: linear in the subjects, nothing sorted, no text written for a subject
// that did not change.
#ifndef QUILLON_MONITORING_COMPARE_HPP
#define QUILLON_MONITORING_COMPARE_HPP

#include <string>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Core::Monitoring {

/// One difference between two runtime-state documents.
struct Change {
  /// The subject's id; empty for a member of the snapshot itself.
  std::string subject;
  /// RFC 6901 pointer into the subject's object ("/status", "/observation/observed/health"), or
  /// into the document for a snapshot member ("/epoch"); "" when the subject appeared or vanished.
  std::string pointer;
  /// Canonical JSON text of the value there before; empty when there was none.
  std::string before;
  /// Canonical JSON text of the value there now; empty when there is none.
  std::string after;

  friend bool operator==(const Change&, const Change&) = default;
};

/// Returns the differences from `before` to `after`: the snapshot's own members first, then the
/// subjects by ascending id, inside each in document order (keys ascending, depth first). A
/// subject present on one side only is one change with pointer "" and its whole subject object
/// as `before` or `after`; an attribute added has an empty `before`; a section that went from
/// null to an object is one change at the section. compare(s, s) is empty.
/// Throws std::invalid_argument("snapshot subjects require unique non-empty ids in ascending
/// order") when either list breaks that order (capture never does), and
/// std::invalid_argument("invalid observation") when a subject that differs holds an observation
/// that fails validation (its text cannot be written); a subject equal on both sides is not
/// judged. No partial result escapes. Pure; safe from any thread.
/// Example: epoch 4 then 5 gives {"", "/epoch", "4", "5"}.
[[nodiscard]] std::vector<Change> compare(const RuntimeStateSnapshot& before,
                                          const RuntimeStateSnapshot& after);

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_COMPARE_HPP
