#include <quillon/monitoring/observation.hpp>

#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "byte_scan.hpp"
#include "json_text.hpp"
#include "observation_document.hpp"

namespace Quillon::Core::Monitoring {

std::string_view toString(EntityKind kind) noexcept {
  switch (kind) {
    case EntityKind::system:
      return "system";
    case EntityKind::host:
      return "host";
    case EntityKind::device:
      return "device";
    case EntityKind::engine:
      return "engine";
    case EntityKind::network:
      return "network";
    case EntityKind::module:
      return "module";
    case EntityKind::run:
      return "run";
    case EntityKind::session:
      return "session";
    case EntityKind::artifact:
      return "artifact";
    case EntityKind::tensor:
      return "tensor";
    case EntityKind::trace:
      return "trace";
    case EntityKind::unknown:
      return "unknown";
  }
  return "unknown";
}

std::string_view toString(HealthState health) noexcept {
  switch (health) {
    case HealthState::unknown:
      return "unknown";
    case HealthState::healthy:
      return "healthy";
    case HealthState::degraded:
      return "degraded";
    case HealthState::unhealthy:
      return "unhealthy";
  }
  return "unknown";
}

std::string_view toString(LifecycleState lifecycle) noexcept {
  switch (lifecycle) {
    case LifecycleState::declared:
      return "declared";
    case LifecycleState::provisioning:
      return "provisioning";
    case LifecycleState::ready:
      return "ready";
    case LifecycleState::running:
      return "running";
    case LifecycleState::paused:
      return "paused";
    case LifecycleState::stopping:
      return "stopping";
    case LifecycleState::stopped:
      return "stopped";
    case LifecycleState::failed:
      return "failed";
    case LifecycleState::unknown:
      return "unknown";
  }
  return "unknown";
}

bool isValidIdentifier(std::string_view text) noexcept {
  // Space and control bytes, and the separators that subject keys are built with, are refused.
  return !text.empty() && detail::findFirst<detail::IdentifierBreaks>(detail::bytesOf(text),
                                                                      text.size()) == text.size();
}

std::string EntityIdentity::subjectKey() const {
  const std::string_view kindName = toString(kind);
  std::string key;
  key.reserve(kindName.size() + 1 + (parent ? parent->size() + 1 : 0) + id.size());
  key.append(kindName).push_back(':');
  if (parent) key.append(*parent).push_back('/');
  key.append(id);
  return key;
}

namespace {

/// Whether the rules on the schema and the identifiers are checked, or known to hold: a reader
/// that has already scanned the identifiers need not scan them twice.
enum class Identifiers : bool { check, known_valid };

/// Runs every rule in order and calls `broken(message)` for each one that `record` breaks,
/// whatever the earlier ones found. One list of rules serves both the full report and the plain
/// yes or no that the writers, capture and the reader need.
template <Identifiers Checked, typename Broken>
void checkRules(const Observation& record, Broken broken) {
  constexpr bool kCheck = Checked == Identifiers::check;
  if (kCheck && !detail::sameBytes(record.schema, kObservationSchema)) broken("unsupported schema");
  if (kCheck && !isValidIdentifier(record.system_id)) broken("invalid system_id");
  if (record.epoch == 0) broken("epoch must be non-zero");
  const EntityIdentity& entity = record.entity;
  if (kCheck && !isValidIdentifier(entity.id)) broken("invalid entity id");
  if (kCheck && entity.parent && !isValidIdentifier(*entity.parent)) broken("invalid parent id");
  if (entity.kind != EntityKind::system) {
    if (!entity.parent) broken("non-system entity requires parent");
  } else {
    if (entity.parent) broken("system entity cannot have parent");
    if (entity.id != record.system_id) broken("system entity must match system_id");
  }
  if (const auto& observed = record.observed) {
    const double pressure = observed->pressure;
    if (!std::isfinite(pressure) || pressure < 0.0 || pressure > 1.0) {
      broken("pressure must be finite and in [0,1]");
    }
    if (observed->last_observed_ns > record.observed_at_ns) {
      broken("last_observed cannot be newer than envelope");
    }
  }
}

}  // namespace

bool detail::isValid(const Observation& record) noexcept {
  bool valid = true;
  checkRules<Identifiers::check>(record, [&valid](const char* /*message*/) { valid = false; });
  return valid;
}

bool detail::isValidBeyondIdentifiers(const Observation& record) noexcept {
  bool valid = true;
  checkRules<Identifiers::known_valid>(record,
                                       [&valid](const char* /*message*/) { valid = false; });
  return valid;
}

std::vector<std::string> Observation::validate() const {
  // A valid record never touches the vector, so it allocates nothing.
  std::vector<std::string> messages;
  checkRules<Identifiers::check>(
      *this, [&messages](const char* message) { messages.emplace_back(message); });
  return messages;
}

std::string Observation::toCanonicalJson() const {
  if (!detail::isValid(*this)) throw std::invalid_argument("invalid observation");
  return detail::buildText(
      [this](auto sink) { return detail::emitObservationDocument(sink, *this); });
}

}  // namespace Quillon::Core::Monitoring
