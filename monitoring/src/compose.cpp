#include <quillon/monitoring/compose.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "byte_scan.hpp"
#include "observation_document.hpp"
#include "subject_key.hpp"

namespace Quillon::Core::Monitoring {
namespace {

/// The barrier a composition is for.
struct Barrier {
  std::string_view system_id;
  std::uint64_t epoch;
  std::uint64_t barrier_sequence;
  std::int64_t logical_time;
};

/// What every subject of a part becomes when the part cannot be taken at its word.
struct Verdict {
  SubjectStatus status;
  std::string diagnostic;
};

/// The subjects of one part that the merge has not taken yet, in ascending id order.
struct Source {
  SubjectResult* next;
  SubjectResult* end;
  const std::string* part;
  std::optional<Verdict> verdict;
};

std::string partSays(const std::string& part, std::string_view what) {
  return std::string("part ").append(part).append(" ").append(what);
}

/// Returns "part P answered WHAT GIVEN, the barrier is AT WHAT EXPECTED".
std::string answered(const std::string& part, std::string_view what, std::string_view at,
                     std::string_view given, std::string_view expected) {
  std::string text = partSays(part, "answered ");
  text.append(what).append(" ").append(given).append(", the barrier is ").append(at);
  text.append(" ").append(what).append(" ").append(expected);
  return text;
}

/// Says how `snapshot` answered another barrier than `barrier`, or nothing when it answered it.
std::optional<Verdict> otherBarrier(const std::string& part, const RuntimeStateSnapshot& snapshot,
                                    const Barrier& barrier) {
  using std::to_string;
  if (!detail::sameBytes(snapshot.schema, kRuntimeStateSchema)) {
    return Verdict{SubjectStatus::invalid,
                   answered(part, "schema", "of", snapshot.schema, kRuntimeStateSchema)};
  }
  if (!detail::sameBytes(snapshot.system_id, barrier.system_id)) {
    return Verdict{SubjectStatus::invalid,
                   answered(part, "system", "of", snapshot.system_id, barrier.system_id)};
  }
  if (snapshot.barrier_sequence != barrier.barrier_sequence) {
    return Verdict{SubjectStatus::invalid,
                   answered(part, "barrier sequence", "at", to_string(snapshot.barrier_sequence),
                            to_string(barrier.barrier_sequence))};
  }
  if (snapshot.logical_time != barrier.logical_time) {
    return Verdict{SubjectStatus::invalid,
                   answered(part, "logical time", "at", to_string(snapshot.logical_time),
                            to_string(barrier.logical_time))};
  }
  if (snapshot.epoch != barrier.epoch) {
    // Epoch 0 is no capture's epoch: such a snapshot is not merely out of date.
    return Verdict{
        snapshot.epoch == 0 ? SubjectStatus::invalid : SubjectStatus::stale_epoch,
        answered(part, "epoch", "at", to_string(snapshot.epoch), to_string(barrier.epoch))};
  }
  return std::nullopt;
}

bool ascendingIds(const std::vector<SubjectResult>& subjects) noexcept {
  for (std::size_t at = 0; at < subjects.size(); ++at) {
    if (subjects[at].id.empty() ||
        (at > 0 && !detail::lessBytes(subjects[at - 1].id, subjects[at].id))) {
      return false;
    }
  }
  return true;
}

bool isReason(SubjectStatus status) noexcept {
  return status == SubjectStatus::missing || status == SubjectStatus::deadline_exceeded ||
         status == SubjectStatus::invalid;
}

void reject(SubjectResult& subject, SubjectStatus status, std::string diagnostic) {
  subject.status = status;
  subject.diagnostic = std::move(diagnostic);
  subject.observation.reset();
}

/// Rules 5 and 6 of compose for a subject of a part that answered the barrier.
void judge(SubjectResult& subject, const std::string& part, const Barrier& barrier) {
  const bool captured = subject.status == SubjectStatus::captured;
  const bool known = captured || isReason(subject.status) ||
                     subject.status == SubjectStatus::unsupported ||
                     subject.status == SubjectStatus::stale_epoch;
  if (captured && subject.observation && subject.diagnostic.empty()) {
    const Observation& observation = *subject.observation;
    if (!detail::isValid(observation) || !detail::hasSubjectKey(observation.entity, subject.id) ||
        !detail::sameBytes(observation.system_id, barrier.system_id) ||
        !belongsToEpoch(observation, barrier.epoch)) {
      reject(subject, SubjectStatus::invalid, partSays(part, "gave invalid identity or state"));
    }
    return;
  }
  // An invalid subject may say nothing: its probe's error gave an empty what().
  if (!known || captured || subject.observation ||
      (subject.diagnostic.empty() && subject.status != SubjectStatus::invalid)) {
    reject(subject, SubjectStatus::invalid, partSays(part, "gave a malformed subject"));
  }
}

/// Keeps the sources in a binary heap by their next id, each node holding that id so that a
/// comparison reads nothing else: the top is a source whose next subject has the least id. A
/// source whose ids run on below every other's stays at the top after two comparisons, so parts
/// that each hold a range of ids cost little more than that per subject.
class Merge {
 public:
  explicit Merge(std::vector<Source>& sources) {
    heap_.reserve(sources.size());
    for (Source& source : sources) {
      if (source.next != source.end) heap_.push_back({source.next->id, &source});
    }
    for (std::size_t at = heap_.size() / 2; at-- > 0;)
      siftDown(at);
  }

