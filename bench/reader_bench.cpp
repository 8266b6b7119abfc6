// The readers side by side with simdjson on-demand, RapidJSON's DOM and nlohmann::json, each
// extracting the same record, and with a deep copy of the finished record; plus the runtime-state
// reader against reading its observation documents alone. Every peer must first give a record
// equal to ours. Each contender is also timed alone, in a plain loop outside any race
// ("readerAlone/..."), so that a ratio can be checked against times taken apart.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <simdjson.h>
#include <nlohmann/json.hpp>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "allocation_count.hpp"
#include "race.hpp"
#include "records.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;

/// Looks a name up in its enumeration's table, as every peer must.
template <typename Enum, std::uint32_t Count>
Enum named(std::string_view name) {
  for (std::uint32_t value = 0; value < Count; ++value) {
    if (qm::toString(static_cast<Enum>(value)) == name) return static_cast<Enum>(value);
  }
  throw std::invalid_argument("name outside its table");
}

/// simdjson on-demand over a buffer padded once, with a reused parser, fields asked for in
/// document order (its fastest lookup).
class SimdjsonReader {
 public:
  explicit SimdjsonReader(std::string_view text) : text_(text) {}

  qm::Observation read() {
    namespace od = simdjson::ondemand;
    qm::Observation record;
    od::document document = parser_.iterate(text_);
    od::object object = document.get_object();
    if (od::value declared = object.find_field("declared"); !declared.is_null()) {
      od::object section = declared.get_object();
      qm::DeclaredState& out = record.declared.emplace();
      readMap(section.find_field("attributes"), out.attributes);
      out.config_hash = std::string_view(section.find_field("config_hash").get_string());
      out.type = std::string_view(section.find_field("type").get_string());
    }
    od::object entity = object.find_field("entity").get_object();
    record.entity.id = std::string_view(entity.find_field("id").get_string());
    record.entity.kind = named<qm::EntityKind, 12>(entity.find_field("kind").get_string());
    if (od::value parent = entity.find_field("parent"); !parent.is_null()) {
      record.entity.parent = std::string_view(parent.get_string());
    }
    record.epoch = object.find_field("epoch").get_uint64();
    readMap(object.find_field("extensions"), record.extensions);
    record.logical_time = object.find_field("logical_time").get_int64();
    if (od::value observed = object.find_field("observed"); !observed.is_null()) {
      od::object section = observed.get_object();
      qm::ObservedState& out = record.observed.emplace();
      readMap(section.find_field("attributes"), out.attributes);
      out.health = named<qm::HealthState, 4>(section.find_field("health").get_string());
      out.last_observed_ns = section.find_field("last_observed_ns").get_uint64();
      out.lifecycle = named<qm::LifecycleState, 9>(section.find_field("lifecycle").get_string());
      out.pressure = section.find_field("pressure").get_double();
      out.ready = section.find_field("ready").get_bool();
    }
    record.observed_at_ns = object.find_field("observed_at_ns").get_uint64();
    if (od::value planned = object.find_field("planned"); !planned.is_null()) {
      od::object section = planned.get_object();
      qm::PlannedState& out = record.planned.emplace();
      readMap(section.find_field("attributes"), out.attributes);
      readOptional(section.find_field("device_id"), out.device_id);
      readOptional(section.find_field("host_id"), out.host_id);
      out.placement_hash = std::string_view(section.find_field("placement_hash").get_string());
    }
    record.schema = std::string_view(object.find_field("schema").get_string());
    record.sequence = object.find_field("sequence").get_uint64();
    record.system_id = std::string_view(object.find_field("system_id").get_string());
    return record;
  }

 private:
  static void readMap(simdjson::ondemand::value value, qm::AttributeMap& map) {
    for (auto field : value.get_object()) {
      map.emplace(std::string_view(field.unescaped_key()),
                  std::string_view(field.value().get_string()));
    }
  }

