// The observation record: names, identifier tokens, subject keys, validation and the document.
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "example_records.hpp"

namespace Quillon::Core::Monitoring {
namespace {

/// Names values 0 to count - 1 and the largest value, each followed by a space; every name must
/// fit the bound that the document writers reserve for it without looking it up.
template <typename Enum>
std::string namesOf(std::uint32_t count) {
  std::string names;
  for (std::uint32_t value = 0; value <= count; ++value) {
    const auto name = toString(static_cast<Enum>(value < count ? value : 0xFFFFFFFFU));
    EXPECT_LE(name.size(), 17U);
    names.append(name).push_back(' ');
  }
  return names;
}

TEST(EnumerationNames, NameEveryValueAndFallBackOutsideTheTable) {
  EXPECT_EQ(
      "system host device engine network module run session artifact tensor trace unknown unknown "
      "unknown ",
      namesOf<EntityKind>(13));
  EXPECT_EQ("unknown healthy degraded unhealthy unknown unknown ", namesOf<HealthState>(5));
  EXPECT_EQ(
      "declared provisioning ready running paused stopping stopped failed unknown unknown unknown ",
      namesOf<LifecycleState>(10));
  EXPECT_EQ("complete partial partial partial ", namesOf<SnapshotStatus>(3));
  EXPECT_EQ("captured missing unsupported stale_epoch deadline_exceeded invalid invalid invalid ",
            namesOf<SubjectStatus>(7));
}

TEST(EntityIdentity, SubjectKeyJoinsKindParentAndId) {
  // Identifier tokens are checked byte by byte with the writers, in canonical_json_test.
  EXPECT_EQ("engine:gpu-0/transformer",
            EntityIdentity({EntityKind::engine, "transformer", "gpu-0"}).subjectKey());
  EXPECT_EQ("system:lab", EntityIdentity({EntityKind::system, "lab", std::nullopt}).subjectKey());
  EXPECT_EQ("unknown:/x", EntityIdentity({static_cast<EntityKind>(12), "x", ""}).subjectKey());
}

TEST(ObservationValidation, ReportsEveryBrokenRuleInRuleOrder) {
  constexpr EntityKind kSystem = EntityKind::system;
  constexpr EntityKind kEngine = EntityKind::engine;
  const char* const kPressure = "pressure must be finite and in [0,1]";
  const auto record = [](EntityIdentity entity) {
    Observation made = testing::systemExample();
    made.entity = std::move(entity);
    return made;
  };
  const auto schema = [&record](std::string text) {
    Observation made = record({kEngine, "x", "p"});
    made.schema = std::move(text);
    return made;
  };
  const auto observed = [&record](double pressure, std::uint64_t last = 500) {
    Observation made = record({kEngine, "x", "p"});
    made.observed_at_ns = 500;
    made.observed =
        ObservedState{LifecycleState::declared, HealthState::unknown, false, pressure, last, {}};
    return made;
  };
  const std::tuple<const char*, Observation, std::vector<std::string>> rows[] = {
      {"engine with parent", testing::engineExample(), {}},
      {"system itself", testing::systemExample(), {}},
      {"default record",
       Observation{},
       {"invalid system_id", "epoch must be non-zero", "invalid entity id"}},
      {"schema plus a NUL byte", schema({"velmor-observability/1", 23}), {"unsupported schema"}},
      {"schema short of a byte", schema("velmor-observability/"), {"unsupported schema"}},
      {"subject key as id", record({kEngine, "engine:gpu-0/x", "p"}), {"invalid entity id"}},
      {"system lab2", record({kSystem, "lab2", {}}), {"system entity must match system_id"}},
      {"engine without parent", record({kEngine, "x", {}}), {"non-system entity requires parent"}},
      {"parent with solidus", record({kEngine, "x", "gpu/0"}), {"invalid parent id"}},
      {"kind 12 with parent", record({static_cast<EntityKind>(12), "x", "p"}), {}},
      {"last_observed equal to envelope", observed(0.5, 500), {}},
      {"pressure negative zero", observed(-0.0), {}},
      {"pressure one", observed(1.0), {}},
      {"pressure next above one", observed(std::nextafter(1.0, 2.0)), {kPressure}},
      {"pressure negative subnormal",
       observed(-std::numeric_limits<double>::denorm_min()),
       {kPressure}},
      {"all nine rules broken",
       testing::everyRuleBroken(),
       {"unsupported schema", "invalid system_id", "epoch must be non-zero", "invalid entity id",
        "invalid parent id", "system entity cannot have parent",
        "system entity must match system_id", kPressure,
        "last_observed cannot be newer than envelope"}},
  };
  for (const auto& [description, observation, expected] : rows) {
    SCOPED_TRACE(description);
    EXPECT_EQ(expected, observation.validate());
  }
}

TEST(ObservationDocument, WritesKnownRecordsExactly) {
  Observation escapes = testing::engineExample();
  escapes.system_id = "l\"ab";
  escapes.entity = {static_cast<EntityKind>(12), "tr\"ans", "gpu\"0"};
  escapes.declared = DeclaredState{"a\"b\\c\td", "\n\r\b\f", {{"k\x01", "\x1F"}, {"\"", "\\"}}};
  escapes.planned = PlannedState{std::string("h\0", 2), "d\x0B", "\x1B", {{"\t", "\n"}}};
  escapes.observed->lifecycle = static_cast<LifecycleState>(100);
  escapes.observed->health = static_cast<HealthState>(4);
  escapes.observed->attributes = {{"q", "\"x\""}};
  escapes.extensions = {{"ext\\", "\x7F"}};
  escapes.logical_time = -3;
  const std::pair<Observation, std::string> rows[] = {
      {testing::engineExample(), testing::readerSeed("engine_example")},
      {testing::systemExample(), testing::readerSeed("system_example")},
      {escapes,
       R"({"declared":{"attributes":{"\"":"\\","k\u0001":"\u001f"},"config_hash":"\n\r\b\f","type":"a\"b\\c\td"},"entity":{"id":"tr\"ans","kind":"unknown","parent":"gpu\"0"},"epoch":4,"extensions":{"ext\\":")"
       "\x7F"
       R"("},"logical_time":-3,"observed":{"attributes":{"q":"\"x\""},"health":"unknown","last_observed_ns":990,"lifecycle":"unknown","pressure":0.25,"ready":false},"observed_at_ns":1000,"planned":{"attributes":{"\t":"\n"},"device_id":"d\u000b","host_id":"h\u0000","placement_hash":"\u001b"},"schema":"velmor-observability/1","sequence":2,"system_id":"l\"ab"})"},
      {testing::extremesExample(),
       R"({"declared":{"attributes":{},"config_hash":"","type":""},"entity":{"id":"host","kind":"host","parent":"lab"},"epoch":18446744073709551615,"extensions":{},"logical_time":-9223372036854775808,"observed":{"attributes":{},"health":"unknown","last_observed_ns":18446744073709551615,"lifecycle":"declared","pressure":-0,"ready":false},"observed_at_ns":18446744073709551615,"planned":{"attributes":{},"device_id":"","host_id":null,"placement_hash":""},"schema":"velmor-observability/1","sequence":18446744073709551615,"system_id":"lab"})"},
  };
  for (const auto& [record, expected] : rows)
    EXPECT_EQ(expected, record.toCanonicalJson());
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
