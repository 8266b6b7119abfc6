// The text writers byte for byte. Their fast paths (16-byte scans, overlapping short loads, whole
// table entries stored near the end of the buffer) are checked against a byte-by-byte reference
// over texts that put every byte at every offset of every block; what is valid UTF-8 is also read
// back by a strict parser that this project did not write.
#include <quillon/monitoring/canonical_json.hpp>
#include <quillon/monitoring/observation.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

#include "strict_json.hpp"

namespace Quillon::Core::Monitoring {
namespace {

// What each byte below 0x20 becomes, written out by hand rather than computed.
constexpr std::array<std::string_view, 32> kControlEscapes = {
    R"(\u0000)", R"(\u0001)", R"(\u0002)", R"(\u0003)", R"(\u0004)", R"(\u0005)", R"(\u0006)",
    R"(\u0007)", R"(\b)",     R"(\t)",     R"(\n)",     R"(\u000b)", R"(\f)",     R"(\r)",
    R"(\u000e)", R"(\u000f)", R"(\u0010)", R"(\u0011)", R"(\u0012)", R"(\u0013)", R"(\u0014)",
    R"(\u0015)", R"(\u0016)", R"(\u0017)", R"(\u0018)", R"(\u0019)", R"(\u001a)", R"(\u001b)",
    R"(\u001c)", R"(\u001d)", R"(\u001e)", R"(\u001f)"};

std::string reference(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      out += kControlEscapes[byte];
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out + "\"";
}

/// Checks a text through jsonString, through a map (the document writers' path) and through the
/// identifier check.
void expectWrittenByTheRules(const std::string& text) {
  ASSERT_EQ(reference(text), jsonString(text)) << "size " << text.size();
  const std::string entry = reference(text);
  ASSERT_EQ("{" + entry + ":" + entry + "}", jsonStringMap({{text, text}}));
  bool valid = !text.empty();
  for (const char c : text)
    valid = valid && static_cast<unsigned char>(c) > 0x20 && c != '/' && c != ':' && c != '\\';
  ASSERT_EQ(valid, isValidIdentifier(text));
}

TEST(JsonString, AgreesWithTheRulesForEveryByteAtEveryOffset) {
  for (unsigned byte = 0; byte < 0x80; ++byte) {
    const std::string text(1, static_cast<char>(byte));
    EXPECT_EQ(text, testing::parseStrict(jsonString(text)).get<std::string>());
  }
  for (std::size_t size = 1; size <= 40; ++size) {
    for (std::size_t at = 0; at < size; ++at) {
      for (unsigned byte = 0; byte <= 0xFF; ++byte) {
        std::string text(size, 'a');
        text[at] = static_cast<char>(byte);
        text[size - 1 - at] = static_cast<char>(byte ^ 0x20);
        expectWrittenByTheRules(text);
      }
    }
  }
  // Dense escapes and long clean runs, where the growth is counted in all sixteen lanes.
  std::mt19937_64 random(5);
  constexpr std::string_view kBytes =
      "\"\\\b\t\n\f\r\x01\x0b\x1f\x7f/ :\xc3\xa9"
      "abcdefgh";
  for (std::size_t size = 0; size <= 300; ++size) {
    for (int trial = 0; trial < 8; ++trial) {
      std::string text(size, 'a');
      for (char& c : text)
        if (random() % (trial + 1) == 0) c = kBytes[random() % kBytes.size()];
      expectWrittenByTheRules(text);
    }
  }
}

TEST(JsonDouble, WritesSeventeenSignificantDigitsAndRefusesNonFiniteValues) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const std::pair<double, std::string_view> rows[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {1.0, "1"},
      {0.5, "0.5"},
      {0.75, "0.75"},
      {0.1, "0.10000000000000001"},
      {0.3, "0.29999999999999999"},
      {0.0001, "0.0001"},
      {0.00012, "0.00012"},
      {0.00001, "1.0000000000000001e-05"},
      {2.98023223876953125e-08, "2.9802322387695312e-08"},  // a tie keeps the even digit
      {1e16, "10000000000000000"},
      {1e17, "1e+17"},
      {-1.5, "-1.5"},
      {std::numeric_limits<double>::denorm_min(), "4.9406564584124654e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {-std::numeric_limits<double>::min(), "-2.2250738585072014e-308"},
      {std::nextafter(1.0, 2.0), "1.0000000000000002"},
      {std::nextafter(1.0, 0.0), "0.99999999999999989"},
      {std::numeric_limits<double>::quiet_NaN(), ""},
      {-std::numeric_limits<double>::quiet_NaN(), ""},
      {std::numeric_limits<double>::signaling_NaN(), ""},
      {kInfinity, ""},
      {-kInfinity, ""},
  };
  for (const auto& [value, expected] : rows) {
    SCOPED_TRACE(expected);
    try {
      const std::string written = jsonDouble(value);
      EXPECT_EQ(expected, written);
      EXPECT_EQ(value, testing::parseStrict(written).get<double>());
    } catch (const std::runtime_error& error) {
      EXPECT_EQ("", expected);
      EXPECT_STREQ("cannot serialize floating-point value", error.what());
    }
  }
}

TEST(JsonStringMap, WritesKeysInAscendingByteOrder) {
  const std::pair<AttributeMap, std::string_view> rows[] = {
      {{}, "{}"},
      {{{"b", "4"}, {"ab", "3"}, {"a", "2"}, {"A", "1"}}, R"({"A":"1","a":"2","ab":"3","b":"4"})"},
      {{{"state", "x"}, {"runtime", "y"}}, R"({"runtime":"y","state":"x"})"},
      {{{"", ""}}, R"({"":""})"},
      {{{"k\"1", "v\\1"}, {std::string("n\0l", 3), "\t\x01"}, {"\xC3\xA9", "\x7F/"}},
       "{\"k\\\"1\":\"v\\\\1\",\"n\\u0000l\":\"\\t\\u0001\",\"\xC3\xA9\":\"\x7F/\"}"},
  };
  for (const auto& [map, expected] : rows) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(expected, jsonStringMap(map));
    EXPECT_EQ(nlohmann::json(map), testing::parseStrict(expected));
  }
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
