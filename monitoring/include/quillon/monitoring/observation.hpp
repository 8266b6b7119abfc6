// The observation record: what the library knows about one monitored entity of one system at one
// moment, with its fixed vocabularies and its validation.
//
// Guarantees: every enumeration value, inside its table or not, has a lower-case name; validation
// never throws on any record content and reports every broken rule in a fixed order; a record is
// written as a document only when it is valid, and equal records give byte-identical documents.
#ifndef QUILLON_MONITORING_OBSERVATION_HPP
#define QUILLON_MONITORING_OBSERVATION_HPP

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Quillon::Core::Monitoring {

/// Names the observation document format; the default `schema` of a record and the only valid one.
inline constexpr std::string_view kObservationSchema = "velmor-observability/1";

/// Free-form string properties, iterated in ascending byte order of their keys ("A" < "a" < "ab").
using AttributeMap = std::map<std::string, std::string>;

/// What sort of entity a record describes. Only `system` has rules of its own.
enum class EntityKind : std::uint32_t {
  system = 0,
  host = 1,
  device = 2,
  engine = 3,
  network = 4,
  module = 5,
  run = 6,
  session = 7,
  artifact = 8,
  tensor = 9,
  trace = 10,
  unknown = 11,
};

/// Observed health of an entity.
enum class HealthState : std::uint32_t {
  unknown = 0,
  healthy = 1,
  degraded = 2,
  unhealthy = 3,
};

/// Observed lifecycle stage of an entity.
enum class LifecycleState : std::uint32_t {
  declared = 0,
  provisioning = 1,
  ready = 2,
  running = 3,
  paused = 4,
  stopping = 5,
  stopped = 6,
  failed = 7,
  unknown = 8,
};

/// Returns the lower-case name of `kind` as static text; a value outside the table is "unknown".
/// Never allocates, never fails. Example: toString(EntityKind::engine) == "engine"
[[nodiscard]] std::string_view toString(EntityKind kind) noexcept;

/// Returns the lower-case name of `health` as static text; a value outside the table is "unknown".
[[nodiscard]] std::string_view toString(HealthState health) noexcept;

/// Returns the lower-case name of `lifecycle` as static text; a value outside the table is
/// "unknown".
[[nodiscard]] std::string_view toString(LifecycleState lifecycle) noexcept;

/// Tells whether `text` is an identifier token: non-empty, every byte above 0x20 and none of
/// "/", ":" or "\". Bytes 0x7F to 0xFF pass; there is no length limit. Pure, never allocates.
[[nodiscard]] bool isValidIdentifier(std::string_view text) noexcept;

/// Who an observed entity is, and where it sits in the containment tree.
struct EntityIdentity {
  EntityKind kind = EntityKind::system;
  std::string id;
  /// Id of the containing entity: present for every kind but `system` in a valid record.
  std::optional<std::string> parent;

  /// Returns the subject key: kind name, ":", the parent and "/" when there is one, then the id;
  /// nothing is escaped. Example: "engine:gpu-0/transformer", or "system:lab" without parent.
  [[nodiscard]] std::string subjectKey() const;

  friend bool operator==(const EntityIdentity&, const EntityIdentity&) = default;
};

/// What was declared for an entity.
struct DeclaredState {
  std::string type;
  std::string config_hash;
  AttributeMap attributes;

  friend bool operator==(const DeclaredState&, const DeclaredState&) = default;
};

/// Where an entity is planned to be placed.
struct PlannedState {
  std::optional<std::string> host_id;
  std::optional<std::string> device_id;
  std::string placement_hash;
  AttributeMap attributes;

  friend bool operator==(const PlannedState&, const PlannedState&) = default;
};

/// What was last observed about an entity.
struct ObservedState {
  LifecycleState lifecycle = LifecycleState::declared;
  HealthState health = HealthState::unknown;
  bool ready = false;
  /// Load as a fraction; a valid record holds a finite value within [0, 1].
  double pressure = 0.0;
  /// Not later than the record's `observed_at_ns` in a valid record (same time base).
  std::uint64_t last_observed_ns = 0;
  AttributeMap attributes;

  friend bool operator==(const ObservedState&, const ObservedState&) = default;
};

/// One monitored entity of one system at one moment. A plain value: copies are deep.
struct Observation {
  std::string schema{kObservationSchema};
  std::string system_id;
  std::uint64_t epoch = 0;
  std::uint64_t sequence = 0;
  std::int64_t logical_time = 0;
  std::uint64_t observed_at_ns = 0;
  EntityIdentity entity;
  std::optional<DeclaredState> declared;
  std::optional<PlannedState> planned;
  std::optional<ObservedState> observed;
  AttributeMap extensions;

  /// Returns one message per broken rule, in rule order; empty exactly when the record is valid.
  /// Never throws on any content (only std::bad_alloc while listing messages); a valid record
  /// allocates nothing. Example: a default record gives "invalid system_id",
  /// "epoch must be non-zero", "invalid entity id".
  [[nodiscard]] std::vector<std::string> validate() const;

  /// Returns the canonical JSON document of the record: one line, keys ascending at every level,
  /// absent parts as null. Throws std::invalid_argument("invalid observation") when validate()
  /// reports anything; no partial text ever escapes. Pure; safe from any thread.
  [[nodiscard]] std::string toCanonicalJson() const;

  friend bool operator==(const Observation&, const Observation&) = default;
};

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_OBSERVATION_HPP
