// compare, toOpenMetrics, isConsistent and compose on a decoded snapshot a and a copy b changed by
// scripted edits: a snapshot is consistent exactly when it is complete, names its system and a
// non-zero epoch and every subject holds a captured observation of both; each exposition is UTF-8,
// ends with "# EOF" and repeats no series; when both documents can be written, compare refuses ids
// out of ascending unique order, compare(a, a) is empty, compare(a, b) is empty exactly when the
// documents are identical, and every text it reports is strict JSON. Composing a with b (or with a
// part that gave nothing) gives unique ascending ids, shows only valid observations of the
// barrier, is complete exactly when consistent, and writes a document that reads back equal. The
// bytes are a script read in order by LLVMFuzzerTestOneInput and readSubject below: the snapshot,
// its subjects, whether to sort them, the edits that make the second snapshot, then the parts.
#include <quillon/monitoring/compare.hpp>
#include <quillon/monitoring/compose.hpp>
#include <quillon/monitoring/openmetrics.hpp>
#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "properties.hpp"

namespace {

using namespace Quillon::Core::Monitoring;
using namespace Quillon::Core::Monitoring::fuzzing;

/// Reads a text cut to 1 KiB: a longer one only slows the exposition, which repeats it per line.
std::string shortText(FuzzInput& in) {
  std::string text = in.text();
  text.resize(std::min<std::size_t>(text.size(), 1024));
  return text;
}

SubjectResult readSubject(FuzzInput& in) {
  SubjectResult subject{shortText(in), static_cast<SubjectStatus>(in.byte() % 7), in.text(), {}};
  const std::uint8_t form = in.byte() % 3;
  if (form == 1) subject.observation = readObservation(in);
  if (form != 2) return subject;
  constexpr std::array kPressures{0.0, -0.0, 0.25, 1.0, 1e-300, 2.0};
  Observation& record = subject.observation.emplace();
  record.system_id = "lab";
  record.epoch = 1;
  record.entity = {static_cast<EntityKind>(in.u32() | 1), "engine", "gpu-0"};
  record.observed = {static_cast<LifecycleState>(in.u32()),
                     static_cast<HealthState>(in.u32()),
                     false,
                     kPressures[in.byte() % kPressures.size()],
                     0,
                     in.map()};
  record.extensions = in.map();
  return subject;
}

void checkExposition(const RuntimeStateSnapshot& snapshot) {
  const std::string text = toOpenMetrics(snapshot);
  require(isUtf8(text) && text.ends_with("\n# EOF\n"), "exposition is UTF-8 ending in # EOF", text);
  std::set<std::string_view> series;
  for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    const std::string_view line(text.data() + at, end - at);
    if (line.starts_with('#')) continue;
    require(series.insert(line.substr(0, line.rfind(' '))).second, "no series repeats", line);
  }
}

void checkConsistency(const RuntimeStateSnapshot& snapshot) {
  const auto ofThisCapture = [&snapshot](const SubjectResult& subject) {
    return subject.status == SubjectStatus::captured && subject.observation &&
           subject.observation->system_id == snapshot.system_id &&
           subject.observation->epoch == snapshot.epoch;
  };
  require(isConsistent(snapshot) ==
              (snapshot.status == SnapshotStatus::complete && snapshot.epoch != 0 &&
               !snapshot.system_id.empty() &&
               std::all_of(snapshot.subjects.begin(), snapshot.subjects.end(), ofThisCapture)),
          "consistent exactly when complete and every subject is of its system and epoch");
}

bool inIdOrder(const std::vector<SubjectResult>& subjects) {
  return std::ranges::adjacent_find(subjects, std::ranges::greater_equal{}, &SubjectResult::id) ==
             subjects.end() &&
         (subjects.empty() || !subjects.front().id.empty());
}

