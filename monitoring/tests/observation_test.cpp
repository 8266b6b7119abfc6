// The observation record: names, identifier tokens, subject keys, validation and the document.
// Every document written here is read back by a strict parser that this project did not write,
// and each member must give back exactly what the record holds.
#include <quillon/monitoring/observation.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "strict_json.hpp"

namespace {

using Quillon::Core::Monitoring::AttributeMap;
using Quillon::Core::Monitoring::DeclaredState;
using Quillon::Core::Monitoring::EntityIdentity;
using Quillon::Core::Monitoring::EntityKind;
using Quillon::Core::Monitoring::HealthState;
using Quillon::Core::Monitoring::isValidIdentifier;
using Quillon::Core::Monitoring::LifecycleState;
using Quillon::Core::Monitoring::Observation;
using Quillon::Core::Monitoring::ObservedState;
using Quillon::Core::Monitoring::PlannedState;
using Quillon::Core::Monitoring::toString;
using Quillon::Core::Monitoring::testing::parseStrict;
using Messages = std::vector<std::string>;

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

/// The smallest valid record of a non-system entity.
Observation engineRecord() {
  Observation record;
  record.system_id = "lab";
  record.epoch = 1;
  record.entity = {EntityKind::engine, "transformer", "gpu-0"};
  return record;
}

/// What the conformance harness reports for an engine at epoch 4, built here from plain data.
Observation fixtureRecord() {
  Observation record = engineRecord();
  record.epoch = 4;
  record.sequence = 2;
  record.logical_time = 100;
  record.observed_at_ns = 1000;
  record.observed =
      ObservedState{LifecycleState::running, HealthState::healthy, true, 0.2, 999, {}};
  return record;
}

/// A record with every section present; its observed attributes are inserted out of key order.
Observation fullRecord() {
  Observation record = fixtureRecord();
  record.declared = DeclaredState{"inference", "cfg-7", {{"precision", "fp16"}}};
  record.planned = PlannedState{"host", std::nullopt, "plan-3", {}};
  ObservedState& observed = *record.observed;
  observed.health = HealthState::degraded;
  observed.ready = false;
  observed.pressure = 0.25;
  observed.last_observed_ns = 990;
  observed.attributes = {{"queue", "3"}, {"batch", "8"}};
  return record;
}

/// The document as the strict parser's own library builds it from the record: the reference
/// that every document must read back to, member for member.
nlohmann::json model(const Observation& record) {
  const auto optional = [](const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json();
  };
  nlohmann::json document = {{"declared", nullptr},
                             {"entity",
                              {{"id", record.entity.id},
                               {"kind", std::string(toString(record.entity.kind))},
                               {"parent", optional(record.entity.parent)}}},
                             {"epoch", record.epoch},
                             {"extensions", record.extensions},
                             {"logical_time", record.logical_time},
                             {"observed", nullptr},
                             {"observed_at_ns", record.observed_at_ns},
                             {"planned", nullptr},
                             {"schema", record.schema},
                             {"sequence", record.sequence},
                             {"system_id", record.system_id}};
  if (const auto& declared = record.declared) {
    document["declared"] = {{"attributes", declared->attributes},
                            {"config_hash", declared->config_hash},
                            {"type", declared->type}};
  }
  if (const auto& planned = record.planned) {
    document["planned"] = {{"attributes", planned->attributes},
                           {"device_id", optional(planned->device_id)},
                           {"host_id", optional(planned->host_id)},
                           {"placement_hash", planned->placement_hash}};
  }
  if (const auto& observed = record.observed) {
    document["observed"] = {{"attributes", observed->attributes},
                            {"health", std::string(toString(observed->health))},
                            {"last_observed_ns", observed->last_observed_ns},
                            {"lifecycle", std::string(toString(observed->lifecycle))},
                            {"pressure", observed->pressure},
                            {"ready", observed->ready}};
  }
  return document;
}

/// Writes `record`, checks the document strictly and compares what it reads back with the record.
/// Numbers compare by value, so the sign of a zero pressure is left to the literal documents.
std::string writeAndReadBack(const Observation& record) {
  const std::string document = record.toCanonicalJson();
  parseStrict(document);
  EXPECT_EQ(model(record), nlohmann::json::parse(document));
  return document;
}

/// Valid records must write a document that reads back; invalid ones must refuse to write.
void expectDocumentMatchesVerdict(const Observation& record, bool valid) {
  if (valid) {
    writeAndReadBack(record);
    return;
  }
  try {
    const std::string document = record.toCanonicalJson();
    ADD_FAILURE() << "wrote " << document;
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ("invalid observation", error.what());
  }
}

/// Checks that value i is named names[i], and that every value in `outside` is named "unknown".
template <typename Enum>
void expectNames(const std::vector<std::string_view>& names,
                 const std::vector<std::uint32_t>& outside) {
  for (std::uint32_t value = 0; value < names.size(); ++value) {
    SCOPED_TRACE(value);
    EXPECT_EQ(names[value], toString(static_cast<Enum>(value)));
  }
  for (const std::uint32_t value : outside) {
    SCOPED_TRACE(value);
    EXPECT_EQ("unknown", toString(static_cast<Enum>(value)));
  }
}

TEST(EnumerationNames, NameEveryValueAndCallOthersUnknown) {
  constexpr std::uint32_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
  expectNames<EntityKind>({"system", "host", "device", "engine", "network", "module", "run",
                           "session", "artifact", "tensor", "trace", "unknown"},
                          {12, 13, kMaxU32});
  expectNames<HealthState>({"unknown", "healthy", "degraded", "unhealthy"}, {4, kMaxU32});
  expectNames<LifecycleState>({"declared", "provisioning", "ready", "running", "paused", "stopping",
                               "stopped", "failed", "unknown"},
                              {9, 100, kMaxU32});
}

TEST(IsValidIdentifier, AcceptsNonEmptyTokensWithoutSpaceControlOrSeparators) {
  std::string highBytes;
  for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
    highBytes += static_cast<char>(byte);
  }
  const std::vector<std::tuple<const char*, std::string, bool>> rows = {
      {"empty", "", false},
      {"single space", " ", false},
      {"leading space", " lab", false},
      {"trailing line feed", "lab\n", false},
      {"trailing colon", "lab:", false},
      {"embedded NUL", std::string("la\0b", 4), false},
      {"solidus", "gpu/0", false},
      {"reverse solidus", "gpu\\0", false},
      {"control byte 0x1F", "a\x1F", false},
      {"a subject key", "engine:gpu-0/transformer", false},
      {"one byte", "x", true},
      {"10,000 letters", std::string(10'000, 'a'), true},
      {"punctuation and digits", "gpu-0_A.b!\"#$%&'()*+,;<=>?@[]^`{|}~", true},
      {"DEL", "\x7F", true},
      {"bytes 0x80 to 0xFF", highBytes, true},
  };
  for (const auto& [description, text, valid] : rows) {
    SCOPED_TRACE(description);
    EXPECT_EQ(valid, isValidIdentifier(text));
  }
}

TEST(EntityIdentity, SubjectKeyJoinsKindParentAndId) {
  const std::vector<std::pair<EntityIdentity, std::string_view>> rows = {
      {{EntityKind::engine, "transformer", "gpu-0"}, "engine:gpu-0/transformer"},
      {{EntityKind::device, "gpu-0", "host"}, "device:host/gpu-0"},
      {{EntityKind::system, "lab", std::nullopt}, "system:lab"},
      {{static_cast<EntityKind>(12), "x", "p"}, "unknown:p/x"},
      {{EntityKind::run, "r1", ""}, "run:/r1"},
  };
  for (const auto& [entity, key] : rows) {
    SCOPED_TRACE(key);
    EXPECT_EQ(key, entity.subjectKey());
  }
}

TEST(Observation, DefaultRecordHasSchemaSystemKindAndNoOptionalParts) {
  const Observation record;
  EXPECT_EQ("velmor-observability/1", record.schema);
  EXPECT_EQ(EntityKind::system, record.entity.kind);
  EXPECT_FALSE(record.entity.parent || record.declared || record.planned || record.observed);
}

TEST(ObservationValidation, ReportsEveryBrokenRuleInRuleOrder) {
  constexpr EntityKind kSystem = EntityKind::system;
  constexpr EntityKind kEngine = EntityKind::engine;
  constexpr auto kKind12 = static_cast<EntityKind>(12);
  const auto record = [](EntityIdentity entity, std::string systemId = "lab",
                         std::uint64_t epoch = 1) {
    Observation made = engineRecord();
    made.entity = std::move(entity);
    made.system_id = std::move(systemId);
    made.epoch = epoch;
    return made;
  };
  const auto schema = [](std::string text) {
    Observation made = engineRecord();
    made.schema = std::move(text);
    return made;
  };
  const auto observedAt = [](std::uint64_t envelope, std::uint64_t last) {
    Observation made = engineRecord();
    made.observed_at_ns = envelope;
    made.observed = ObservedState{};
    made.observed->last_observed_ns = last;
    return made;
  };
  Observation anything = engineRecord();
  anything.sequence = kMaxU64;
  anything.logical_time = kMinI64;
  anything.declared = DeclaredState{std::string("\0", 1), "\n", {{"", "\x01"}}};
  anything.planned = PlannedState{"a/b", "c:d", "", {{"\\", "\""}}};
  anything.observed = ObservedState{
      static_cast<LifecycleState>(99), static_cast<HealthState>(99), true, 1.0, 0, {{"k", "\t"}}};
  anything.extensions = {{"x y", "\x1F"}};
  Observation allNine = observedAt(500, 501);
  allNine.schema = "velmor-observability/2";
  allNine.system_id = "la b";
  allNine.epoch = 0;
  allNine.entity = {kSystem, "", ""};
  allNine.observed->pressure = kNaN;

  const std::vector<std::tuple<const char*, Observation, Messages>> rows = {
      {"engine with parent", engineRecord(), {}},
      {"system itself", record({kSystem, "lab", {}}), {}},
      {"default record",
       Observation{},
       {"invalid system_id", "epoch must be non-zero", "invalid entity id"}},
      {"schema plus a NUL byte",
       schema(std::string("velmor-observability/1", 23)),
       {"unsupported schema"}},
      {"schema plus a letter", schema("velmor-observability/1x"), {"unsupported schema"}},
      {"schema short of a byte", schema("velmor-observability/"), {"unsupported schema"}},
      {"schema in upper case", schema("VELMOR-OBSERVABILITY/1"), {"unsupported schema"}},
      {"empty schema", schema(""), {"unsupported schema"}},
      {"epoch zero", record({kEngine, "x", "p"}, "lab", 0), {"epoch must be non-zero"}},
      {"system_id with space", record({kEngine, "x", "p"}, "la b"), {"invalid system_id"}},
      {"subject key as id", record({kEngine, "engine:gpu-0/x", "p"}), {"invalid entity id"}},
      {"system with another id",
       record({kSystem, "runtime", {}}),
       {"system entity must match system_id"}},
      {"system, id and system_id both empty",
       record({kSystem, "", {}}, ""),
       {"invalid system_id", "invalid entity id"}},
      {"non-system without parent",
       record({kEngine, "x", {}}),
       {"non-system entity requires parent"}},
      {"parent with solidus", record({kEngine, "x", "gpu/0"}), {"invalid parent id"}},
      {"present but empty parent", record({kEngine, "x", ""}), {"invalid parent id"}},
      {"system with malformed parent",
       record({kSystem, "lab", "a b"}),
       {"invalid parent id", "system entity cannot have parent"}},
      {"system with parent and another id",
       record({kSystem, "runtime", "host"}),
       {"system entity cannot have parent", "system entity must match system_id"}},
      {"kind unknown without parent",
       record({EntityKind::unknown, "x", {}}),
       {"non-system entity requires parent"}},
      {"kind 12 without parent", record({kKind12, "x", {}}), {"non-system entity requires parent"}},
      {"kind 12 with parent", record({kKind12, "x", "p"}), {}},
      {"last_observed equal to envelope", observedAt(500, 500), {}},
      {"last_observed one later",
       observedAt(500, 501),
       {"last_observed cannot be newer than envelope"}},
      {"unconstrained members take any value", anything, {}},
      {"all nine rules broken",
       allNine,
       {"unsupported schema", "invalid system_id", "epoch must be non-zero", "invalid entity id",
        "invalid parent id", "system entity cannot have parent",
        "system entity must match system_id", "pressure must be finite and in [0,1]",
        "last_observed cannot be newer than envelope"}},
  };
  for (const auto& [description, observation, expected] : rows) {
    SCOPED_TRACE(description);
    EXPECT_EQ(expected, observation.validate());
    expectDocumentMatchesVerdict(observation, expected.empty());
  }
}

TEST(ObservationValidation, PressureMustBeFiniteWithinClosedUnitInterval) {
  // A valid pressure's text as it stands in the document; none for an invalid one.
  const std::vector<std::tuple<const char*, double, std::string_view>> rows = {
      {"zero", 0.0, "0"},
      {"negative zero", -0.0, "-0"},
      {"one", 1.0, "1"},
      {"0.2", 0.2, "0.20000000000000001"},
      {"smallest subnormal", std::numeric_limits<double>::denorm_min(), "4.9406564584124654e-324"},
      {"next below one", std::nextafter(1.0, 0.0), "0.99999999999999989"},
      {"next above one", std::nextafter(1.0, 2.0), ""},
      {"negative subnormal", -std::numeric_limits<double>::denorm_min(), ""},
      {"minus one", -1.0, ""},
      {"positive infinity", kInfinity, ""},
      {"negative infinity", -kInfinity, ""},
      {"NaN", kNaN, ""},
      {"negative NaN", -kNaN, ""},
  };
  for (const auto& [description, pressure, text] : rows) {
    SCOPED_TRACE(description);
    Observation record = fixtureRecord();
    record.observed->pressure = pressure;
    const bool valid = !text.empty();
    EXPECT_EQ(valid ? Messages{} : Messages{"pressure must be finite and in [0,1]"},
              record.validate());
    expectDocumentMatchesVerdict(record, valid);
    if (valid) {
      const std::string fragment = R"("pressure":)" + std::string(text) + ",";
      EXPECT_NE(std::string::npos, record.toCanonicalJson().find(fragment));
    }
  }
}

TEST(ObservationDocument, WritesKnownRecordsExactly) {
  Observation system;
  system.system_id = system.entity.id = "lab";
  system.epoch = 1;
  const std::vector<std::tuple<const char*, Observation, std::string_view>> rows = {
      {"every section", fullRecord(),
       R"({"declared":{"attributes":{"precision":"fp16"},"config_hash":"cfg-7","type":"inference"},"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{"batch":"8","queue":"3"},"health":"degraded","last_observed_ns":990,"lifecycle":"running","pressure":0.25,"ready":false},"observed_at_ns":1000,"planned":{"attributes":{},"device_id":null,"host_id":"host","placement_hash":"plan-3"},"schema":"velmor-observability/1","sequence":2,"system_id":"lab"})"},
      {"smallest system record", system,
       R"({"declared":null,"entity":{"id":"lab","kind":"system","parent":null},"epoch":1,"extensions":{},"logical_time":0,"observed":null,"observed_at_ns":0,"planned":null,"schema":"velmor-observability/1","sequence":0,"system_id":"lab"})"},
      {"harness fixture", fixtureRecord(),
       R"({"declared":null,"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{},"health":"healthy","last_observed_ns":999,"lifecycle":"running","pressure":0.20000000000000001,"ready":true},"observed_at_ns":1000,"planned":null,"schema":"velmor-observability/1","sequence":2,"system_id":"lab"})"},
  };
  for (const auto& [description, record, expected] : rows) {
    SCOPED_TRACE(description);
    EXPECT_EQ(expected, writeAndReadBack(record));
  }
}

