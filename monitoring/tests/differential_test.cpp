// jsonDouble against an independent formatter: C's printf with "%.17g" in the C locale, which
// writes the same 17 significant digits and picks plain or scientific notation by the same rule.
// The patterns come from a fixed seed, so a failure reproduces.
#include <gtest/gtest.h>

#include <quillon/monitoring/canonical_json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

namespace {

using namespace Quillon::Core::Monitoring;

double fromBits(std::uint64_t bits) {
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

TEST(JsonDoubleDifferential, AgreesWithPrintfOnTwoMillionBitPatterns) {
  struct Row {
    const char* description;
    std::uint64_t exponentMask;
    std::uint64_t exponentBase;
  };
  // Every bit random reaches all magnitudes, subnormals and non-finite values; a narrow exponent
  // band around 1 crowds the switch between plain and scientific notation.
  const Row rows[] = {
      {"every bit random", 0, 0},
      {"exponents of 2^-64 to 2^63", 0x7FULL << 52, 959ULL << 52},
  };
  std::mt19937_64 random(0x5EED'0F'D0'0B'1EULL);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    int mismatches = 0;
    int nonFinite = 0;
    for (int draw = 0; draw < 1'000'000 && mismatches < 5; ++draw) {
      std::uint64_t bits = random();
      if (row.exponentMask != 0)
        bits = (bits & ~(0x7FFULL << 52)) | ((bits & row.exponentMask) + row.exponentBase);
      const double value = fromBits(bits);
      if (!std::isfinite(value)) {
        ++nonFinite;
        EXPECT_THROW((void)jsonDouble(value), std::runtime_error);
        continue;
      }
      char expected[64];
      const int length = std::snprintf(expected, sizeof expected, "%.17g", value);
      const std::string written = jsonDouble(value);
      if (written != std::string(expected, static_cast<std::size_t>(length))) {
        ++mismatches;
        ADD_FAILURE() << "bits " << std::hex << bits << ": jsonDouble " << written << ", printf "
                      << expected;
      }
    }
    if (row.exponentMask == 0) {
      EXPECT_GT(nonFinite, 0) << "no non-finite pattern drawn";
    }
  }
}

}  // namespace
