// What the fuzz targets check, and how a broken property is reported: a message on standard error
// and abort(), which libFuzzer records as a crash with the input that caused it, and which fails
// the replay test in an ordinary build.
#ifndef QUILLON_FUZZ_PROPERTIES_HPP
#define QUILLON_FUZZ_PROPERTIES_HPP

#include <quillon/monitoring/observation.hpp>

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
  std::fprintf(stderr, "property broken: %.*s\n", static_cast<int>(property.size()),
               property.data());
  if (!detail.empty()) {
    // Long documents are cut: the saved input reproduces them anyway.
    const std::size_t shown = detail.size() < 2000 ? detail.size() : 2000;
    std::fprintf(stderr, "%.*s\n", static_cast<int>(shown), detail.data());
  }
  std::abort();
}

inline void require(bool holds, std::string_view property, std::string_view detail = {}) {
  if (!holds) fail(property, detail);
}

/// Tells whether `text` is well-formed UTF-8 as a strict JSON parser demands it: shortest forms
/// only, no surrogate code points, nothing above U+10FFFF.
[[nodiscard]] inline bool isUtf8(std::string_view text) noexcept {
  std::size_t at = 0;
  const auto byte = [&text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  while (at < text.size()) {
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      ++at;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong below U+10000
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (text.size() - at < length) return false;
    if (byte(at + 1) < low || byte(at + 1) > high) return false;
    for (std::size_t next = 2; next < length; ++next) {
      if (byte(at + next) < 0x80 || byte(at + next) > 0xBF) return false;
    }
    at += length;
  }
  return true;
}

[[nodiscard]] inline bool absentOrUtf8(const std::optional<std::string>& text) noexcept {
  return !text || isUtf8(*text);
}

[[nodiscard]] inline bool isUtf8(const AttributeMap& map) noexcept {
  for (const auto& [key, value] : map) {
    if (!isUtf8(key) || !isUtf8(value)) return false;
  }
  return true;
}

/// Tells whether every string that a record's document would carry is well-formed UTF-8.
[[nodiscard]] inline bool isUtf8(const Observation& record) noexcept {
  if (!isUtf8(record.schema) || !isUtf8(record.system_id) || !isUtf8(record.entity.id) ||
      !absentOrUtf8(record.entity.parent) || !isUtf8(record.extensions)) {
    return false;
  }
  if (const auto& declared = record.declared) {
    if (!isUtf8(declared->type) || !isUtf8(declared->config_hash) ||
        !isUtf8(declared->attributes)) {
      return false;
    }
  }
  if (const auto& planned = record.planned) {
    if (!absentOrUtf8(planned->host_id) || !absentOrUtf8(planned->device_id) ||
        !isUtf8(planned->placement_hash) || !isUtf8(planned->attributes)) {
      return false;
    }
  }
  return !record.observed || isUtf8(record.observed->attributes);
}

/// Tells whether every object's keys ascend bytewise, at every level of nesting.
[[nodiscard]] inline bool keysAscend(const Json& value) {
  if (value.is_object()) {
    const std::string* previous = nullptr;
    for (const auto& [key, member] : value.items()) {
      // std::string compares as unsigned bytes, which is the canonical order.
      if (previous != nullptr && !(*previous < key)) return false;
      previous = &key;
      if (!keysAscend(member)) return false;
    }
  } else if (value.is_array()) {
    for (const Json& element : value) {
      if (!keysAscend(element)) return false;
    }
  }
  return true;
}

/// Parses `document` with a strict parser (no comments, no NaN, valid UTF-8 only) and requires
/// that keys ascend at every level; breaks the property otherwise.
inline Json parseCanonical(std::string_view document, std::string_view what) {
  Json parsed;
  try {
    parsed = Json::parse(document.begin(), document.end(), nullptr, /*allow_exceptions=*/true,
                         /*ignore_comments=*/false);
  } catch (const Json::parse_error& error) {
    fail(what, std::string(error.what()) + "\n" + std::string(document));
  }
  require(keysAscend(parsed), what, document);
  return parsed;
}

}  // namespace Quillon::Core::Monitoring::fuzzing

#endif  // QUILLON_FUZZ_PROPERTIES_HPP