  static void readOptional(simdjson::ondemand::value value, std::optional<std::string>& out) {
    if (!value.is_null()) out = std::string_view(value.get_string());
  }

  simdjson::padded_string text_;
  simdjson::ondemand::parser parser_;
};

/// The extraction from a parsed DOM, shared by RapidJSON and nlohmann::json through `Dom`, which
/// says how each library answers the same questions.
template <typename Dom, typename Value>
qm::Observation extract(const Value& object) {
  qm::Observation record;
  const auto map = [](const Value& value, qm::AttributeMap& out) {
    Dom::forEachMember(value, [&out](std::string_view key, const Value& member) {
      out.emplace(key, Dom::text(member));
    });
  };
  const auto optional = [](const Value& value, std::optional<std::string>& out) {
    if (!Dom::isNull(value)) out = Dom::text(value);
  };
  if (const Value& declared = Dom::at(object, "declared"); !Dom::isNull(declared)) {
    qm::DeclaredState& out = record.declared.emplace();
    map(Dom::at(declared, "attributes"), out.attributes);
    out.config_hash = Dom::text(Dom::at(declared, "config_hash"));
    out.type = Dom::text(Dom::at(declared, "type"));
  }
  const Value& entity = Dom::at(object, "entity");
  record.entity.id = Dom::text(Dom::at(entity, "id"));
  record.entity.kind = named<qm::EntityKind, 12>(Dom::text(Dom::at(entity, "kind")));
  optional(Dom::at(entity, "parent"), record.entity.parent);
  record.epoch = Dom::unsignedOf(Dom::at(object, "epoch"));
  map(Dom::at(object, "extensions"), record.extensions);
  record.logical_time = Dom::signedOf(Dom::at(object, "logical_time"));
  if (const Value& observed = Dom::at(object, "observed"); !Dom::isNull(observed)) {
    qm::ObservedState& out = record.observed.emplace();
    map(Dom::at(observed, "attributes"), out.attributes);
    out.health = named<qm::HealthState, 4>(Dom::text(Dom::at(observed, "health")));
    out.last_observed_ns = Dom::unsignedOf(Dom::at(observed, "last_observed_ns"));
    out.lifecycle = named<qm::LifecycleState, 9>(Dom::text(Dom::at(observed, "lifecycle")));
    out.pressure = Dom::doubleOf(Dom::at(observed, "pressure"));
    out.ready = Dom::boolOf(Dom::at(observed, "ready"));
  }
  record.observed_at_ns = Dom::unsignedOf(Dom::at(object, "observed_at_ns"));
  if (const Value& planned = Dom::at(object, "planned"); !Dom::isNull(planned)) {
    qm::PlannedState& out = record.planned.emplace();
    map(Dom::at(planned, "attributes"), out.attributes);
    optional(Dom::at(planned, "device_id"), out.device_id);
    optional(Dom::at(planned, "host_id"), out.host_id);
    out.placement_hash = Dom::text(Dom::at(planned, "placement_hash"));
  }
  record.schema = Dom::text(Dom::at(object, "schema"));
  record.sequence = Dom::unsignedOf(Dom::at(object, "sequence"));
  record.system_id = Dom::text(Dom::at(object, "system_id"));
  return record;
}

struct RapidjsonDom {
  using Value = rapidjson::Value;
  static const Value& at(const Value& object, const char* key) {
    const auto member = object.FindMember(key);
    if (member == object.MemberEnd()) throw std::invalid_argument("missing member");
    return member->value;
  }
  static bool isNull(const Value& value) { return value.IsNull(); }
  static std::string_view text(const Value& value) {
    if (!value.IsString()) throw std::invalid_argument("expected string");
    return {value.GetString(), value.GetStringLength()};
  }
  static std::uint64_t unsignedOf(const Value& value) { return value.GetUint64(); }
  static std::int64_t signedOf(const Value& value) { return value.GetInt64(); }
  static double doubleOf(const Value& value) { return value.GetDouble(); }
  static bool boolOf(const Value& value) { return value.GetBool(); }
  template <typename Each>
  static void forEachMember(const Value& object, Each each) {
    for (const auto& member : object.GetObject()) {
      each(text(member.name), member.value);
    }
  }
};