  [[nodiscard]] bool empty() const noexcept { return heap_.empty(); }
  [[nodiscard]] Source& top() const noexcept { return *heap_.front().source; }
  [[nodiscard]] std::string_view topId() const noexcept { return heap_.front().id; }

  /// Moves the top source past its next subject.
  void advance() {
    Node& node = heap_.front();
    if (++node.source->next == node.source->end) {
      node = heap_.back();
      heap_.pop_back();
    } else {
      node.id = node.source->next->id;
      prefetch(*node.source->next);
    }
    if (!heap_.empty()) replaceTop();
  }

 private:
  /// Asks for `subject` ahead of its turn: when the parts interleave, every part's next subject
  /// waits about as many turns as there are parts, and their many streams are more than the
  /// hardware's prefetcher follows.
  static void prefetch(const SubjectResult& subject) noexcept {
    const char* const bytes = reinterpret_cast<const char*>(&subject);
    for (std::size_t line = 0; line < sizeof(SubjectResult); line += 64)
      __builtin_prefetch(bytes + line);
  }

  struct Node {
    std::string_view id;
    Source* source;
  };

  /// Restores the heap after its top changed. When the parts interleave, the new top is about
  /// the greatest id there is: its place is found from the bottom, one comparison per level down
  /// and about one back up, rather than two per level down.
  void replaceTop() noexcept {
    const Node moving = heap_.front();
    std::size_t at = 0;
    for (std::size_t child = 1; child < heap_.size(); child = 2 * at + 1) {
      if (child + 1 < heap_.size() && detail::lessBytes(heap_[child + 1].id, heap_[child].id))
        ++child;
      if (at == 0 && !detail::lessBytes(heap_[child].id, moving.id)) return;  // a run goes on
      heap_[at] = heap_[child];
      at = child;
    }
    while (at > 0 && detail::lessBytes(moving.id, heap_[(at - 1) / 2].id)) {
      heap_[at] = heap_[(at - 1) / 2];
      at = (at - 1) / 2;
    }
    heap_[at] = moving;
  }

  void siftDown(std::size_t at) noexcept {
    const Node moving = heap_[at];
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= heap_.size()) break;
      if (child + 1 < heap_.size() && detail::lessBytes(heap_[child + 1].id, heap_[child].id))
        ++child;
      if (!detail::lessBytes(heap_[child].id, moving.id)) break;
      heap_[at] = heap_[child];
      at = child;
    }
    heap_[at] = moving;
  }

  std::vector<Node> heap_;
};

/// Returns "id held by parts a, b and c" for `parts`, which point into the sorted part list.
std::string heldBy(std::vector<const std::string*>& parts) {
  std::sort(parts.begin(), parts.end(), std::less<>());
  std::string text = "id held by parts ";
  for (std::size_t at = 0; at < parts.size(); ++at) {
    if (at > 0) text.append(at + 1 == parts.size() ? " and " : ", ");
    text.append(*parts[at]);
  }
  return text;
}

