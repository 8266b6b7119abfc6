// An independent check of every document the tests produce: a strict parser that this project did
// not write reads it back, and every object's keys must ascend bytewise at every level.
#ifndef QUILLON_MONITORING_TESTS_STRICT_JSON_HPP
#define QUILLON_MONITORING_TESTS_STRICT_JSON_HPP

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string_view>

namespace Quillon::Core::Monitoring::testing {

/// Keeps the document's own member order, so the order can be checked.
using Json = nlohmann::ordered_json;

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
  // nlohmann::json sorts every object's keys as unsigned bytes, which is the canonical order.
  EXPECT_EQ(nlohmann::json::parse(document.begin(), document.end()).dump(), parsed.dump())
      << "keys out of order";
  return parsed;
}

}  // namespace Quillon::Core::Monitoring::testing

#endif  // QUILLON_MONITORING_TESTS_STRICT_JSON_HPP
