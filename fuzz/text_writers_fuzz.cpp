// Properties of the three text writers for any bytes: jsonString of the input, jsonStringMap of
// a map cut from it (pieces separated by 0xFF, which never occurs in UTF-8, alternate key and
// value), jsonDouble of every 8-byte group read as a double.
#include <quillon/monitoring/canonical_json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_input.hpp"
#include "properties.hpp"

namespace {

using namespace Quillon::Core::Monitoring;
using namespace Quillon::Core::Monitoring::fuzzing;

/// Requires the shape every writer output shares: delimited, and no raw control byte anywhere;
/// for UTF-8 content, returns the strictly parsed text, else null.
Json checkText(std::string_view text, const char* delimiters, bool utf8, std::string_view what) {
  require(text.size() >= 2 && text.front() == delimiters[0] && text.back() == delimiters[1] &&
              std::none_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
          what, text);
  return utf8 ? parseCanonical(text, what) : Json();
}

void checkDouble(double value) {
  std::string written;
  try {
    written = jsonDouble(value);
  } catch (const std::runtime_error& error) {
    require(!std::isfinite(value) &&
                std::strcmp(error.what(), "cannot serialize floating-point value") == 0,
            "jsonDouble throws the fixed message exactly for a non-finite value", error.what());
    return;
  }
  require(std::isfinite(value), "jsonDouble of a non-finite value throws", written);
  // The fuzz process never leaves the C locale, so printf's decimal point is "."; 17 significant
  // digits read back to the same double, and printf writes them as JSON number text.
  char expected[64];
  const int length = std::snprintf(expected, sizeof expected, "%.17g", value);
  require(length > 0 && written == std::string_view(expected, static_cast<std::size_t>(length)),
          "jsonDouble agrees with snprintf(\"%.17g\")", written + " vs " + expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string written = jsonString(input);
  const Json text =
      checkText(written, "\"\"", isUtf8(input), "jsonString is quoted, strict for UTF-8");
  require(text.is_null() || text.get<std::string>() == input,
          "jsonString of UTF-8 reads back to exactly the input", written);

  AttributeMap map;
  std::string key;
  bool haveKey = false;
  for (std::size_t start = 0, at = 0; at <= input.size(); ++at) {
    if (at != input.size() && input[at] != '\xFF') continue;
    std::string piece(input.substr(start, at - start));
    if (haveKey) map.insert_or_assign(std::move(key), std::move(piece));
    if (!haveKey) key = std::move(piece);
    haveKey = !haveKey;
    start = at + 1;
  }
  const std::string object = jsonStringMap(map);
  const Json parsed = checkText(object, "{}", isUtf8(map), "jsonStringMap is an object");
  auto entry = map.begin();
  for (const auto& [name, value] : parsed.items()) {
    require(entry != map.end() && name == entry->first && value == entry->second,
            "jsonStringMap of UTF-8 reads back entry for entry, in key order", object);
    ++entry;
  }
  require(parsed.is_null() || entry == map.end(), "jsonStringMap has one member per entry", object);

  FuzzInput doubles(data, size);
  for (std::size_t group = 0; group < size / 8; ++group)
    checkDouble(doubles.f64());
  return 0;
}
