// The text writers byte for byte. Every text that is valid UTF-8 is also read back by a strict
// parser that this project did not write, and must give back exactly the value it was made from.
#include <quillon/monitoring/canonical_json.hpp>

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "strict_json.hpp"

namespace {

using Quillon::Core::Monitoring::AttributeMap;
using Quillon::Core::Monitoring::jsonDouble;
using Quillon::Core::Monitoring::jsonString;
using Quillon::Core::Monitoring::jsonStringMap;
using Quillon::Core::Monitoring::testing::parseStrict;

// What each byte below 0x20 becomes, written out by hand rather than computed.
constexpr std::array<std::string_view, 32> kControlEscapes = {
    R"(\u0000)", R"(\u0001)", R"(\u0002)", R"(\u0003)", R"(\u0004)", R"(\u0005)", R"(\u0006)",
    R"(\u0007)", R"(\b)",     R"(\t)",     R"(\n)",     R"(\u000b)", R"(\f)",     R"(\r)",
    R"(\u000e)", R"(\u000f)", R"(\u0010)", R"(\u0011)", R"(\u0012)", R"(\u0013)", R"(\u0014)",
    R"(\u0015)", R"(\u0016)", R"(\u0017)", R"(\u0018)", R"(\u0019)", R"(\u001a)", R"(\u001b)",
    R"(\u001c)", R"(\u001d)", R"(\u001e)", R"(\u001f)"};

// Escapes byte by byte, as the table says; the library's word-at-a-time scan must agree.
std::string referenceString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      out += kControlEscapes[byte];
    } else if (c == '"' || c == '\\') {
      out += {'\\', c};
    } else {
      out += c;
    }
  }
  return out + "\"";
}

TEST(JsonString, EscapesEverySingleByteAsTheTableSays) {
  for (unsigned byte = 0; byte <= 0xFF; ++byte) {
    SCOPED_TRACE("byte " + std::to_string(byte));
    const std::string text(1, static_cast<char>(byte));
    const std::string written = jsonString(text);
    EXPECT_EQ(referenceString(text), written);
    if (byte < 0x80) {
      EXPECT_EQ(text, parseStrict(written).get<std::string>());
    }
  }
}

TEST(JsonString, WritesNamedTextsExactly) {
  struct Row {
    const char* description;
    std::string_view text;
    std::string_view expected;
    bool utf8 = true;
  };
  const std::vector<Row> rows = {
      {"empty", "", R"("")"},
      {"quote, reverse solidus, tab", "\"\\\t", R"("\"\\\t")"},
      {"NUL inside the view", std::string_view("a\0b", 3), R"("a\u0000b")"},
      {"NUL at both ends", std::string_view("\0x\0", 3), R"("\u0000x\u0000")"},
      {"UTF-8 e acute passes", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"invalid UTF-8 passes", "\x80\xFE\xFF", "\"\x80\xFE\xFF\"", false},
      {"no other short escape", "\a\v\x1F", R"("\u0007\u000b\u001f")"},
      {"escapes past a long clean run", "0123456789abcdef\"\n", R"("0123456789abcdef\"\n")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    const std::string written = jsonString(row.text);
    EXPECT_EQ(row.expected, written);
    if (row.utf8) {
      EXPECT_EQ(row.text, parseStrict(written).get<std::string>());
    }
  }
}

// The library scans eight bytes at a time with borrow tricks, so a byte that needs escaping, or
// one that only nearly does, is tried at every offset of a word and next to every other byte.
TEST(JsonString, AgreesWithByteByByteEscapingAtEveryOffset) {
  constexpr std::array<unsigned char, 12> kNearMisses = {0x00, 0x01, 0x1F, 0x20, 0x21, 0x22,
                                                         0x5C, 0x5D, 0x7F, 0x80, 0xA2, 0xFF};
  for (unsigned first = 0; first <= 0xFF; ++first) {
    for (const unsigned char second : kNearMisses) {
      for (std::size_t at = 0; at + 1 < 18; ++at) {
        std::string text(18, 'a');
        text[at] = static_cast<char>(first);
        text[at + 1] = static_cast<char>(second);
        ASSERT_EQ(referenceString(text), jsonString(text))
            << "bytes " << first << "," << unsigned{second} << " at " << at;
      }
    }
  }
}

