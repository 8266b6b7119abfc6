// Properties of the text writers for any bytes: jsonString of the input, and jsonDouble of every
// 8-byte group read as a double. Maps go through the same string writer, which canonical_json_test
// checks entry by entry, and through the documents of observation_test.
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
  require(written.size() >= 2 && written.front() == '"' && written.back() == '"' &&
              std::none_of(written.begin(), written.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
          "jsonString is quoted, with no raw control byte", written);
  require(
      !isUtf8(input) ||
          parseCanonical(written, "jsonString of UTF-8 is strict JSON").get<std::string>() == input,
      "jsonString of UTF-8 reads back to exactly the input", written);

  FuzzInput doubles(data, size);
  for (std::size_t group = 0; group < size / 8; ++group)
    checkDouble(doubles.f64());
  return 0;
}
