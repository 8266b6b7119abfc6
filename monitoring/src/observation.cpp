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

std::vector<std::string> Observation::validate() const {
  // Every rule runs whatever the earlier ones found, so the report names every broken rule. A
  // valid record never touches the vector, so it allocates nothing.
  std::vector<std::string> messages;
  if (schema != kObservationSchema) messages.emplace_back("unsupported schema");
  if (!isValidIdentifier(system_id)) messages.emplace_back("invalid system_id");
  if (epoch == 0) messages.emplace_back("epoch must be non-zero");
  if (!isValidIdentifier(entity.id)) messages.emplace_back("invalid entity id");
  if (entity.parent && !isValidIdentifier(*entity.parent)) {
    messages.emplace_back("invalid parent id");
  }
  if (entity.kind != EntityKind::system) {
    if (!entity.parent) messages.emplace_back("non-system entity requires parent");
  } else {
    if (entity.parent) messages.emplace_back("system entity cannot have parent");
    if (entity.id != system_id) messages.emplace_back("system entity must match system_id");
  }
  if (observed) {
    const double pressure = observed->pressure;
    if (!std::isfinite(pressure) || pressure < 0.0 || pressure > 1.0) {
      messages.emplace_back("pressure must be finite and in [0,1]");
    }
    if (observed->last_observed_ns > observed_at_ns) {
      messages.emplace_back("last_observed cannot be newer than envelope");
    }
  }
  return messages;
}

std::string Observation::toCanonicalJson() const {
  if (!validate().empty()) throw std::invalid_argument("invalid observation");
  return detail::buildText(
      [this](auto sink) { return detail::emitObservationDocument(sink, *this); });
}

}  // namespace Quillon::Core::Monitoring
