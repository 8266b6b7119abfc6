// Properties of compare and toOpenMetrics on arbitrary snapshots: a snapshot decoded from the
// bytes and a second one made from it by scripted edits.
// - the exposition of either is valid UTF-8, ends with "# EOF" and a newline, and never repeats
//   a series (a metric name with one label set);
// - when both documents can be written: compare(a, a) is empty, and compare(a, b) is empty
//   exactly when the documents are byte-identical, every text it reports being strict JSON;
// - compare refuses a subject list that is not ascending with unique non-empty ids.
//
// Script: text system_id, small epoch, byte status, byte subject count (mod 8), then per subject
// text id, byte status (mod 7, 6 stands for a value outside the table), text diagnostic, byte
// observation form (mod 3: none, decoded, valid with decoded parts: u32 kind, u32 health,
// u32 lifecycle, byte pressure choice, map attributes, map extensions); byte flags (1 sort the
// subjects and drop repeated ids); byte edit count (mod 8) and per edit byte kind (mod 4) and
// byte index: epoch + 1, drop a subject, replace a subject by a decoded one, flip a status.
#include <quillon/monitoring/compare.hpp>
#include <quillon/monitoring/openmetrics.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_input.hpp"
#include "properties.hpp"

namespace {

using namespace Quillon::Core::Monitoring;
using namespace Quillon::Core::Monitoring::fuzzing;

Observation validWith(FuzzInput& in) {
  constexpr std::array kPressures{0.0, -0.0, 0.25, 1.0, 1e-300, 2.0};
  Observation record;
  record.system_id = "lab";
  record.epoch = 1;
  record.entity = {static_cast<EntityKind>(in.u32() | 1), "engine", "gpu-0"};
  ObservedState& observed = record.observed.emplace();
  observed.health = static_cast<HealthState>(in.u32());
  observed.lifecycle = static_cast<LifecycleState>(in.u32());
  observed.pressure = kPressures[in.byte() % kPressures.size()];
  observed.attributes = in.map();
  record.extensions = in.map();
  return record;
}

SubjectResult readSubject(FuzzInput& in) {
  SubjectResult subject;
  subject.id = in.text();
  const std::uint8_t status = in.byte() % 7;
  subject.status = static_cast<SubjectStatus>(status == 6 ? 9 : status);
  subject.diagnostic = in.text();
  const std::uint8_t form = in.byte() % 3;
  if (form == 1) subject.observation = readObservation(in);
  if (form == 2) subject.observation = validWith(in);
  return subject;
}

void checkExposition(const RuntimeStateSnapshot& snapshot) {
  const std::string text = toOpenMetrics(snapshot);
  require(isUtf8(text), "exposition is valid UTF-8", text);
  require(text.ends_with("\n# EOF\n"), "exposition ends with # EOF", text);
  std::set<std::string_view> series;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line(text.data() + at, end - at);
    if (!line.starts_with('#')) {
      require(series.insert(line.substr(0, line.rfind(' '))).second, "no series repeats", line);
    }
    at = end + 1;
  }
}

std::optional<std::string> documentOf(const RuntimeStateSnapshot& snapshot) {
  try {
    return snapshot.toCanonicalJson();
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
}

bool walkable(const RuntimeStateSnapshot& snapshot) {
  const auto& subjects = snapshot.subjects;
  return std::none_of(subjects.begin(), subjects.end(), [](auto& s) { return s.id.empty(); }) &&
         std::adjacent_find(subjects.begin(), subjects.end(), [](auto& left, auto& right) {
           return !(left.id < right.id);
         }) == subjects.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  RuntimeStateSnapshot before;
  before.system_id = in.text();
  before.epoch = in.small();
  before.status = static_cast<SnapshotStatus>(in.byte() % 3);
  const int count = in.byte() % 8;
  for (int at = 0; at < count; ++at)
    before.subjects.push_back(readSubject(in));
  auto& subjects = before.subjects;
  if ((in.byte() & 1) != 0) {
    const auto byId = [](auto& left, auto& right) { return left.id < right.id; };
    std::stable_sort(subjects.begin(), subjects.end(), byId);
    const auto sameId = [](auto& left, auto& right) { return left.id == right.id; };
    subjects.erase(std::unique(subjects.begin(), subjects.end(), sameId), subjects.end());
  }
  RuntimeStateSnapshot after = before;
  const int edits = in.byte() % 8;
  for (int edit = 0; edit < edits; ++edit) {
    const std::uint8_t kind = in.byte() % 4;
    const std::size_t at = in.byte();
    if (kind == 0) ++after.epoch;
    if (after.subjects.empty() || kind == 0) continue;
    const auto subject =
        after.subjects.begin() + static_cast<std::ptrdiff_t>(at % after.subjects.size());
    if (kind == 1) after.subjects.erase(subject);
    if (kind == 2) *subject = readSubject(in);
    if (kind == 3) subject->status = static_cast<SubjectStatus>(in.byte() % 7);
  }

  checkExposition(before);
  checkExposition(after);
  const std::optional<std::string> was = documentOf(before);
  const std::optional<std::string> now = documentOf(after);
  if (!was || !now) return 0;
  if (!walkable(before) || !walkable(after)) {
    try {
      (void)compare(before, after);
    } catch (const std::invalid_argument&) {
      return 0;
    }
    fail("compare refuses subjects out of order", *was + "\n" + *now);
  }
  require(compare(before, before).empty(), "compare(a, a) is empty", *was);
  const std::vector<Change> changes = compare(before, after);
  require(changes.empty() == (*was == *now), "no change exactly when documents are equal",
          *was + "\n" + *now);
  for (const Change& change : changes) {
    for (const std::string& text : {change.before, change.after}) {
      if (!text.empty() && isUtf8(text)) (void)parseCanonical(text, "a change is strict JSON");
    }
  }
  return 0;
}
