// Comparing a text with an entity's subject key without building the key: capture checks every
// probe's observation by it, and the reader every captured subject.
#ifndef QUILLON_MONITORING_SRC_SUBJECT_KEY_HPP
#define QUILLON_MONITORING_SRC_SUBJECT_KEY_HPP

#include <string_view>

#include <quillon/monitoring/observation.hpp>

#include "byte_scan.hpp"

namespace Quillon::Core::Monitoring::detail {

/// Tells whether `entity`'s subject key equals `key`.
[[nodiscard]] inline bool hasSubjectKey(const EntityIdentity& entity,
                                        std::string_view key) noexcept {
  const auto consume = [&key](std::string_view part, char separator) {
    if (key.size() <= part.size() || key[part.size()] != separator ||
        !sameBytes(key.substr(0, part.size()), part)) {
      return false;
    }
    key.remove_prefix(part.size() + 1);
    return true;
  };
  if (!consume(toString(entity.kind), ':')) return false;
  if (entity.parent && !consume(*entity.parent, '/')) return false;
  return sameBytes(key, entity.id);
}

}  // namespace Quillon::Core::Monitoring::detail

#endif  // QUILLON_MONITORING_SRC_SUBJECT_KEY_HPP
