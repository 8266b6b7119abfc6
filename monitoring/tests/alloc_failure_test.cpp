// Allocation failure, one allocation at a time. This binary replaces the global operator new; it
// fails only while a sweep has armed it, around the operation under test, so GoogleTest itself
// allocates normally. For k = 1, 2, ... the k-th allocation of the operation throws
// std::bad_alloc, until the operation runs with fewer than k allocations. Every attempt must either
// throw std::bad_alloc or return a result whose invariants hold, and must leave no allocation
// behind: news and deletes are counted from building the inputs to destroying the result (and
// LeakSanitizer watches too in the sanitizer build).
#include <gtest/gtest.h>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "example_records.hpp"

namespace {

/// The state of the replaced operator new. Constant-initialised, so it is ready before any
/// allocation of static initialisation.
struct FaultInjection {
  bool counting = false;
  long long live = 0;
  std::size_t failAt = 0;  // 0: never fail
  std::size_t seen = 0;
  bool fired = false;
};

constinit FaultInjection injection;

void* allocate(std::size_t size) {
  if (injection.failAt != 0 && ++injection.seen == injection.failAt) {
    injection.fired = true;
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  if (injection.counting) ++injection.live;
  return memory;
}

void release(void* memory) noexcept {
  if (memory == nullptr) return;
  if (injection.counting) --injection.live;
  std::free(memory);
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return operator new(size, std::nothrow);
}
void operator delete(void* memory) noexcept {
  release(memory);
}
void operator delete[](void* memory) noexcept {
  release(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  release(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  release(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
  release(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
  release(memory);
}

namespace {

using namespace Quillon::Core::Monitoring;

/// For k = 1, 2, ...: builds the inputs with `make`, runs `operate` on them with its k-th
/// allocation failing, and asks `check` about the result (null when std::bad_alloc escaped),
/// until `operate` completes with fewer than k allocations. `check` returns a literal naming the
/// broken invariant, or null; it must not allocate. Returns the number of k values tried.
template <typename Make, typename Operate, typename Check>
std::size_t sweep(const char* operation, const Make& make, const Operate& operate,
                  const Check& check) {
  constexpr std::size_t kGiveUp = 100000;
  for (std::size_t k = 1; k < kGiveUp; ++k) {
    const char* broken = nullptr;
    injection = FaultInjection{};
    injection.counting = true;
    {
      auto inputs = make();
      std::optional<decltype(operate(inputs))> result;
      injection.failAt = k;
      try {
        result.emplace(operate(inputs));
      } catch (const std::bad_alloc&) {
      }
      injection.failAt = 0;
      broken = check(result ? &*result : nullptr, injection.fired);
    }
    const FaultInjection after = injection;
    injection = FaultInjection{};
    EXPECT_EQ(nullptr, broken) << operation << ", allocation " << k << " failing: " << broken;
    EXPECT_EQ(0, after.live) << operation << ", allocation " << k << " failing: leaked";
    if (!after.fired) {
      std::printf("allocation-failure sweep: %s: k = 1..%zu\n", operation, k);
      ::testing::Test::RecordProperty(operation, static_cast<int>(k));
      return k;
    }
  }
  ADD_FAILURE() << operation << " never completed";
  return kGiveUp;
}

/// The documentation's engine with entries long enough that every string needs the heap.
Observation engineRecord() {
  Observation record = Quillon::Core::Monitoring::testing::engineExample();
  record.observed->attributes.emplace("batch size", "8 in a string long enough to allocate");
  record.extensions = {{"a key long enough to need the heap", "and a value long enough too"}};
  return record;
}

Observation everyRuleBroken() {
  Observation record;
  record.schema = "VELMOR-OBSERVABILITY/1";
  record.system_id = "l b";
  record.entity = {EntityKind::system, "", ""};
  record.observed_at_ns = 5;
  record.observed = ObservedState{};
  record.observed->pressure = 2.0;
  record.observed->last_observed_ns = 6;
  return record;
}

Observation subject(EntityKind kind, std::string parent, std::string id, std::uint64_t epoch = 4) {
  Observation record;
  record.system_id = "lab";
  record.epoch = epoch;
  record.entity = {kind, std::move(id), std::move(parent)};
  return record;
}

TEST(AllocationFailure, ValidateReportsEveryRuleOrThrowsBadAlloc) {
  struct Row {
    const char* description;
    Observation record;
  };
  const Row rows[] = {
      {"validate of a record breaking nine rules", everyRuleBroken()},
      {"validate of a default record", Observation{}},
      {"validate of a valid record", engineRecord()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    const std::vector<std::string> expected = row.record.validate();
    const std::size_t tried = sweep(
        row.description, [&row] { return row.record; },
        [](const Observation& record) { return record.validate(); },
        [&expected](const std::vector<std::string>* messages, bool) {
          return messages == nullptr || *messages == expected ? nullptr : "messages differ";
        });
    EXPECT_EQ(row.record.validate().empty(), tried == 1) << "only a valid record allocates nothing";
  }
}

TEST(AllocationFailure, ObservationDocumentIsWholeOrThrowsBadAlloc) {
  const std::string expected = engineRecord().toCanonicalJson();
  EXPECT_GT(sweep(
                "Observation::toCanonicalJson", [] { return engineRecord(); },
                [](const Observation& record) { return record.toCanonicalJson(); },
                [&expected](const std::string* document, bool) {
                  return document == nullptr || *document == expected ? nullptr
                                                                      : "document differs";
                }),
            1U);
  // An invalid record is refused with the fixed message, or runs out of memory while finding out.
  sweep(
      "Observation::toCanonicalJson of an invalid record", [] { return everyRuleBroken(); },
      [](const Observation& record) {
        try {
          (void)record.toCanonicalJson();
        } catch (const std::invalid_argument& error) {
          return std::string_view(error.what()) == "invalid observation";
        }
        return false;
      },
      [](const bool* refused, bool) {
        return refused == nullptr || *refused ? nullptr : "invalid record not refused";
      });
}

/// State that the probes of the capture fixture share with the clock.
struct Trajectory {
  std::uint64_t now = 10;
};

std::optional<Observation> copyOf(const Observation& record) {
  return record;
}

/// Ten probes, given unsorted, that between them produce every subject status.
std::vector<SnapshotProbe> everyOutcome(Trajectory& time) {
  std::vector<SnapshotProbe> probes;
  probes.push_back({"trace:lab/after-deadline", true, [] { return copyOf(Observation{}); }});
  probes.push_back({"tensor:lab/late", true, [&time] {
                      time.now = 1000;
                      return copyOf(subject(EntityKind::tensor, "lab", "late"));
                    }});
  probes.push_back({"engine:gpu-0/transformer", true, [] { return copyOf(engineRecord()); }});
  probes.push_back({"device:host/gpu-0", true,
                    [] { return copyOf(subject(EntityKind::device, "host", "gpu-0")); }});
  probes.push_back({"host:lab/unsupported-host", false, nullptr});
  probes.push_back({"module:lab/missing", true, [] { return std::optional<Observation>(); }});
  probes.push_back({"network:lab/stale", true,
                    [] { return copyOf(subject(EntityKind::network, "lab", "stale", 3)); }});
  probes.push_back({"run:lab/other-system", true, [] {
                      Observation record = subject(EntityKind::run, "lab", "other-system");
                      record.system_id = "elsewhere";
                      return copyOf(record);
                    }});
  probes.push_back({"session:lab/throws", true, []() -> std::optional<Observation> {
                      throw std::runtime_error("session probe failed while reading");
                    }});
  probes.push_back({"system:lab", true, [] {
                      Observation record;
                      record.system_id = "lab";
                      record.epoch = 4;
                      record.entity.id = "lab";
                      return copyOf(record);
                    }});
  return probes;
}

Clock clockOf(Trajectory& time) {
  return [&time] { return time.now++; };
}

TEST(AllocationFailure, BarrierIsBuiltSortedOrThrowsBadAlloc) {
  Trajectory time;
  const SnapshotBarrier reference(everyOutcome(time), clockOf(time));
  std::vector<std::string> expected;
  for (const SnapshotProbe& probe : reference.probes())
    expected.push_back(probe.id);
  struct Inputs {
    std::vector<SnapshotProbe> probes;
    Clock clock;
  };
  sweep(
      "SnapshotBarrier constructor",
      [&time] {
        return Inputs{everyOutcome(time), clockOf(time)};
      },
      [](Inputs& inputs) {
        return SnapshotBarrier(std::move(inputs.probes), std::move(inputs.clock));
      },
      [&expected](const SnapshotBarrier* barrier, bool) -> const char* {
        if (barrier == nullptr) return nullptr;
        if (barrier->probes().size() != expected.size()) return "probes lost";
        for (std::size_t at = 0; at < expected.size(); ++at) {
          if (barrier->probes()[at].id != expected[at]) return "probes out of order";
        }
        return nullptr;
      });
  // A duplicate id is refused with its fixed message, or memory runs out first.
  sweep(
      "SnapshotBarrier constructor refusing a duplicate id",
      [&time] {
        std::vector<SnapshotProbe> probes = everyOutcome(time);
        probes.push_back(probes.front());
        return probes;
      },
      [&time](std::vector<SnapshotProbe>& probes) {
        try {
          SnapshotBarrier barrier(std::move(probes), clockOf(time));
        } catch (const std::invalid_argument& error) {
          return std::string_view(error.what()) == "snapshot probes require unique non-empty ids";
        }
        return false;
      },
      [](const bool* refused, bool) {
        return refused == nullptr || *refused ? nullptr : "duplicate id not refused";
      });
}

/// Tells what breaks the rules of a snapshot captured from everyOutcome with allocations failing:
/// each subject is the one the undisturbed capture gave, or invalid because memory ran out.
const char* brokenRule(const RuntimeStateSnapshot& snapshot, const RuntimeStateSnapshot& expected,
                       bool fired) {
  if (snapshot.subjects.size() != expected.subjects.size()) return "not one subject per probe";
  bool allCaptured = true;
  for (std::size_t at = 0; at < snapshot.subjects.size(); ++at) {
    const SubjectResult& subject = snapshot.subjects[at];
    if (subject.id != expected.subjects[at].id) return "subject ids differ";
    const bool outOfMemory = subject.status == SubjectStatus::invalid &&
                             subject.diagnostic == "std::bad_alloc" && !subject.observation;
    if (!(subject == expected.subjects[at]) && !(fired && outOfMemory)) return "subject differs";
    if (subject.observation.has_value() != (subject.status == SubjectStatus::captured)) {
      return "observation without capture";
    }
    allCaptured = allCaptured && subject.status == SubjectStatus::captured;
  }
  if ((snapshot.status == SnapshotStatus::complete) != allCaptured) return "status wrong";
  if (isConsistent(snapshot) != allCaptured) return "consistency wrong";
  if (snapshot.system_id != expected.system_id || snapshot.epoch != expected.epoch ||
      snapshot.barrier_sequence != expected.barrier_sequence ||
      snapshot.deadline_ns != expected.deadline_ns) {
    return "identity differs";
  }
  return nullptr;
}

TEST(AllocationFailure, CaptureKeepsItsRulesOrThrowsBadAlloc) {
  Trajectory time;
  const SnapshotBarrier reference(everyOutcome(time), clockOf(time));
  const RuntimeStateSnapshot expected = reference.capture("lab", 4, 9, -7, 100);
  std::vector<SubjectStatus> statuses;
  for (const SubjectResult& subject : expected.subjects)
    statuses.push_back(subject.status);
  ASSERT_EQ((std::vector<SubjectStatus>{
                SubjectStatus::captured, SubjectStatus::captured, SubjectStatus::unsupported,
                SubjectStatus::missing, SubjectStatus::stale_epoch, SubjectStatus::invalid,
                SubjectStatus::invalid, SubjectStatus::captured, SubjectStatus::deadline_exceeded,
                SubjectStatus::deadline_exceeded}),
            statuses)
      << "the fixture no longer covers every outcome";

  int absorbed = 0;
  int escaped = 0;
  const std::size_t tried = sweep(
      "SnapshotBarrier::capture",
      [&time] {
        time.now = 10;
        return SnapshotBarrier(everyOutcome(time), clockOf(time));
      },
      [](const SnapshotBarrier& barrier) { return barrier.capture("lab", 4, 9, -7, 100); },
      [&](const RuntimeStateSnapshot* snapshot, bool fired) {
        if (snapshot == nullptr) {
          ++escaped;
          return static_cast<const char*>(nullptr);
        }
        if (fired) ++absorbed;
        return brokenRule(*snapshot, expected, fired);
      });
  EXPECT_GT(tried, expected.subjects.size());
  // Both ways of failing happen: inside a read (the subject becomes invalid) and outside one.
  EXPECT_GT(absorbed, 0);
  EXPECT_GT(escaped, 0);
}

TEST(AllocationFailure, RuntimeStateDocumentIsWholeOrThrowsBadAlloc) {
  Trajectory time;
  const RuntimeStateSnapshot snapshot =
      SnapshotBarrier(everyOutcome(time), clockOf(time)).capture("lab", 4, 9, -7, 100);
  const std::string expected = snapshot.toCanonicalJson();
  EXPECT_GT(sweep(
                "RuntimeStateSnapshot::toCanonicalJson", [&snapshot] { return snapshot; },
                [](const RuntimeStateSnapshot& copy) { return copy.toCanonicalJson(); },
                [&expected](const std::string* document, bool) {
                  return document == nullptr || *document == expected ? nullptr
                                                                      : "document differs";
                }),
            1U);
}

TEST(AllocationFailure, ReadersGiveTheRecordOrThrowBadAlloc) {
  const Observation engine = engineRecord();
  // A space after the "{" leaves the straight-through reading to the general one.
  for (const std::string& document :
       {engine.toCanonicalJson(), "{ " + engine.toCanonicalJson().substr(1)}) {
    EXPECT_GT(sweep(
                  "readObservation", [&document] { return document; },
                  [](const std::string& text) { return readObservation(text); },
                  [&engine](const Observation* read, bool) {
                    return read == nullptr || *read == engine ? nullptr : "record differs";
                  }),
              1U);
  }
  Trajectory time;
  const RuntimeStateSnapshot snapshot =
      SnapshotBarrier(everyOutcome(time), clockOf(time)).capture("lab", 4, 9, -7, 100);
  EXPECT_GT(sweep(
                "readRuntimeState", [&snapshot] { return snapshot.toCanonicalJson(); },
                [](const std::string& text) { return readRuntimeState(text); },
                [&snapshot](const RuntimeStateSnapshot* read, bool) {
                  return read == nullptr || *read == snapshot ? nullptr : "snapshot differs";
                }),
            1U);
  sweep(
      "readObservation of an unknown member", [] { return std::string(R"({"colour":"red"})"); },
      [](const std::string& text) {
        try {
          (void)readObservation(text);
        } catch (const DocumentError&) {
          return true;
        }
        return false;
      },
      [](const bool* refused, bool) {
        return refused == nullptr || *refused ? nullptr : "text not refused";
      });
}

}  // namespace
