// Composition: one table of part sets and the subjects they compose to, every result written and
// read back, given in two orders; then the caller errors.
#include <quillon/monitoring/compose.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/reader.hpp>

#include "example_records.hpp"

namespace Quillon::Core::Monitoring {
namespace {

using enum SubjectStatus;
using Subjects = std::vector<SubjectResult>;

/// A valid observation of device `id` under host `host`: subject key "device:HOST/ID".
Observation device(const std::string& host, const std::string& id) {
  Observation observation = testing::engineExample();
  observation.entity = {EntityKind::device, id, host};
  return observation;
}

SubjectResult shown(const std::string& host, const std::string& id,
                    const std::function<void(Observation&)>& edit = {}) {
  Observation observation = device(host, id);
  if (edit) edit(observation);
  return {"device:" + host + "/" + id, captured, "", std::move(observation)};
}

/// A part whose snapshot holds `subjects` at the barrier given, by default the one composed.
SnapshotPart part(std::string id, Subjects subjects, std::uint64_t epoch = 4,
                  std::uint64_t sequence = 9, std::int64_t time = 100, std::string system = "lab",
                  std::string schema = std::string(kRuntimeStateSchema)) {
  RuntimeStateSnapshot snapshot{
      std::move(schema),       std::move(system),  epoch, sequence, time, 0, 0,
      SnapshotStatus::partial, std::move(subjects)};
  return {std::move(id), std::move(snapshot), missing, ""};
}

SnapshotPart gone(std::string id, SubjectStatus status, std::string diagnostic) {
  return {std::move(id), std::nullopt, status, std::move(diagnostic)};
}

TEST(Compose, DecidesEverySubjectByTheFirstRuleThatHolds) {
  // Each subject composed as "id status diagnostic", in order, joined by "; ".
  const struct {
    const char* description;
    std::vector<SnapshotPart> parts;
    std::string subjects;
  } cases[] = {
      {"no parts: complete and empty", {}, ""},
      {"two parts interleave by id; a part of no subjects adds none",
       {part("n2", {shown("n2", "cpu0"), shown("n2", "gpu0")}), part("empty", {}),
        part("n1", {shown("n1", "cpu0"), {"session:lab/s", unsupported, "off", {}}})},
       "device:n1/cpu0 captured ; device:n2/cpu0 captured ; device:n2/gpu0 captured ; "
       "session:lab/s unsupported off"},
      {"parts without snapshot stand for themselves; a status must be a reason and say why",
       {gone("a", missing, "no document"), gone("b", deadline_exceeded, "late"),
        gone("c", invalid, "bad"), gone("d", captured, "fine"), gone("e", missing, ""),
        gone("f", static_cast<SubjectStatus>(9), "odd"), part("g", {shown("g", "x")})},
       "a missing no document; b deadline_exceeded late; c invalid bad; d invalid part d gave no "
       "snapshot and no reason; device:g/x captured ; e invalid part e gave no snapshot and no "
       "reason; f invalid part f gave no snapshot and no reason"},
      {"another epoch: every subject stale, none shown; a stale part of none stands for itself",
       {part("n2", {shown("n2", "a"), {"device:n2/b", missing, "gone", {}}}, 3), part("n3", {}, 3),
        part("n1", {shown("n1", "a")})},
       "device:n1/a captured ; device:n2/a stale_epoch part n2 answered epoch 3, the barrier is at "
       "epoch 4; device:n2/b stale_epoch part n2 answered epoch 3, the barrier is at epoch 4; n3 "
       "stale_epoch part n3 answered epoch 3, the barrier is at epoch 4"},
      {"another schema, system, sequence or logical time is invalid and beats the epoch",
       {part("s", {shown("s", "a")}, 3, 9, 100, "lab", "velmor-runtime-state/2"),
        part("t", {shown("t", "a")}, 3, 9, 100, "lab2"), part("u", {shown("u", "a")}, 3, 8, 5),
        part("v", {shown("v", "a")}, 3, 9, -5), part("w", {shown("w", "a")}, 0)},
       "device:s/a invalid part s answered schema velmor-runtime-state/2, the barrier is of schema "
       "velmor-runtime-state/1; device:t/a invalid part t answered system lab2, the barrier is of "
       "system lab; device:u/a invalid part u answered barrier sequence 8, the barrier is at "
       "barrier sequence 9; device:v/a invalid part v answered logical time -5, the barrier is at "
       "logical time 100; device:w/a invalid part w answered epoch 0, the barrier is at epoch 4"},
      {"an id several parts hold is one invalid subject naming them, stale or missing alike",
       {part("p3", {shown("x", "a"), shown("x", "b")}),
        part("p1", {shown("x", "a"), shown("x", "c")}), part("p2", {shown("x", "a")}, 3),
        part("p4", {shown("p5", "z")}), gone("device:p5/z", missing, "gone")},
       "device:p5/z invalid id held by parts device:p5/z and p4; device:x/a invalid id held by "
       "parts p1, p2 and p3; device:x/b captured ; device:x/c captured "},
      {"subject ids out of order, repeated or empty: the part stands for itself",
       {part("r", {shown("r", "b"), shown("r", "a")}),
        part("s", {shown("s", "a"), shown("s", "a")}),
        part("s2", {{"x", missing, "x", {}}, {"x", missing, "x", {}}}),
        part("t", {{"", missing, "no id", {}}}), part("u", {shown("u", "a")})},
       "device:u/a captured ; r invalid part r gave subject ids out of order; s invalid part s "
       "gave subject ids out of order; s2 invalid part s2 gave subject ids out of order; t invalid "
       "part t gave subject ids out of order"},
      {"an observation that is invalid, of another subject, system or epoch is not shown",
       {part("q", {shown("q", "a", [](Observation& o) { o.observed->pressure = 2; }),
                   shown("q", "b", [](Observation& o) { o.entity.id = "c"; }),
                   shown("q", "c", [](Observation& o) { o.system_id = "lab2"; }),
                   shown("q", "d", [](Observation& o) { o.epoch = 3; }), shown("q", "e")})},
       "device:q/a invalid part q gave invalid identity or state; device:q/b invalid part q gave "
       "invalid identity or state; device:q/c invalid part q gave invalid identity or state; "
       "device:q/d invalid part q gave invalid identity or state; device:q/e captured "},
      {"a malformed subject is invalid and shows nothing; an invalid one may say nothing",
       {part("m", {{"a", captured, "", {}},
                   {"b", captured, "note", device("m", "b")},
                   {"c", missing, "gone", device("m", "c")},
                   {"d", invalid, "", {}},
                   {"e", static_cast<SubjectStatus>(6), "odd", {}},
                   {"f", stale_epoch, "old", {}}})},
       "a invalid part m gave a malformed subject; b invalid part m gave a malformed subject; c "
       "invalid part m gave a malformed subject; d invalid ; e invalid part m gave a malformed "
       "subject; f stale_epoch old"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    std::vector<SnapshotPart> reversed = row.parts;
    std::reverse(reversed.begin(), reversed.end());
    std::uint64_t readings = 0;
    const RuntimeStateSnapshot result =
        compose(row.parts, "lab", 4, 9, 100, 7, [&readings] { return 40 + readings++; });
    EXPECT_EQ(result, compose(reversed, "lab", 4, 9, 100, 7, [] { return std::uint64_t{40}; }));
    EXPECT_EQ(1u, readings);
    EXPECT_EQ(40u, result.captured_at_ns);
    EXPECT_EQ(7u, result.deadline_ns);
    std::string subjects;
    bool allCaptured = true;
    for (const SubjectResult& subject : result.subjects) {
      if (!subjects.empty()) subjects += "; ";
      subjects.append(subject.id).append(" ").append(toString(subject.status));
      subjects.append(" ").append(subject.diagnostic);
      allCaptured = allCaptured && subject.status == captured;
      EXPECT_EQ(subject.status == captured, subject.observation.has_value()) << subject.id;
      if (!subject.observation) continue;
      const std::size_t slash = subject.id.find('/');  // the observation moved in unchanged
      EXPECT_EQ(device(subject.id.substr(7, slash - 7), subject.id.substr(slash + 1)),
                *subject.observation);
    }
    EXPECT_EQ(row.subjects, subjects);
    EXPECT_EQ(allCaptured, isConsistent(result));
    EXPECT_EQ(allCaptured, result.status == SnapshotStatus::complete);
    EXPECT_EQ(result, readRuntimeState(result.toCanonicalJson()));
  }
}

TEST(Compose, MergesManyPartsInIdOrder) {
  // Thirty parts whose ranges interleave unevenly; a host named above 0x7F sorts last.
  std::vector<SnapshotPart> parts;
  std::vector<std::string> ids;
  for (int at = 0; at < 30; ++at) {
    Subjects subjects;
    for (int host = at % 4; host < 5; ++host) {
      const int name = host == 4 ? 0xC3 : 'a' + (at * 11 + host * 7) % 26;
      subjects.push_back(shown(std::string(1, static_cast<char>(name)) + std::to_string(host),
                               "p" + std::to_string(at)));
      ids.push_back(subjects.back().id);
    }
    std::sort(subjects.begin(), subjects.end(), [](auto& a, auto& b) { return a.id < b.id; });
    parts.push_back(part("p" + std::to_string(at), std::move(subjects)));
  }
  std::sort(ids.begin(), ids.end());
  const RuntimeStateSnapshot result = compose(std::move(parts), "lab", 4, 9, 100, 0, {});
  std::vector<std::string> composed;
  for (const SubjectResult& subject : result.subjects)
    composed.push_back(subject.id);
  EXPECT_EQ(ids, composed);
  EXPECT_TRUE(isConsistent(result));
}

TEST(Compose, RefusesPartIdsThenTheBarrierBeforeReadingTheClock) {
  const auto composing = [](std::vector<SnapshotPart> parts, std::string systemId,
                            std::uint64_t epoch, std::uint64_t sequence) {
    return [=] {
      (void)compose(parts, systemId, epoch, sequence, 0, 0,
                    []() -> std::uint64_t { throw std::runtime_error("clock read"); });
    };
  };
  using ::testing::StrEq;
  using ::testing::ThrowsMessage;
  const auto partIds =
      ThrowsMessage<std::invalid_argument>(StrEq("snapshot parts require unique non-empty ids"));
  const auto identity = ThrowsMessage<std::invalid_argument>(
      StrEq("snapshot identity, epoch and barrier are required"));
  EXPECT_THAT(composing({gone("a", missing, "x"), gone("", missing, "x")}, "lab", 1, 1), partIds);
  EXPECT_THAT(composing({gone("a", missing, "x"), part("a", {})}, "", 0, 0), partIds);
  EXPECT_THAT(composing({gone("a", missing, "x")}, "", 1, 1), identity);
  EXPECT_THAT(composing({}, "lab", 0, 1), identity);
  EXPECT_THAT(composing({}, "lab", 1, 0), identity);
  EXPECT_THAT(composing({part("a", {})}, "lab", 1, 1),
              ThrowsMessage<std::runtime_error>(StrEq("clock read")));
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
