// Reading documents back: observation documents and runtime-state documents turned into records.
//
// Guarantees: a text is accepted only when it is JSON that describes a whole document of its
// format, every member present once and nothing else, and when the record it gives is one the
// library could have written (an observation that validates, a snapshot a capture could yield).
// Whitespace and member order are free; escapes are decoded; other string bytes are kept as they
// are. Every document the library writes reads back equal to its record, and a canonical text
// reads into a record that writes the same bytes. On bad input nothing but DocumentError leaves a
// reader (std::bad_alloc aside); no input makes a reader recurse, read outside the view, or take
// more than time linear in its length.
#ifndef QUILLON_MONITORING_READER_HPP
#define QUILLON_MONITORING_READER_HPP

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Core::Monitoring {

/// A text that is not an acceptable document. what() is "invalid document at byte N: REASON",
/// REASON a fixed lower-case sentence such as "expected ':'" or "missing member \"epoch\"".
class DocumentError : public std::invalid_argument {
 public:
  /// Builds the error for `reason` found at byte `offset` of the text.
  DocumentError(std::size_t offset, const std::string& reason);

  /// Returns the 0-based byte where the text stops being acceptable: the length of the text when
  /// it ends too early.
  [[nodiscard]] std::size_t offset() const noexcept;

 private:
  std::size_t offset_;
};

/// Returns the observation that `document` describes. Throws DocumentError when it is not an
/// observation document or its record fails validate(), REASON then "invalid observation: " and
/// the first message. Pure; safe from any thread. Example: readObservation(o.toCanonicalJson())
/// == o for every valid `o` whose enumerations are inside their tables.
[[nodiscard]] Observation readObservation(std::string_view document);

/// Returns the snapshot that `document` describes. Throws DocumentError when it is not a
/// runtime-state document, a subject's observation fails validate(), or the snapshot is one no
/// capture can yield (subject ids not ascending, status and observation or diagnostic at odds, an
/// observation of another subject, system or epoch, a complete snapshot with a subject not
/// captured, a zero epoch or barrier, an empty system id). Pure; safe from any thread.
[[nodiscard]] RuntimeStateSnapshot readRuntimeState(std::string_view document);

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_READER_HPP