qm::Observation rapidjsonRead(std::string_view text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
  if (document.HasParseError()) throw std::invalid_argument("rapidjson: not JSON");
  return extract<RapidjsonDom>(static_cast<const rapidjson::Value&>(document));
}

struct NlohmannDom {
  using Value = nlohmann::json;
  static const Value& at(const Value& object, const char* key) { return object.at(key); }
  static bool isNull(const Value& value) { return value.is_null(); }
  static std::string_view text(const Value& value) { return value.get_ref<const std::string&>(); }
  static std::uint64_t unsignedOf(const Value& value) { return value.get<std::uint64_t>(); }
  static std::int64_t signedOf(const Value& value) { return value.get<std::int64_t>(); }
  static double doubleOf(const Value& value) { return value.get<double>(); }
  static bool boolOf(const Value& value) { return value.get<bool>(); }
  template <typename Each>
  static void forEachMember(const Value& object, Each each) {
    for (const auto& [key, member] : object.items()) {
      each(key, member);
    }
  }
};

qm::Observation nlohmannRead(std::string_view text) {
  return extract<NlohmannDom>(nlohmann::json::parse(text));
}

/// Aborts the benchmark when a contender reads another record than ours.
bool sameRecord(benchmark::State& state, std::string_view who, const qm::Observation& actual,
                const qm::Observation& expected) {
  if (actual == expected) return true;
  state.SkipWithError((std::string(who) + " reads another record").c_str());
  return false;
}

/// The contenders of one observation document, each a call that reads it.
struct ObservationContenders {
  explicit ObservationContenders(std::string_view document) : text(document), simdjson(document) {}

  std::string text;
  SimdjsonReader simdjson;
  qm::Observation finished = qm::readObservation(text);

  [[nodiscard]] qm::Observation ours() const { return qm::readObservation(text); }
  [[nodiscard]] qm::Observation rapidjson() const { return rapidjsonRead(text); }
  [[nodiscard]] qm::Observation nlohmann() const { return nlohmannRead(text); }
  [[nodiscard]] qm::Observation copy() const { return finished; }
};

void readObservationCase(benchmark::State& state, std::string_view document,
                         const qm::Observation& expected) {
  ObservationContenders with(document);
  if (!sameRecord(state, "ours", with.ours(), expected) ||
      !sameRecord(state, "simdjson", with.simdjson.read(), expected) ||
      !sameRecord(state, "rapidjson", with.rapidjson(), expected) ||
      !sameRecord(state, "nlohmann", with.nlohmann(), expected)) {
    return;
  }
  state.counters["ours_allocs"] = allocationsOf([&] { (void)with.ours(); });
  state.counters["copy_allocs"] = allocationsOf([&] { (void)with.copy(); });
  state.counters["bytes"] = static_cast<double>(document.size());
  Race(state, repeat([&] { benchmark::DoNotOptimize(with.ours()); }))
      .peer("simdjson", repeat([&] { benchmark::DoNotOptimize(with.simdjson.read()); }))
      .peer("rapidjson", repeat([&] { benchmark::DoNotOptimize(with.rapidjson()); }))
      .peer("nlohmann", repeat([&] { benchmark::DoNotOptimize(with.nlohmann()); }))
      .floor("copy", repeat([&] { benchmark::DoNotOptimize(with.copy()); }))
      .run();
}

/// Times one contender alone in the benchmark's own loop.
template <typename Read>
void aloneCase(benchmark::State& state, std::string_view document, Read read) {
  ObservationContenders with(document);
  for (auto _ : state)
    benchmark::DoNotOptimize(read(with));
}

