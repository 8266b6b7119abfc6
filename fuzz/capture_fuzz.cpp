// Properties of the barrier and of capture (each named where it is required) for a script.
// Script (encodings in fuzz_input.hpp): text system_id, small epoch, small barrier_sequence, u64
// logical_time, small budget_ns, small clock start, byte step count (mod 4, plus one) and that
// many small steps, byte probe count (mod 9); per probe: byte id form (mod 3: 0 text, 1 subject
// key of byte kind, byte has-parent, [text parent], text id, 2 byte index of an earlier probe
// whose id is reused), byte flags (1 supported, 2 has read callback), byte action (mod 9:
// nothing, valid, invalid, other entity, other system, other epoch, throw runtime_error with a
// text, throw another standard exception chosen by a byte, a decoded observation), the action's
// argument, small clock advance during the read.
#include <quillon/monitoring/snapshot.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "properties.hpp"

namespace {

using namespace Quillon::Core::Monitoring;
using namespace Quillon::Core::Monitoring::fuzzing;

struct ClockState {
  std::uint64_t now = 0;
  std::vector<std::uint64_t> steps;
  std::size_t readings = 0;
};

ProbeRead makeRead(FuzzInput& in, const Observation& acceptable,
                   const std::shared_ptr<ClockState>& clock) {
  const int action = in.byte() % 9;
  std::optional<Observation> result;
  if (action >= 1 && action <= 5) result = acceptable;
  if (action == 2) result->epoch = 0;
  if (action == 3) result->entity.id += "x";
  if (action == 4) result->system_id += "x";
  if (action == 5) ++result->epoch;
  const std::string message = action == 6 ? in.text() : std::string();
  const auto which = static_cast<std::uint8_t>(action == 7 ? in.byte() % 3 : 0);
  if (action == 8) result = readObservation(in);
  const std::uint64_t advance = in.small();
  return [=]() -> std::optional<Observation> {
    clock->now += advance;
    if (action == 6) throw std::runtime_error(message);
    if (action == 7 && which == 0) throw std::logic_error("logic error from a probe");
    if (action == 7 && which == 1) throw std::out_of_range("out of range in a probe");
    if (action == 7) throw std::bad_alloc();
    return result;
  };
}

/// The construction rule as a plain scan in the caller's order; returns the message it demands.
std::optional<std::string> expectedConstructionError(const std::vector<SnapshotProbe>& probes) {
  std::set<std::string> seen;
  for (const SnapshotProbe& probe : probes) {
    if (probe.id.empty() || !seen.insert(probe.id).second) {
      return "snapshot probes require unique non-empty ids";
    }
    if (probe.supported && !probe.read) return "supported snapshot probe requires read callback";
  }
  return std::nullopt;
}

void checkSnapshot(const RuntimeStateSnapshot& snapshot, const SnapshotBarrier& barrier,
                   const ClockState& clock) {
  const std::vector<SnapshotProbe>& probes = barrier.probes();
  require(snapshot.subjects.size() == probes.size(), "one subject per probe");
  bool allCaptured = true;
  bool utf8 = isUtf8(snapshot.system_id);
  for (std::size_t at = 0; at < probes.size(); ++at) {
    const SubjectResult& subject = snapshot.subjects[at];
    require(subject.id == probes[at].id, "subjects follow the barrier's probe order", subject.id);
    require(at == 0 || snapshot.subjects[at - 1].id < subject.id, "subjects ascend bytewise by id",
            subject.id);
    const bool captured = subject.status == SubjectStatus::captured;
    require(
        subject.observation.has_value() == captured && (!captured || subject.diagnostic.empty()),
        "an observation and no diagnostic exactly for captured subjects", subject.diagnostic);
    allCaptured = allCaptured && captured;
    utf8 = utf8 && isUtf8(subject.id) && isUtf8(subject.diagnostic) &&
           (!subject.observation || isUtf8(*subject.observation));
  }
  require((snapshot.status == SnapshotStatus::complete) == allCaptured,
          "complete exactly when every subject is captured");
  require(isConsistent(snapshot) == allCaptured, "consistent exactly when complete");
  require(clock.readings <= 2 * probes.size() + 2, "at most 2n + 2 clock readings");

  std::string document;
  try {
    document = snapshot.toCanonicalJson();
  } catch (const std::exception& error) {
    fail("the document of a captured snapshot is always written", error.what());
  }
  if (!utf8) return;
  const Json parsed = parseCanonical(document, "the document is strict JSON, keys ascending");
  require(parsed.is_object() && parsed["subjects"].size() == probes.size(),
          "the document lists every subject", document);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  // A read of the subject a probe stands for is captured when it returns this, with the subject's
  // entity, as long as that entity is valid for the system (a system entity carries its id).
  Observation acceptable;
  acceptable.system_id = in.text();
  acceptable.epoch = in.small();
  acceptable.observed_at_ns = 1;
  acceptable.observed.emplace().pressure = 0.5;
  const std::uint64_t barrierSequence = in.small();
  const auto logicalTime = static_cast<std::int64_t>(in.u64());
  const std::uint64_t budget = in.small();

  auto clock = std::make_shared<ClockState>();
  clock->now = in.small();
  for (int step = in.byte() % 4 + 1; step > 0; --step)
    clock->steps.push_back(in.small());

  std::vector<SnapshotProbe> probes;
  const int count = in.byte() % 9;
  for (int at = 0; at < count; ++at) {
    SnapshotProbe& probe = probes.emplace_back();
    Observation subject = acceptable;
    const int form = in.byte() % 3;
    if (form == 0) probe.id = subject.entity.id = in.text();
    if (form == 1) {
      subject.entity.kind = static_cast<EntityKind>(in.byte());
      if ((in.byte() & 1) != 0) subject.entity.parent = in.text();
      subject.entity.id = in.text();
      probe.id = subject.entity.subjectKey();
    }
    if (form == 2) {
      const std::uint8_t index = in.byte();
      if (at > 0) probe.id = probes[static_cast<std::size_t>(index % at)].id;
      subject.entity.id = probe.id;
    }
    const std::uint8_t flags = in.byte();
    probe.supported = (flags & 1) != 0;
    ProbeRead read = makeRead(in, subject, clock);
    if ((flags & 2) != 0) probe.read = std::move(read);
  }

  const std::optional<std::string> constructionError = expectedConstructionError(probes);
  const Clock readClock = [clock] {
    ++clock->readings;
    const std::uint64_t reading = clock->now;
    clock->now += clock->steps[clock->readings % clock->steps.size()];
    return reading;
  };
  std::optional<SnapshotBarrier> barrier;
  try {
    barrier.emplace(std::move(probes), readClock);
  } catch (const std::invalid_argument& error) {
    require(constructionError == error.what(),
            "construction throws exactly as the caller-order scan demands", error.what());
    return 0;
  }
  require(!constructionError, "construction refuses every broken probe set", *constructionError);

  const bool identityMissing =
      acceptable.system_id.empty() || acceptable.epoch == 0 || barrierSequence == 0;
  std::optional<RuntimeStateSnapshot> snapshot;
  try {
    snapshot.emplace(barrier->capture(acceptable.system_id, acceptable.epoch, barrierSequence,
                                      logicalTime, budget));
  } catch (const std::invalid_argument& error) {
    require(identityMissing && clock->readings == 0 &&
                std::strcmp(error.what(), "snapshot identity, epoch and barrier are required") == 0,
            "capture throws only for a missing identity, fixed message, no clock read",
            error.what());
    return 0;
  }
  require(!identityMissing, "capture refuses a missing identity, epoch or barrier");
  checkSnapshot(*snapshot, *barrier, *clock);
  return 0;
}
