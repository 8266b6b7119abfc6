#include <quillon/monitoring/snapshot.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "byte_scan.hpp"
#include "json_text.hpp"
#include "observation_document.hpp"

namespace Quillon::Core::Monitoring {
namespace {

/// Tells whether `entity`'s subject key equals `key` without building the key.
bool hasSubjectKey(const EntityIdentity& entity, std::string_view key) noexcept {
  const auto consume = [&key](std::string_view part, char separator) {
    if (key.size() <= part.size() || key[part.size()] != separator ||
        !detail::sameBytes(key.substr(0, part.size()), part)) {
      return false;
    }
    key.remove_prefix(part.size() + 1);
    return true;
  };
  if (!consume(toString(entity.kind), ':')) return false;
  if (entity.parent && !consume(*entity.parent, '/')) return false;
  return detail::sameBytes(key, entity.id);
}

/// Where the probe set breaks a construction rule, as positions in the caller's order.
struct ProbeFault {
  std::size_t position = std::numeric_limits<std::size_t>::max();
  bool id_rule = false;

  void note(std::size_t at, bool breaksIdRule) noexcept {
    // Within one probe the id rules are checked before the callback rule.
    if (at < position || (at == position && breaksIdRule)) {
      position = at;
      id_rule = breaksIdRule;
    }
  }
};

/// Sorts `probes` by id and rejects the set when a rule is broken, naming the rule of the first
/// offending probe in the caller's order. Duplicates are found as neighbours after sorting rather
/// than through a set of seen ids: the second-earliest probe of a run of equal ids is the first
/// one that repeats an id, which is what a scan in the caller's order would stop at.
void sortAndCheck(std::vector<SnapshotProbe>& probes) {
  ProbeFault fault;
  for (std::size_t at = 0; at < probes.size() && at < fault.position; ++at) {
    if (probes[at].id.empty()) fault.note(at, true);
    if (probes[at].supported && !probes[at].read) fault.note(at, false);
  }

  struct Entry {
    std::string_view id;
    std::size_t position;
  };
  std::vector<Entry> order;
  order.reserve(probes.size());
  for (std::size_t at = 0; at < probes.size(); ++at)
    order.push_back({probes[at].id, at});
  // string_view compares bytes as unsigned char, so a proper prefix sorts first and 0x80 to 0xFF
  // sort after ASCII; equal ids fall in caller order.
  std::sort(order.begin(), order.end(), [](const Entry& left, const Entry& right) {
    const int byId = left.id.compare(right.id);
    return byId != 0 ? byId < 0 : left.position < right.position;
  });
  for (std::size_t at = 1; at < order.size(); ++at) {
    if (order[at].id == order[at - 1].id && (at < 2 || order[at - 2].id != order[at].id)) {
      fault.note(order[at].position, true);
    }
  }

  if (fault.position != std::numeric_limits<std::size_t>::max()) {
    throw std::invalid_argument(fault.id_rule ? "snapshot probes require unique non-empty ids"
                                              : "supported snapshot probe requires read callback");
  }

  std::vector<SnapshotProbe> sorted;
  sorted.reserve(probes.size());
  for (const Entry& entry : order)
    sorted.push_back(std::move(probes[entry.position]));
  probes = std::move(sorted);
}

/// Converts to the subject of a supported probe holding whatever its read returned, as captured
/// until judged. emplace_back builds the subject from it in place, and the read's result
/// initialises the subject's observation directly: the observation is never moved.
struct ReadSubject {
  const SnapshotProbe& probe;
  std::string& id;

  // Implicit on purpose: emplace_back finds the subject through this conversion.
  operator SubjectResult() const {
    return SubjectResult{std::move(id), SubjectStatus::captured, {}, probe.read()};
  }
};

void reject(SubjectResult& subject, SubjectStatus status, const char* diagnostic) {
  subject.status = status;
  subject.diagnostic = diagnostic;
  subject.observation.reset();
}

/// Judges the result of a read, rows "missing" to "completed after the deadline". Runs inside
/// the guarded section: a standard exception from anything here makes the subject invalid
/// rather than ending capture.
void judgeRead(SubjectResult& subject, const Clock& clock, const std::string& systemId,
               std::uint64_t epoch, std::uint64_t deadline) {
  if (!subject.observation) {
    subject.status = SubjectStatus::missing;
    subject.diagnostic = "probe returned no observation";
    return;
  }
  const Observation& observation = *subject.observation;
  if (!detail::isValid(observation) || !hasSubjectKey(observation.entity, subject.id) ||
      !detail::sameBytes(observation.system_id, systemId)) {
    reject(subject, SubjectStatus::invalid, "probe returned invalid identity or state");
    return;
  }
  if (!belongsToEpoch(observation, epoch)) {
    reject(subject, SubjectStatus::stale_epoch, "probe observation belongs to another epoch");
    return;
  }
  if (clock() > deadline) {
    reject(subject, SubjectStatus::deadline_exceeded, "probe completed after snapshot deadline");
  }
}

}  // namespace

std::string_view toString(SnapshotStatus status) noexcept {
  switch (status) {
    case SnapshotStatus::complete:
      return "complete";
    case SnapshotStatus::partial:
      return "partial";
  }
  return "partial";
}

std::string_view toString(SubjectStatus status) noexcept {
  switch (status) {
    case SubjectStatus::captured:
      return "captured";
    case SubjectStatus::missing:
      return "missing";
    case SubjectStatus::unsupported:
      return "unsupported";
    case SubjectStatus::stale_epoch:
      return "stale_epoch";
    case SubjectStatus::deadline_exceeded:
      return "deadline_exceeded";
    case SubjectStatus::invalid:
      return "invalid";
  }
  return "invalid";
}

std::uint64_t defaultClock() noexcept {
  const auto sinceZero = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(sinceZero).count());
}

