// jsonDouble against an independent formatter: C's printf with "%.17g", which writes the same 17
// significant digits and picks plain or scientific notation by the same rule, over random bit
// patterns from a fixed seed and every rounding edge. Then a document under a locale that writes
// a decimal comma: it must not change (scripts/test generates de_DE.UTF-8).
#include <gtest/gtest.h>

#include <quillon/monitoring/canonical_json.hpp>
#include <quillon/monitoring/observation.hpp>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <locale>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "example_records.hpp"

namespace Quillon::Core::Monitoring {
namespace {

std::string printed(double value) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%.17g", value);
  return std::string(text, static_cast<std::size_t>(length));
}

TEST(JsonDoubleDifferential, AgreesWithPrintfOnTwoMillionBitPatternsAndEveryRoundingEdge) {
  std::vector<double> values = {0.0, -0.0, 1.0, 0.1, 1e16, 1e17, 2.98023223876953125e-08};
  values.insert(values.end(), {5e-324, -2.2250738585072014e-308, 1.7976931348623157e308});
  std::mt19937_64 random(0x5EED'0F'D0'0B'1EULL);
  // Every bit random reaches all magnitudes, subnormals and non-finite values; exponents of 2^-64
  // to 2^63 crowd the switch between plain and scientific notation.
  for (int draw = 0; draw < 2'000'000; ++draw) {
    const std::uint64_t bits = random();
    values.push_back(std::bit_cast<double>(
        draw % 2 == 0 ? bits
                      : (bits & ~(0x7FFULL << 52)) | ((bits & (0x7FULL << 52)) + (959ULL << 52))));
  }
  // Neighbours of every power of ten where the notation or the digit count changes.
  for (int power = -8; power <= 20; ++power) {
    double below = std::pow(10.0, power);
    double above = below;
    for (int step = 0; step < 64; ++step) {
      values.push_back(below = std::nextafter(below, 0.0));
      values.push_back(above = std::nextafter(above, 1e300));
    }
  }
  // Exact halves past the 17th digit (1234.00006103515625 is a tie kept even), and pressures.
  for (int trial = 0; trial < 20'000; ++trial) {
    const double whole = static_cast<double>(random() % 100'000'000'000);
    values.push_back(whole +
                     std::ldexp(static_cast<double>(random() % (1 << 20) | 1), -1 - trial % 60));
    values.push_back(std::uniform_real_distribution<double>(0.0, 1.0)(random));
  }
  int mismatches = 0;
  int nonFinite = 0;
  for (const double value : values) {
    if (!std::isfinite(value)) {
      ++nonFinite;
      EXPECT_THROW((void)jsonDouble(value), std::runtime_error);
    } else if (jsonDouble(value) != printed(value) && ++mismatches <= 5) {
      ADD_FAILURE() << "bits " << std::bit_cast<std::uint64_t>(value) << ": jsonDouble "
                    << jsonDouble(value) << ", printf " << printed(value);
    }
  }
  EXPECT_EQ(0, mismatches);
  EXPECT_GT(nonFinite, 0) << "no non-finite pattern drawn";
}

TEST(Locale, DocumentsIgnoreADecimalCommaLocale) {
  std::optional<std::locale> german;
  try {
    german = std::locale("de_DE.UTF-8");
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/test generates it)";
  }
  const std::string document = testing::engineExample().toCanonicalJson();

  // Setting the global C++ locale sets the C locale too.
  const std::locale previous = std::locale::global(*german);
  EXPECT_EQ("0,5", printed(0.5)) << "the C locale does not write a decimal comma";
  EXPECT_EQ(document, testing::engineExample().toCanonicalJson());
  std::locale::global(previous);
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