// Longer texts take other paths: blocks with few escapes are written run by run, those with many
// byte by byte, and text that outgrows the stack buffer is finished in a buffer of its own.
TEST(JsonString, AgreesWithByteByByteEscapingInLongTexts) {
  constexpr std::string_view kEscaped("\0\"\\\b\t\n\f\r\x01\x1F", 10);
  for (const std::size_t size : {100U, 5000U}) {
    for (std::size_t stride = 1; stride <= size; stride = stride == 17 ? size : stride + 1) {
      std::string text;
      for (std::size_t at = 0; at < size; ++at) {
        text.push_back((at + 1) % stride == 0 ? kEscaped[at % kEscaped.size()]
                                              : static_cast<char>('a' + at % 26));
      }
      ASSERT_EQ(referenceString(text), jsonString(text)) << size << " bytes, stride " << stride;
    }
  }
}

TEST(JsonDouble, WritesSeventeenSignificantDigits) {
  struct Row {
    const char* description;
    double value;
    std::string_view expected;
  };
  const std::vector<Row> rows = {
      {"zero", 0.0, "0"},
      {"negative zero", -0.0, "-0"},
      {"one, no decimal point", 1.0, "1"},
      {"half", 0.5, "0.5"},
      {"three quarters", 0.75, "0.75"},
      {"0.1 is not shortest text", 0.1, "0.10000000000000001"},
      {"0.3", 0.3, "0.29999999999999999"},
      {"exponent -4 stays plain", 0.0001, "0.0001"},
      {"0.00012", 0.00012, "0.00012"},
      {"exponent -5 is scientific", 0.00001, "1.0000000000000001e-05"},
      {"tie keeps the even digit", 2.98023223876953125e-08, "2.9802322387695312e-08"},
      {"exponent 16 stays plain", 1e16, "10000000000000000"},
      {"exponent 17 is scientific", 1e17, "1e+17"},
      {"negative", -1.5, "-1.5"},
      {"smallest subnormal", std::numeric_limits<double>::denorm_min(), "4.9406564584124654e-324"},
      {"largest", std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {"longest text", -std::numeric_limits<double>::min(), "-2.2250738585072014e-308"},
      {"just above one", std::nextafter(1.0, 2.0), "1.0000000000000002"},
      {"just below one", std::nextafter(1.0, 0.0), "0.99999999999999989"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    const std::string written = jsonDouble(row.value);
    EXPECT_EQ(row.expected, written);
    const auto parsed = parseStrict(written);
    EXPECT_EQ(row.value, parsed.get<double>());
    // The parser reads "-0" as the integer 0; the sign of zero is checked on the text above.
    if (parsed.is_number_float()) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(row.value),
                std::bit_cast<std::uint64_t>(parsed.get<double>()));
    }
  }
}

TEST(JsonDouble, RefusesNonFiniteValues) {
  const std::vector<double> values = {
      std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::signaling_NaN(), std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity()};
  for (const double value : values) {
    SCOPED_TRACE(std::to_string(value));
    try {
      const std::string written = jsonDouble(value);
      ADD_FAILURE() << "wrote " << written;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ("cannot serialize floating-point value", error.what());
    }
  }
}

TEST(JsonStringMap, WritesKeysInAscendingByteOrder) {
  struct Row {
    const char* description;
    AttributeMap map;
    std::string_view expected;
  };
  const std::vector<Row> rows = {
      {"empty", {}, "{}"},
      {"upper case, prefix, longer key",
       {{"b", "4"}, {"ab", "3"}, {"a", "2"}, {"A", "1"}},
       R"({"A":"1","a":"2","ab":"3","b":"4"})"},
      {"same keys inserted the other way",
       {{"A", "1"}, {"a", "2"}, {"ab", "3"}, {"b", "4"}},
       R"({"A":"1","a":"2","ab":"3","b":"4"})"},
      {"later insertion sorts first",
       {{"state", "x"}, {"runtime", "y"}},
       R"({"runtime":"y","state":"x"})"},
      {"empty key and value", {{"", ""}}, R"({"":""})"},
      {"escapes in keys and values",
       {{"k\"1", "v\\1"}, {std::string("n\0l", 3), "\t\x01"}, {"\xC3\xA9", "\x7F/"}},
       R"({"k\"1":"v\\1","n\u0000l":"\t\u0001",")"
       "\xC3\xA9"
       R"(":")"
       "\x7F"
       R"(/"})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    const std::string written = jsonStringMap(row.map);
    EXPECT_EQ(row.expected, written);
    parseStrict(written);
    EXPECT_EQ(nlohmann::json(row.map), nlohmann::json::parse(written));
  }
}

}  // namespace