bool belongsToEpoch(const Observation& observation, std::uint64_t epoch) noexcept {
  return epoch != 0 && observation.epoch == epoch;
}

bool isConsistent(const RuntimeStateSnapshot& snapshot) noexcept {
  if (snapshot.status != SnapshotStatus::complete || snapshot.epoch == 0 ||
      snapshot.system_id.empty()) {
    return false;
  }
  return std::all_of(snapshot.subjects.begin(), snapshot.subjects.end(),
                     [&snapshot](const SubjectResult& subject) {
                       return subject.status == SubjectStatus::captured && subject.observation &&
                              subject.observation->system_id == snapshot.system_id &&
                              belongsToEpoch(*subject.observation, snapshot.epoch);
                     });
}

SnapshotBarrier::SnapshotBarrier(std::vector<SnapshotProbe> probes, Clock clock)
    : probes_(std::move(probes)), clock_(std::move(clock)) {
  if (!clock_) clock_ = defaultClock;
  sortAndCheck(probes_);
}

RuntimeStateSnapshot SnapshotBarrier::capture(std::string system_id, std::uint64_t epoch,
                                              std::uint64_t barrier_sequence,
                                              std::int64_t logical_time,
                                              std::uint64_t budget_ns) const {
  if (system_id.empty() || epoch == 0 || barrier_sequence == 0) {
    throw std::invalid_argument("snapshot identity, epoch and barrier are required");
  }
  constexpr std::uint64_t kLatest = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t start = clock_();
  const std::uint64_t deadline = budget_ns <= kLatest - start ? start + budget_ns : kLatest;

  RuntimeStateSnapshot snapshot;
  snapshot.system_id = std::move(system_id);
  snapshot.epoch = epoch;
  snapshot.barrier_sequence = barrier_sequence;
  snapshot.logical_time = logical_time;
  snapshot.deadline_ns = deadline;
  snapshot.subjects.reserve(probes_.size());

  std::vector<SubjectResult>& subjects = snapshot.subjects;
  const auto decided = [&subjects](const SnapshotProbe& probe, SubjectStatus status,
                                   const char* diagnostic) {
    SubjectResult& subject = subjects.emplace_back();
    subject.id = probe.id;
    subject.status = status;
    subject.diagnostic = diagnostic;
  };
  bool allCaptured = true;
  for (const SnapshotProbe& probe : probes_) {
    if (!probe.supported) {
      decided(probe, SubjectStatus::unsupported, "probe capability is not supported");
    } else if (clock_() > deadline) {
      decided(probe, SubjectStatus::deadline_exceeded, "snapshot deadline exceeded before probe");
    } else {
      // Copied before the guarded section: only what the read and the judging throw is caught.
      std::string id = probe.id;
      const std::size_t before = subjects.size();
      try {
        judgeRead(subjects.emplace_back(ReadSubject{probe, id}), clock_, snapshot.system_id, epoch,
                  deadline);
      } catch (const std::exception& error) {
        // A read that throws leaves no subject behind (its id went with it); judging leaves one.
        if (subjects.size() == before) subjects.emplace_back().id = probe.id;
        reject(subjects.back(), SubjectStatus::invalid, error.what());
      }
    }
    allCaptured = allCaptured && subjects.back().status == SubjectStatus::captured;
  }

  snapshot.captured_at_ns = clock_();
  snapshot.status = allCaptured ? SnapshotStatus::complete : SnapshotStatus::partial;
  return snapshot;
}

std::string RuntimeStateSnapshot::toCanonicalJson() const {
  for (const SubjectResult& subject : subjects) {
    if (subject.observation && !detail::isValid(*subject.observation)) {
      throw std::invalid_argument("invalid observation");
    }
  }
  return detail::buildText([this](auto sink) {
    sink.raw(R"({"barrier_sequence":)");
    sink.decimal(barrier_sequence);
    sink.raw(R"(,"captured_at_ns":)");
    sink.decimal(captured_at_ns);
    sink.raw(R"(,"deadline_ns":)");
    sink.decimal(deadline_ns);
    sink.raw(R"(,"epoch":)");
    sink.decimal(epoch);
    sink.raw(R"(,"logical_time":)");
    sink.decimal(logical_time);
    sink.raw(R"(,"schema":)");
    sink.string(schema);
    sink.raw(R"(,"status":")");
    sink.name(status);
    sink.raw(R"(","subjects":[)");
    bool first = true;
    for (const SubjectResult& subject : subjects) {
      if (!first) sink.raw(",");
      first = false;
      sink = detail::emitSubject(sink, subject);
    }
    sink.raw(R"(],"system_id":)");
    sink.string(system_id);
    sink.raw("}");
    return sink;
  });
}

}  // namespace Quillon::Core::Monitoring
