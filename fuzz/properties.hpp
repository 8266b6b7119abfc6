// What the fuzz targets check, and how a broken property is reported: a message on standard error
// and abort(), which libFuzzer records as a crash with the input that caused it, and which fails
// the replay test in an ordinary build.
#ifndef QUILLON_FUZZ_PROPERTIES_HPP
#define QUILLON_FUZZ_PROPERTIES_HPP

#include <quillon/monitoring/observation.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace Quillon::Core::Monitoring::fuzzing {

/// Keeps each object's members in document order, so their order can be checked.
using Json = nlohmann::ordered_json;

[[noreturn]] inline void fail(std::string_view property, std::string_view detail = {}) {
  // Long documents are cut: the saved input reproduces them anyway.
  std::fprintf(stderr, "property broken: %.*s\n%.*s\n", static_cast<int>(property.size()),
               property.data(), static_cast<int>(std::min<std::size_t>(detail.size(), 2000)),
               detail.data());
  std::abort();
}

inline void require(bool holds, std::string_view property, std::string_view detail = {}) {
  if (!holds) fail(property, detail);
}

/// Tells whether every string in `value` (object keys included) is well-formed UTF-8 as a strict
/// JSON parser demands it (shortest forms only, no surrogates, nothing above U+10FFFF); the
/// independent parser's serializer decides.
[[nodiscard]] inline bool isUtf8(const Json& value) {
  try {
    (void)value.dump();
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

/// Tells whether every string that a record's document would carry is well-formed UTF-8.
[[nodiscard]] inline bool isUtf8(const Observation& record) {
  const DeclaredState declared = record.declared.value_or(DeclaredState{});
  const PlannedState planned = record.planned.value_or(PlannedState{});
  return isUtf8(Json::array(
      {record.schema, record.system_id, record.entity.id, record.entity.parent.value_or(""),
       record.extensions, declared.type, declared.config_hash, declared.attributes,
       planned.host_id.value_or(""), planned.device_id.value_or(""), planned.placement_hash,
       planned.attributes, record.observed.value_or(ObservedState{}).attributes}));
}

/// Parses `document` with a strict parser (no comments, no NaN, valid UTF-8 only) and requires
/// that keys ascend at every level; breaks the property otherwise.
inline Json parseCanonical(std::string_view document, std::string_view what) {
  Json parsed;
  try {
    parsed = Json::parse(document.begin(), document.end());
  } catch (const Json::parse_error& error) {
    fail(what, std::string(error.what()) + "\n" + std::string(document));
  }
  // nlohmann::json sorts every object's keys as unsigned bytes, which is the canonical order.
  require(nlohmann::json::parse(document.begin(), document.end()).dump() == parsed.dump(), what,
          document);
  return parsed;
}

}  // namespace Quillon::Core::Monitoring::fuzzing

#endif  // QUILLON_FUZZ_PROPERTIES_HPP
