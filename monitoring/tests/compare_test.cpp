// compare: one table of snapshot pairs and the changes expected between them. Whole objects are
// expected exactly as they stand in the runtime-state document.
#include <quillon/monitoring/compare.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "example_records.hpp"

namespace Quillon::Core::Monitoring {

namespace {

constexpr char kEngine[] = "engine:gpu-0/transformer";

RuntimeStateSnapshot base() {
  RuntimeStateSnapshot snapshot;
  snapshot.system_id = "lab";
  snapshot.epoch = 4;
  snapshot.subjects = {{"device:host/gpu-0", SubjectStatus::missing, "gone", std::nullopt},
                       {kEngine, SubjectStatus::captured, "", testing::engineExample()},
                       {"system:lab", SubjectStatus::captured, "", testing::systemExample()}};
  return snapshot;
}

Observation& engine(RuntimeStateSnapshot& snapshot) {
  return *snapshot.subjects[1].observation;
}

TEST(Compare, ReportsEachDifferenceOnceAtItsDeepestPlace) {
  using Edit = std::function<void(RuntimeStateSnapshot&)>;
  const auto none = [](RuntimeStateSnapshot&) {};
  const struct {
    const char* description;
    Edit before;
    Edit after;
    std::vector<Change> expected;
  } cases[] = {
      {"members first, then subjects",
       none,
       [](auto& s) {
         s.epoch = 5;
         s.status = SnapshotStatus::complete;
         s.system_id = "la\"b";
         engine(s).observed->health = HealthState::unhealthy;
       },
       {{"", "/epoch", "4", "5"},
        {"", "/status", R"("partial")", R"("complete")"},
        {"", "/system_id", R"("lab")", R"("la\"b")"},
        {kEngine, "/observation/observed/health", R"("degraded")", R"("unhealthy")"}}},
      {"section from null to an object",
       [](auto& s) { engine(s).observed.reset(); },
       none,
       {{kEngine, "/observation/observed", "null",
         R"({"attributes":{"batch":"8","queue":"3"},"health":"degraded","last_observed_ns":990,)"
         R"("lifecycle":"running","pressure":0.25,"ready":false})"}}},
      {"map entries added, removed and changed; ~ and / escaped in a token",
       [](auto& s) {
         engine(s).extensions = {{"gone", "1"}, {"kept", "a"}};
       },
       [](auto& s) {
         engine(s).extensions = {{"f/b~c", "\n"}, {"kept", "b"}, {"last", ""}};
       },
       {{kEngine, "/observation/extensions/f~1b~0c", "", R"("\n")"},
        {kEngine, "/observation/extensions/gone", R"("1")", ""},
        {kEngine, "/observation/extensions/kept", R"("a")", R"("b")"},
        {kEngine, "/observation/extensions/last", "", R"("")"}}},
      {"texts decide: 0 and -0 differ, an out-of-table name does not",
       [](auto& s) {
         engine(s).observed->pressure = 0.0;
         engine(s).entity.kind = EntityKind::unknown;
       },
       [](auto& s) {
         engine(s).observed->pressure = -0.0;
         engine(s).entity.kind = static_cast<EntityKind>(12);
         engine(s).observed->lifecycle = static_cast<LifecycleState>(99);
         engine(s).planned->host_id.reset();
       },
       {{kEngine, "/observation/observed/lifecycle", R"("running")", R"("unknown")"},
        {kEngine, "/observation/observed/pressure", "0", "-0"},
        {kEngine, "/observation/planned/host_id", R"("host")", "null"}}},
      {"subjects appear and disappear whole",
       [](auto& s) { s.subjects.erase(s.subjects.begin()); },
       [](auto& s) { s.subjects.pop_back(); },
       {{"device:host/gpu-0", "", "",
         R"({"diagnostic":"gone","id":"device:host/gpu-0","observation":null,"status":"missing"})"},
        {"system:lab", "",
         R"({"diagnostic":"","id":"system:lab","observation":)" +
             testing::systemExample().toCanonicalJson() + R"(,"status":"captured"})",
         ""}}},
      {"a subject captured at last",
       none,
       [](auto& s) {
         s.subjects[0] = {"device:host/gpu-0", SubjectStatus::captured, "",
                          testing::systemExample()};
       },
       {{"device:host/gpu-0", "/diagnostic", R"("gone")", R"("")"},
        {"device:host/gpu-0", "/observation", "null", testing::systemExample().toCanonicalJson()},
        {"device:host/gpu-0", "/status", R"("missing")", R"("captured")"}}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    RuntimeStateSnapshot before = base();
    RuntimeStateSnapshot after = base();
    row.before(before);
    row.after(after);
    EXPECT_EQ(row.expected, compare(before, after));
  }
}

TEST(Compare, RefusesWhatItCannotWalkOrWrite) {
  RuntimeStateSnapshot emptyId = base();
  emptyId.subjects[0].id.clear();
  EXPECT_THROW((void)compare(base(), emptyId), std::invalid_argument);
  EXPECT_THROW((void)compare(emptyId, base()), std::invalid_argument);
  RuntimeStateSnapshot invalid = base();
  engine(invalid).epoch = 0;
  EXPECT_TRUE(compare(invalid, invalid).empty());
  EXPECT_THAT(
      [&] { (void)compare(base(), invalid); },
      ::testing::ThrowsMessage<std::invalid_argument>(::testing::StrEq("invalid observation")));
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
