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

/// Tells whether `text` is well-formed UTF-8 as a strict JSON parser demands it (shortest forms
/// only, no surrogates, nothing above U+10FFFF); the independent parser's serializer decides.
[[nodiscard]] inline bool isUtf8(std::string_view text) {
  try {
    (void)Json(std::string(text)).dump();
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

[[nodiscard]] inline bool isUtf8(const AttributeMap& map) {
  return std::all_of(map.begin(), map.end(),
                     [](const auto& entry) { return isUtf8(entry.first) && isUtf8(entry.second); });
}

/// Tells whether every string that a record's document would carry is well-formed UTF-8.
[[nodiscard]] inline bool isUtf8(const Observation& record) {
  const auto absentOrUtf8 = [](const std::optional<std::string>& text) {
    return !text || isUtf8(*text);
  };
  const DeclaredState declared = record.declared.value_or(DeclaredState{});
  const PlannedState planned = record.planned.value_or(PlannedState{});
  return isUtf8(record.schema) && isUtf8(record.system_id) && isUtf8(record.entity.id) &&
         absentOrUtf8(record.entity.parent) && isUtf8(record.extensions) && isUtf8(declared.type) &&
         isUtf8(declared.config_hash) && isUtf8(declared.attributes) &&
         absentOrUtf8(planned.host_id) && absentOrUtf8(planned.device_id) &&
         isUtf8(planned.placement_hash) && isUtf8(planned.attributes) &&
         (!record.observed || isUtf8(record.observed->attributes));
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