TEST(ObservationDocument, EscapesEveryStringAndNamesUnknownEnumerations) {
  Observation record = fullRecord();
  record.system_id = "l\"ab";
  record.entity = {static_cast<EntityKind>(12), "tr\"ans", "gpu\"0"};
  record.declared = DeclaredState{"a\"b\\c\td", "\n\r\b\f", {{"k\x01", "\x1F"}, {"\"", "\\"}}};
  record.planned = PlannedState{std::string("h\0", 2), "d\x0B", "\x1B", {{"\t", "\n"}}};
  record.observed->lifecycle = static_cast<LifecycleState>(100);
  record.observed->health = static_cast<HealthState>(4);
  record.observed->attributes = {{"q", "\"x\""}};
  record.extensions = {{"ext\\", "\x7F"}};
  record.logical_time = -3;
  EXPECT_EQ(
      R"({"declared":{"attributes":{"\"":"\\","k\u0001":"\u001f"},"config_hash":"\n\r\b\f","type":"a\"b\\c\td"},"entity":{"id":"tr\"ans","kind":"unknown","parent":"gpu\"0"},"epoch":4,"extensions":{"ext\\":")"
      "\x7F"
      R"("},"logical_time":-3,"observed":{"attributes":{"q":"\"x\""},"health":"unknown","last_observed_ns":990,"lifecycle":"unknown","pressure":0.25,"ready":false},"observed_at_ns":1000,"planned":{"attributes":{"\t":"\n"},"device_id":"d\u000b","host_id":"h\u0000","placement_hash":"\u001b"},"schema":"velmor-observability/1","sequence":2,"system_id":"l\"ab"})",
      writeAndReadBack(record));
}

