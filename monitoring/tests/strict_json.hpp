// An independent check of every document the tests produce: a strict parser that this project did
// not write reads it back, and every object's keys must ascend bytewise at every level.
#ifndef QUILLON_MONITORING_TESTS_STRICT_JSON_HPP
#define QUILLON_MONITORING_TESTS_STRICT_JSON_HPP

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace Quillon::Core::Monitoring::testing {

/// Keeps the document's own member order, so the order can be checked.
using Json = nlohmann::ordered_json;

inline void expectKeysAscend(const Json& value, const std::string& path) {
  if (value.is_object()) {
    const std::string* previous = nullptr;
    for (const auto& [key, member] : value.items()) {
      if (previous != nullptr) {
        // std::string compares as unsigned bytes, which is the canonical order.
        EXPECT_LT(*previous, key) << "keys out of order in " << path;
      }
      previous = &key;
      expectKeysAscend(member, path + "." + key);
    }
  } else if (value.is_array()) {
    for (std::size_t at = 0; at < value.size(); ++at) {
      expectKeysAscend(value[at], path + "[" + std::to_string(at) + "]");
    }
  }
}

/// Parses `document` strictly (no NaN, no comments, no trailing commas, valid UTF-8 only) and
/// checks key order; a document that does not parse fails the test and yields null.
inline Json parseStrict(std::string_view document) {
  Json parsed;
  try {
    parsed = Json::parse(document.begin(), document.end(), nullptr, /*allow_exceptions=*/true,
                         /*ignore_comments=*/false);
  } catch (const Json::parse_error& error) {
    ADD_FAILURE() << "not strict JSON: " << error.what() << "\n" << document;
    return Json();
  }
  expectKeysAscend(parsed, "$");
  return parsed;
}

}  // namespace Quillon::Core::Monitoring::testing

#endif  // QUILLON_MONITORING_TESTS_STRICT_JSON_HPP
