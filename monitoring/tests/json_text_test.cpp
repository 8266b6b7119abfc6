// The writers' fast paths (16-byte scans of strings and identifiers, 17-digit rounding by integer
// arithmetic) checked against the plain definitions they stand for, over inputs that cross every
// block boundary and every rounding edge.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <ios>
#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include <quillon/monitoring/canonical_json.hpp>
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace {

namespace qm = Quillon::Core::Monitoring;

/// A JSON string by its rules, one byte at a time.
std::string oneByteAtATime(std::string_view text) {
  constexpr std::string_view hex = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const std::string_view shortEscapes = "\"\\\b\t\n\f\r";
    const std::string_view letters = "\"\\btnfr";
    if (const auto at = shortEscapes.find(c); at != std::string_view::npos) {
      out += '\\';
      out += letters[at];
    } else if (byte < 0x20) {
      out += "\\u00";
      out += hex[byte >> 4];
      out += hex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

/// One of four kinds of text: any bytes, clean printable bytes, a byte to escape in every four,
/// or clean bytes with a single byte to escape.
std::string randomText(std::mt19937_64& random, std::size_t size, int kind) {
  constexpr std::string_view kSpecial = "\"\\\b\t\n\f\r\x01\x0b\x1f\x7f/\xc3\xa9";
  std::string text(size, 'a');
  for (std::size_t at = 0; at < size; ++at) {
    const auto draw = random();
    if (kind == 0) text[at] = static_cast<char>(draw);
    if (kind != 0) text[at] = static_cast<char>('#' + draw % 57);
    if (kind == 2 && at % 4 == 3) text[at] = kSpecial[draw % kSpecial.size()];
  }
  if (kind == 3 && size > 0) text[random() % size] = kSpecial[random() % kSpecial.size()];
  return text;
}

std::string toChars17(double value) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17);
  return std::string(text, end.ptr);
}

TEST(JsonText, StringsMatchTheRulesAcrossBlockBoundaries) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string text(1, static_cast<char>(byte));
    ASSERT_EQ(oneByteAtATime(text), qm::jsonString(text)) << "byte " << byte;
  }
  std::mt19937_64 random(5);
  for (std::size_t size = 0; size <= 100; ++size) {
    for (int trial = 0; trial < 40; ++trial) {
      const std::string text = randomText(random, size, trial % 4);
      ASSERT_EQ(oneByteAtATime(text), qm::jsonString(text))
          << "size " << size << " kind " << trial % 4;
    }
  }
}

TEST(JsonText, IdentifierCheckMatchesTheRulesAcrossBlockBoundaries) {
  const auto byRules = [](std::string_view text) {
    return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
      return static_cast<unsigned char>(c) <= 0x20 || c == '/' || c == ':' || c == '\\';
    });
  };
  std::mt19937_64 random(6);
  for (std::size_t size = 0; size <= 40; ++size) {
    for (int trial = 0; trial < 40; ++trial) {
      std::string text = randomText(random, size, 1);
      // A single refused byte anywhere, or none.
      if (size > 0 && trial % 2 == 0) text[random() % size] = "/:\\ \x01\x1f\x10"[random() % 7];
      ASSERT_EQ(byRules(text), qm::isValidIdentifier(text)) << "size " << size << " " << text;
    }
  }
}

TEST(JsonText, EveryNameFitsTheBoundOfTheDocumentWriters) {
  // Documents reserve 17 bytes for a name before looking it up; a longer one would overrun.
  for (std::uint32_t value = 0; value < 256; ++value) {
    SCOPED_TRACE(value);
    EXPECT_LE(qm::toString(static_cast<qm::EntityKind>(value)).size(), 17U);
    EXPECT_LE(qm::toString(static_cast<qm::HealthState>(value)).size(), 17U);
    EXPECT_LE(qm::toString(static_cast<qm::LifecycleState>(value)).size(), 17U);
    EXPECT_LE(qm::toString(static_cast<qm::SnapshotStatus>(value)).size(), 17U);
    EXPECT_LE(qm::toString(static_cast<qm::SubjectStatus>(value)).size(), 17U);
  }
}

TEST(JsonText, DoublesMatchToCharsGeneral17) {
  std::mt19937_64 random(7);
  const auto agrees = [](double value) { return toChars17(value) == qm::jsonDouble(value); };
  // Random bit patterns from 2^-30 to 2^70, either sign: the plain range and past both ends.
  for (int trial = 0; trial < 200'000; ++trial) {
    const std::uint64_t biased = 1023 - 30 + random() % 100;
    const auto value = std::bit_cast<double>(
        biased << 52 | (random() & ((std::uint64_t{1} << 52) - 1)) | (random() & 1) << 63);
    ASSERT_TRUE(agrees(value)) << std::hexfloat << value;
  }
  // Neighbours of every power of ten where the notation or the digit count changes.
  for (int power = -8; power <= 20; ++power) {
    double below = std::pow(10.0, power);
    double above = below;
    for (int step = 0; step < 64; ++step) {
      ASSERT_TRUE(agrees(below)) << std::hexfloat << below;
      ASSERT_TRUE(agrees(above)) << std::hexfloat << above;
      below = std::nextafter(below, 0.0);
      above = std::nextafter(above, 1e300);
    }
  }
  // Exact halves past the 17th digit (1234.00006103515625 is a tie kept even), and pressures.
  for (int trial = 0; trial < 20'000; ++trial) {
    const double whole = static_cast<double>(random() % 100'000'000'000);
    const double tie =
        whole + std::ldexp(static_cast<double>(random() % (1 << 20) | 1), -1 - trial % 60);
    const double pressure = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    ASSERT_TRUE(agrees(tie)) << std::hexfloat << tie;
    ASSERT_TRUE(agrees(pressure)) << std::hexfloat << pressure;
  }
  for (const double value : {0.0, -0.0, 1.0, 0.2, 0.25, 0.1, 1e-4, 1e16, 1e17, 5e-324}) {
    EXPECT_EQ(toChars17(value), qm::jsonDouble(value)) << std::hexfloat << value;
  }
}

}  // namespace