/// Composes `a`, as part "p" at barrier sequence 1 or 2, with `b` or with a part that gave nothing,
/// at barrier sequence 1 of `a`'s system and epoch.
void checkComposition(RuntimeStateSnapshot a, RuntimeStateSnapshot b, FuzzInput& in) {
  const std::string system = a.system_id.empty() ? "lab" : a.system_id;
  const std::uint64_t epoch = a.epoch == 0 ? 1 : a.epoch;
  a.barrier_sequence = 1 + in.byte() % 2;
  b.barrier_sequence = 1;
  std::vector<SnapshotPart> parts;
  parts.push_back({"p", std::move(a), {}, {}});
  if ((in.byte() & 1) != 0) {
    parts.push_back({"q", std::move(b), {}, {}});
  } else {
    parts.push_back(
        {shortText(in), std::nullopt, static_cast<SubjectStatus>(in.byte() % 7), in.text()});
  }
  RuntimeStateSnapshot composed;
  try {
    composed = compose(std::move(parts), system, epoch, 1, 0, 0, [] { return std::uint64_t{0}; });
  } catch (const std::invalid_argument&) {
    return;  // a part id empty or repeated
  }
  require(inIdOrder(composed.subjects), "composed ids are unique and ascending");
  bool everyCaptured = true;
  for (const SubjectResult& subject : composed.subjects) {
    const bool captured = subject.status == SubjectStatus::captured;
    everyCaptured = everyCaptured && captured;
    require(subject.observation.has_value() == captured, "only captured subjects show one",
            subject.id);
    require(!captured ||
                (subject.observation->validate().empty() &&
                 subject.observation->system_id == system && subject.observation->epoch == epoch),
            "a shown observation is valid and of the barrier", subject.id);
  }
  require(everyCaptured == (composed.status == SnapshotStatus::complete),
          "complete exactly when every subject is captured");
  require(isConsistent(composed) == everyCaptured, "consistent exactly when complete");
  const std::string document = composed.toCanonicalJson();
  try {
    require(readRuntimeState(document) == composed, "a composed document reads back", document);
  } catch (const DocumentError& error) {
    fail("a composed document reads back", std::string(error.what()) + "\n" + document);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  RuntimeStateSnapshot a;
  a.system_id = shortText(in);
  a.epoch = in.small();
  a.status = static_cast<SnapshotStatus>(in.byte() % 3);
  for (int count = in.byte() % 8; count > 0; --count)
    a.subjects.push_back(readSubject(in));
  if ((in.byte() & 1) != 0) {
    std::ranges::stable_sort(a.subjects, {}, &SubjectResult::id);
    a.subjects.erase(std::unique(a.subjects.begin(), a.subjects.end(),
                                 [](auto& left, auto& right) { return left.id == right.id; }),
                     a.subjects.end());
  }
  RuntimeStateSnapshot b = a;
  for (int edits = in.byte() % 8; edits > 0; --edits) {
    const std::uint8_t kind = in.byte() % 4;
    const std::size_t at = in.byte();
    if (kind == 0) ++b.epoch;
    if (kind == 0 || b.subjects.empty()) continue;
    const auto subject = b.subjects.begin() + static_cast<std::ptrdiff_t>(at % b.subjects.size());
    if (kind == 1) b.subjects.erase(subject);
    if (kind == 2) *subject = readSubject(in);
    if (kind == 3) subject->status = static_cast<SubjectStatus>(in.byte() % 7);
  }

  for (const RuntimeStateSnapshot* snapshot : {&a, &b}) {
    checkConsistency(*snapshot);
    checkExposition(*snapshot);
  }
  checkComposition(a, b, in);
  std::string was;
  std::string now;
  try {
    was = a.toCanonicalJson();
    now = b.toCanonicalJson();
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const std::string both = was + "\n" + now;
  if (!inIdOrder(a.subjects) || !inIdOrder(b.subjects)) {
    try {
      (void)compare(a, b);
    } catch (const std::invalid_argument&) {
      return 0;
    }
    fail("compare refuses subjects out of order", both);
  }
  require(compare(a, a).empty(), "compare(a, a) is empty", was);
  const std::vector<Change> changes = compare(a, b);
  require(changes.empty() == (was == now), "no change exactly when documents are equal", both);
  for (const Change& change : changes) {
    for (const std::string& text : {change.before, change.after}) {
      if (!text.empty() && isUtf8(text)) (void)parseCanonical(text, "a change is strict JSON");
    }
  }
  return 0;
}
