// Allocation failure, one allocation at a time. This binary replaces the global operator new; for
// k = 1, 2, ... the k-th allocation of the operation under test throws std::bad_alloc, until the
// operation runs with fewer than k allocations. Every attempt must either throw std::bad_alloc or
// return a result whose invariants hold, and must leave no allocation behind: news and deletes are
// counted from building the inputs to destroying the result (LeakSanitizer watches too).
#include <gtest/gtest.h>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "example_records.hpp"

namespace {

/// The state of the replaced operator new; constant-initialised, so it is ready before any
/// allocation of static initialisation.
struct FaultInjection {
  bool counting = false;
  long long live = 0;
  std::size_t failAt = 0;  // 0: never fail
  std::size_t seen = 0;
  bool fired = false;
};

constinit FaultInjection injection;

}  // namespace

void* operator new(std::size_t size) {
  if (injection.failAt != 0 && ++injection.seen == injection.failAt) {
    injection.fired = true;
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  injection.live += injection.counting ? 1 : 0;
  return memory;
}
void operator delete(void* memory) noexcept {
  injection.live -= injection.counting && memory != nullptr ? 1 : 0;
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  operator delete(memory);
}

namespace Quillon::Core::Monitoring {
namespace {

/// Runs `operate` with allocation `k` failing; returns its result, or nothing when std::bad_alloc
/// escaped.
template <typename Operate>
auto failingAt(std::size_t k, const Operate& operate) {
  std::optional<decltype(operate())> result;
  injection.failAt = k;
  try {
    result.emplace(operate());
  } catch (const std::bad_alloc&) {
  }
  injection.failAt = 0;
  return result;
}

/// Returns what `call` throws as a standard exception other than std::bad_alloc (or "") and what
/// it returns (or nothing).
template <typename Call>
auto outcome(const Call& call) {
  std::pair<std::string, std::optional<decltype(call())>> result;
  try {
    result.second.emplace(call());
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    result.first = error.what();
  }
  return result;
}

/// Makes the attempt that runs `operate` on what `make` builds with allocation `k` failing: it must
/// throw std::bad_alloc or give (or throw) what an undisturbed run gives (or throws).
template <typename Make, typename Operate>
std::function<const char*(std::size_t)> whole(Make make, Operate operate) {
  return [make, operate](std::size_t k) -> const char* {
    const auto input = make();
    const auto result = failingAt(k, [&] { return outcome([&] { return operate(input); }); });
    return result && *result != outcome([&] { return operate(make()); }) ? "result differs"
                                                                         : nullptr;
  };
}

TEST(AllocationFailure, EveryOperationIsWholeOrThrowsBadAlloc) {
  std::uint64_t now = 0;
  const RuntimeStateSnapshot captured = testing::everyOutcome(now).capture("lab", 4, 9, -7, 100);
  std::string statuses;
  for (const SubjectResult& subject : captured.subjects)
    statuses.append(toString(subject.status)).push_back(' ');
  ASSERT_EQ(
      "captured captured unsupported missing stale_epoch invalid invalid invalid captured "
      "deadline_exceeded deadline_exceeded ",
      statuses)
      << "the fixture no longer covers every outcome";
  int absorbed = 0;
  int escaped = 0;
  const auto validate = [](const Observation& record) { return record.validate(); };
  const auto write = [](const auto& document) { return document.toCanonicalJson(); };
  const auto probes = [](bool twice) {
    return [twice] {
      std::uint64_t time = 0;
      std::vector<SnapshotProbe> given(testing::everyOutcome(time).probes());
      std::reverse(given.begin(), given.end());
      if (twice) given.push_back(given.front());
      return given;
    };
  };
  const auto build = [](const std::vector<SnapshotProbe>& given) {
    const SnapshotBarrier barrier(given, Clock());
    std::string ids;
    for (const SnapshotProbe& probe : barrier.probes())
      ids += probe.id;
    return ids;
  };
  // The readers give the record or throw: a DocumentError for a text they refuse, whatever fails.
  const auto read = [](const std::string& text) { return readObservation(text); };
  const auto readState = [](const std::string& text) { return readRuntimeState(text); };
  const std::string engineText = testing::engineRecord().toCanonicalJson();
  // Each operation returns the broken invariant for its k-th allocation failing, or null.
  const struct {
    const char* description;
    int allocations;  // -1: some
    std::function<const char*(std::size_t)> attempt;
  } operations[] = {
      {"validate of a valid record", 0, whole(testing::engineRecord, validate)},
      {"validate of nine broken rules", -1, whole(testing::everyRuleBroken, validate)},
      {"Observation::toCanonicalJson", 1, whole(testing::engineRecord, write)},
      {"Observation::toCanonicalJson refusing", -1, whole(testing::everyRuleBroken, write)},
      {"SnapshotBarrier constructor", -1, whole(probes(false), build)},
      {"SnapshotBarrier constructor refusing", -1, whole(probes(true), build)},
      {"RuntimeStateSnapshot::toCanonicalJson", 1, whole([&] { return captured; }, write)},
      {"readObservation", -1, whole([&] { return engineText; }, read)},
      // A space after the "{" leaves the straight-through reading to the general one.
      {"readObservation, general reading", -1,
       whole([&] { return "{ " + engineText.substr(1); }, read)},
      {"readObservation refusing", -1,
       whole([] { return std::string(R"({"colour":"red"})"); }, read)},
      {"readRuntimeState", -1, whole([&] { return captured.toCanonicalJson(); }, readState)},
      {"SnapshotBarrier::capture", -1,
       [&](std::size_t k) -> const char* {
         std::uint64_t time = 0;
         const SnapshotBarrier barrier = testing::everyOutcome(time);
         const auto snapshot = failingAt(k, [&] { return barrier.capture("lab", 4, 9, -7, 100); });
         escaped += snapshot ? 0 : 1;
         if (!snapshot) return nullptr;
         absorbed += injection.fired ? 1 : 0;
         if (snapshot->subjects.size() != captured.subjects.size()) return "subjects lost";
         bool allCaptured = true;
         for (std::size_t at = 0; at < captured.subjects.size(); ++at) {
           const SubjectResult& subject = snapshot->subjects[at];
           // A read that ran out of memory makes its subject invalid, and nothing else.
           const bool outOfMemory = subject.status == SubjectStatus::invalid &&
                                    subject.diagnostic == "std::bad_alloc" && !subject.observation;
           if (!(subject == captured.subjects[at]) && !(injection.fired && outOfMemory)) {
             return "subject differs";
           }
           allCaptured = allCaptured && subject.status == SubjectStatus::captured;
         }
         const bool complete = snapshot->status == SnapshotStatus::complete;
         return complete != allCaptured || isConsistent(*snapshot) != allCaptured ||
                        snapshot->deadline_ns != captured.deadline_ns
                    ? "snapshot rules broken"
                    : nullptr;
       }},
  };
  for (const auto& operation : operations) {
    std::size_t k = 1;
    for (;; ++k) {
      injection = FaultInjection{.counting = true};
      const char* broken = operation.attempt(k);
      const FaultInjection after = std::exchange(injection, FaultInjection{});
      EXPECT_EQ(nullptr, broken) << operation.description << ", allocation " << k << ": " << broken;
      EXPECT_EQ(0, after.live) << operation.description << ", allocation " << k << ": leaked";
      if (!after.fired) break;
    }
    EXPECT_TRUE(operation.allocations < 0
                    ? k > 1
                    : k == static_cast<std::size_t>(operation.allocations) + 1)
        << operation.description << " allocates " << k - 1;
  }
  // Both ways of failing happen: inside a read (the subject becomes invalid) and outside one.
  EXPECT_GT(absorbed, 0);
  EXPECT_GT(escaped, 0);
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