TEST(ObservationDocument, WritesExtremesEmptyStringsAndNegativeZero) {
  Observation record;
  record.system_id = "lab";
  record.epoch = record.sequence = record.observed_at_ns = kMaxU64;
  record.logical_time = kMinI64;
  record.entity = {EntityKind::host, "host", "lab"};
  record.declared = DeclaredState{};
  record.planned = PlannedState{std::nullopt, "", "", {}};
  record.observed = ObservedState{};
  record.observed->pressure = -0.0;
  record.observed->last_observed_ns = kMaxU64;
  EXPECT_EQ(
      R"({"declared":{"attributes":{},"config_hash":"","type":""},"entity":{"id":"host","kind":"host","parent":"lab"},"epoch":18446744073709551615,"extensions":{},"logical_time":-9223372036854775808,"observed":{"attributes":{},"health":"unknown","last_observed_ns":18446744073709551615,"lifecycle":"declared","pressure":-0,"ready":false},"observed_at_ns":18446744073709551615,"planned":{"attributes":{},"device_id":"","host_id":null,"placement_hash":""},"schema":"velmor-observability/1","sequence":18446744073709551615,"system_id":"lab"})",
      writeAndReadBack(record));
}

TEST(ObservationDocument, MapsComeOutInKeyOrderWhateverTheInsertionOrder) {
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"b", "4"}, {"ab", "3"}, {"a", "2"}, {"A", "1"}};
  const auto filled = [](Observation record, auto first, auto last) {
    for (AttributeMap* map : {&record.extensions, &record.declared->attributes,
                              &record.planned->attributes, &record.observed->attributes}) {
      map->clear();
      map->insert(first, last);
    }
    return record;
  };
  const std::string document =
      writeAndReadBack(filled(fullRecord(), entries.begin(), entries.end()));
  EXPECT_EQ(document, writeAndReadBack(filled(fullRecord(), entries.rbegin(), entries.rend())));
  // The strict parser checks the order of every map; this pins one of them literally.
  EXPECT_NE(std::string::npos, document.find(R"("extensions":{"A":"1","a":"2","ab":"3","b":"4"})"));
}

TEST(ObservationDocument, EqualRecordsGiveIdenticalTextAndCopiesAreDeep) {
  const Observation original = fullRecord();
  const std::string document = original.toCanonicalJson();
  EXPECT_EQ(fullRecord(), original);
  EXPECT_EQ(document, fullRecord().toCanonicalJson());
  EXPECT_EQ(document, original.toCanonicalJson());

  Observation copy = original;
  copy.entity.parent->append("x");
  copy.declared->attributes["precision"] = "fp32";
  copy.planned->host_id->append("x");
  copy.observed->attributes.clear();
  copy.extensions["new"] = "entry";
  EXPECT_NE(original, copy);
  EXPECT_EQ(document, original.toCanonicalJson());
  EXPECT_NE(document, writeAndReadBack(copy));
}

}  // namespace