/// A complete runtime-state document of `count` subjects and, apart, their observation documents.
struct SnapshotTexts {
  std::string document;
  std::vector<std::string> observations;
};

SnapshotTexts completeSnapshotTexts(std::size_t count) {
  qm::RuntimeStateSnapshot snapshot;
  snapshot.system_id = "lab";
  snapshot.epoch = 4;
  snapshot.barrier_sequence = 1;
  snapshot.logical_time = 100;
  snapshot.status = qm::SnapshotStatus::complete;
  SnapshotTexts texts;
  for (qm::Observation& observation : engineObservations(count)) {
    texts.observations.push_back(observation.toCanonicalJson());
    std::string id = observation.entity.subjectKey();
    snapshot.subjects.push_back(
        {std::move(id), qm::SubjectStatus::captured, {}, std::move(observation)});
  }
  texts.document = snapshot.toCanonicalJson();
  return texts;
}

void readRuntimeStateCase(benchmark::State& state) {
  const SnapshotTexts texts = completeSnapshotTexts(100);
  const qm::RuntimeStateSnapshot snapshot = qm::readRuntimeState(texts.document);
  if (!qm::isConsistent(snapshot) || snapshot.toCanonicalJson() != texts.document) {
    state.SkipWithError("the runtime-state document does not read back");
    return;
  }
  state.counters["ours_allocs"] =
      allocationsOf([&] { (void)qm::readRuntimeState(texts.document); });
  state.counters["copy_allocs"] = allocationsOf([&] { (void)qm::RuntimeStateSnapshot(snapshot); });
  state.counters["bytes"] = static_cast<double>(texts.document.size());
  Race(state, repeat([&] { benchmark::DoNotOptimize(qm::readRuntimeState(texts.document)); }))
      .floor("documents_alone", repeat([&] {
               for (const std::string& text : texts.observations) {
                 benchmark::DoNotOptimize(qm::readObservation(text));
               }
             }))
      // The same reading keeping every record, as the snapshot keeps every subject: the records
      // alive at once cost allocations that one record freed after each read does not.
      .floor("documents_kept", repeat([&] {
               std::vector<qm::Observation> kept;
               kept.reserve(texts.observations.size());
               for (const std::string& text : texts.observations) {
                 kept.push_back(qm::readObservation(text));
               }
               benchmark::DoNotOptimize(kept.data());
             }))
      .floor("copy", repeat([&] { benchmark::DoNotOptimize(qm::RuntimeStateSnapshot(snapshot)); }))
      .run();
}

}  // namespace

void registerReaderBenchmarks() {
  const auto fixture = [](benchmark::State& state) {
    readObservationCase(state, kFixtureDocument, fixtureObservation());
  };
  benchmark::RegisterBenchmark("readObservation/fixture", fixture);
  benchmark::RegisterBenchmark("readObservation/full", [](benchmark::State& state) {
    readObservationCase(state, kFullDocument, fullObservation());
  });
  benchmark::RegisterBenchmark("readRuntimeState/100subjects", readRuntimeStateCase);

  using Contenders = ObservationContenders;
  const std::pair<const char*, qm::Observation (*)(Contenders&)> alone[] = {
      {"ours", [](Contenders& with) { return with.ours(); }},
      {"simdjson", [](Contenders& with) { return with.simdjson.read(); }},
      {"rapidjson", [](Contenders& with) { return with.rapidjson(); }},
      {"nlohmann", [](Contenders& with) { return with.nlohmann(); }},
      {"copy", [](Contenders& with) { return with.copy(); }},
  };
  for (const auto& [name, read] : alone) {
    benchmark::RegisterBenchmark(
        (std::string("readerAlone/fixture/") + name).c_str(),
        [read = read](benchmark::State& state) { aloneCase(state, kFixtureDocument, read); });
  }
}

}  // namespace Quillon::Bench