/// Sorts the parts by id and refuses an empty or repeated one.
void sortAndCheck(std::vector<SnapshotPart>& parts) {
  const bool anyEmpty = std::any_of(parts.begin(), parts.end(),
                                    [](const SnapshotPart& part) { return part.id.empty(); });
  std::sort(parts.begin(), parts.end(),
            [](const SnapshotPart& left, const SnapshotPart& right) { return left.id < right.id; });
  const auto repeated = std::adjacent_find(
      parts.begin(), parts.end(),
      [](const SnapshotPart& left, const SnapshotPart& right) { return left.id == right.id; });
  if (anyEmpty || repeated != parts.end()) {
    throw std::invalid_argument("snapshot parts require unique non-empty ids");
  }
}

}  // namespace

RuntimeStateSnapshot compose(std::vector<SnapshotPart> parts, std::string system_id,
                             std::uint64_t epoch, std::uint64_t barrier_sequence,
                             std::int64_t logical_time, std::uint64_t deadline_ns,
                             const Clock& clock) {
  sortAndCheck(parts);
  if (system_id.empty() || epoch == 0 || barrier_sequence == 0) {
    throw std::invalid_argument("snapshot identity, epoch and barrier are required");
  }
  RuntimeStateSnapshot result{.system_id = std::move(system_id),
                              .epoch = epoch,
                              .barrier_sequence = barrier_sequence,
                              .logical_time = logical_time,
                              .deadline_ns = deadline_ns,
                              .status = SnapshotStatus::partial,
                              .subjects = {}};
  const Barrier barrier{result.system_id, epoch, barrier_sequence, logical_time};

  // A part that stands for itself has its one subject here, sized up front so that the sources
  // can point into it.
  std::vector<SubjectResult> standing;
  standing.reserve(parts.size());
  std::vector<Source> sources;
  sources.reserve(parts.size());
  std::size_t total = 0;
  const auto standFor = [&](const SnapshotPart& part, SubjectStatus status,
                            std::string diagnostic) {
    SubjectResult& subject = standing.emplace_back();
    subject.id = part.id;
    subject.status = status;
    subject.diagnostic = std::move(diagnostic);
    sources.push_back({&subject, &subject + 1, &part.id, std::nullopt});
    ++total;
  };
  for (SnapshotPart& part : parts) {
    if (!part.snapshot) {
      if (isReason(part.status) && !part.diagnostic.empty()) {
        standFor(part, part.status, std::move(part.diagnostic));
      } else {
        standFor(part, SubjectStatus::invalid, partSays(part.id, "gave no snapshot and no reason"));
      }
      continue;
    }
    std::vector<SubjectResult>& subjects = part.snapshot->subjects;
    if (!ascendingIds(subjects)) {
      standFor(part, SubjectStatus::invalid, partSays(part.id, "gave subject ids out of order"));
      continue;
    }
    std::optional<Verdict> verdict = otherBarrier(part.id, *part.snapshot, barrier);
    if (verdict && subjects.empty()) {
      standFor(part, verdict->status, std::move(verdict->diagnostic));
      continue;
    }
    sources.push_back(
        {subjects.data(), subjects.data() + subjects.size(), &part.id, std::move(verdict)});
    total += subjects.size();
  }

  std::vector<SubjectResult>& out = result.subjects;
  out.reserve(total);
  bool allCaptured = true;
  std::vector<const std::string*> holders;
  Merge merge(sources);
  while (!merge.empty()) {
    Source& first = merge.top();
    SubjectResult& subject = *first.next;
    if (first.verdict) {
      reject(subject, first.verdict->status, first.verdict->diagnostic);
    } else {
      judge(subject, *first.part, barrier);
    }
    out.push_back({std::move(subject.id), subject.status, std::move(subject.diagnostic),
                   std::move(subject.observation)});
    // The observation's remains are destroyed now, while in cache, rather than with the parts at
    // the end.
    subject.observation.reset();
    merge.advance();
    // Every other holder of the same id comes next: the id becomes one subject.
    holders.clear();
    while (!merge.empty() && detail::sameBytes(merge.topId(), out.back().id)) {
      if (holders.empty()) holders.push_back(first.part);
      holders.push_back(merge.top().part);
      merge.advance();
    }
    if (!holders.empty()) reject(out.back(), SubjectStatus::invalid, heldBy(holders));
    allCaptured = allCaptured && out.back().status == SubjectStatus::captured;
  }

  result.captured_at_ns = clock ? clock() : defaultClock();
  result.status = allCaptured ? SnapshotStatus::complete : SnapshotStatus::partial;
  return result;
}

}  // namespace Quillon::Core::Monitoring
