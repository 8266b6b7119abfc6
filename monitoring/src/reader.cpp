#include <quillon/monitoring/reader.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <quillon/monitoring/canonical_json.hpp>

#include "byte_scan.hpp"
#include "observation_document.hpp"
#include "subject_key.hpp"

namespace Quillon::Core::Monitoring {
namespace {

std::string errorMessage(std::size_t offset, const std::string& reason) {
  std::string message = "invalid document at byte ";
  message += std::to_string(offset);
  message += ": ";
  message += reason;
  return message;
}

/// Quotes a member name for a message; a long name is cut, so that a hostile key cannot make the
/// message as long as the document.
std::string quoted(std::string_view name) {
  constexpr std::size_t kShown = 64;
  if (name.size() <= kShown) return jsonString(name);
  std::string text = jsonString(name.substr(0, kShown));
  text.insert(text.size() - 1, "...");
  return text;
}

/// The members of one object in canonical order, each as it stands in a canonical text: the
/// quoted key and the colon. A canonical text is recognised by comparing these bytes alone.
template <std::size_t Count>
using Members = std::array<std::string_view, Count>;

constexpr std::string_view nameOf(std::string_view member) noexcept {
  return member.substr(1, member.size() - 3);
}

enum class ObservationMember : std::uint8_t {
  declared,
  entity,
  epoch,
  extensions,
  logical_time,
  observed,
  observed_at_ns,
  planned,
  schema,
  sequence,
  system_id,
};
constexpr Members<11> kObservationMembers = {
    R"("declared":)",     R"("entity":)",   R"("epoch":)",          R"("extensions":)",
    R"("logical_time":)", R"("observed":)", R"("observed_at_ns":)", R"("planned":)",
    R"("schema":)",       R"("sequence":)", R"("system_id":)"};

enum class EntityMember : std::uint8_t { id, kind, parent };
constexpr Members<3> kEntityMembers = {R"("id":)", R"("kind":)", R"("parent":)"};

enum class DeclaredMember : std::uint8_t { attributes, config_hash, type };
constexpr Members<3> kDeclaredMembers = {R"("attributes":)", R"("config_hash":)", R"("type":)"};

enum class ObservedMember : std::uint8_t {
  attributes,
  health,
  last_observed_ns,
  lifecycle,
  pressure,
  ready,
};
constexpr Members<6> kObservedMembers = {R"("attributes":)",       R"("health":)",
                                         R"("last_observed_ns":)", R"("lifecycle":)",
                                         R"("pressure":)",         R"("ready":)"};

enum class PlannedMember : std::uint8_t { attributes, device_id, host_id, placement_hash };
constexpr Members<4> kPlannedMembers = {R"("attributes":)", R"("device_id":)", R"("host_id":)",
                                        R"("placement_hash":)"};

enum class SubjectMember : std::uint8_t { diagnostic, id, observation, status };
constexpr Members<4> kSubjectMembers = {R"("diagnostic":)", R"("id":)", R"("observation":)",
                                        R"("status":)"};

enum class SnapshotMember : std::uint8_t {
  barrier_sequence,
  captured_at_ns,
  deadline_ns,
  epoch,
  logical_time,
  schema,
  status,
  subjects,
  system_id,
};
constexpr Members<9> kSnapshotMembers = {
    R"("barrier_sequence":)", R"("captured_at_ns":)", R"("deadline_ns":)", R"("epoch":)",
    R"("logical_time":)",     R"("schema":)",         R"("status":)",      R"("subjects":)",
    R"("system_id":)"};

/// The names of each enumeration, indexed by value: a name reads back only from its table.
/// reader_test reads every value's toString back through them.
constexpr std::array<std::string_view, 12> kKindNames = {"system",   "host",   "device", "engine",
                                                         "network",  "module", "run",    "session",
                                                         "artifact", "tensor", "trace",  "unknown"};
constexpr std::array<std::string_view, 4> kHealthNames = {"unknown", "healthy", "degraded",
                                                          "unhealthy"};
constexpr std::array<std::string_view, 9> kLifecycleNames = {"declared", "provisioning", "ready",
                                                             "running",  "paused",       "stopping",
                                                             "stopped",  "failed",       "unknown"};
constexpr std::array<std::string_view, 6> kSubjectStatusNames = {
    "captured", "missing", "unsupported", "stale_epoch", "deadline_exceeded", "invalid"};
constexpr std::array<std::string_view, 2> kSnapshotStatusNames = {"complete", "partial"};

/// Where the canonical reading looks a name up: a slot fixed by the name's size and its first and
/// last bytes, which no two names of one table share, holds the name's value plus one (0: none).
constexpr std::size_t kNameSlots = 32;

[[gnu::always_inline]] constexpr std::size_t nameSlot(std::string_view name) noexcept {
  return (2 * name.size() + static_cast<unsigned char>(name.front()) +
          static_cast<unsigned char>(name.back())) %
         kNameSlots;
}

template <const auto& Names>
constexpr std::array<std::uint8_t, kNameSlots> kNameSlotsOf = [] {
  std::array<std::uint8_t, kNameSlots> slots{};
  for (std::size_t value = 0; value < Names.size(); ++value) {
    std::uint8_t& slot = slots[nameSlot(Names[value])];
    // Two names in one slot make this table fail to compile.
    slot = slot == 0 ? static_cast<std::uint8_t>(value + 1) : throw "names share a slot";
  }
  return slots;
}();

constexpr bool isSpace(char byte) noexcept {
  return byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t';
}

constexpr bool isDigit(char byte) noexcept {
  return byte >= '0' && byte <= '9';
}

/// The value of a hexadecimal digit, or 16 for any other byte.
constexpr unsigned hexValue(char byte) noexcept {
  if (byte >= '0' && byte <= '9') return static_cast<unsigned>(byte - '0');
  const auto lower = static_cast<char>(byte | 0x20);
  if (lower >= 'a' && lower <= 'f') return static_cast<unsigned>(lower - 'a' + 10);
  return 16;
}

constexpr std::size_t utf8Size(std::uint32_t codePoint) noexcept {
  if (codePoint < 0x80) return 1;
  if (codePoint < 0x800) return 2;
  return codePoint < 0x10000 ? 3 : 4;
}

char* writeUtf8(char* out, std::uint32_t codePoint) noexcept {
  const auto byte = [](std::uint32_t value) { return static_cast<char>(value); };
  if (codePoint < 0x80) {
    *out++ = byte(codePoint);
  } else if (codePoint < 0x800) {
    *out++ = byte(0xC0 | codePoint >> 6);
    *out++ = byte(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    *out++ = byte(0xE0 | codePoint >> 12);
    *out++ = byte(0x80 | (codePoint >> 6 & 0x3F));
    *out++ = byte(0x80 | (codePoint & 0x3F));
  } else {
    *out++ = byte(0xF0 | codePoint >> 18);
    *out++ = byte(0x80 | (codePoint >> 12 & 0x3F));
    *out++ = byte(0x80 | (codePoint >> 6 & 0x3F));
    *out++ = byte(0x80 | (codePoint & 0x3F));
  }
  return out;
}

/// GCC and Clang have a 128-bit integer on the 64-bit targets this library builds for;
/// __extension__ marks it as theirs, which -Wpedantic accepts.
__extension__ using Wide = unsigned __int128;

/// The powers of five below 2^63 and the powers of ten that a double holds exactly.
constexpr std::size_t kLargestFivePower = 27;
constexpr std::array<std::uint64_t, kLargestFivePower + 1> kPowersOfFive = [] {
  std::array<std::uint64_t, kLargestFivePower + 1> powers{};
  powers[0] = 1;
  for (std::size_t power = 1; power < powers.size(); ++power)
    powers[power] = powers[power - 1] * 5;
  return powers;
}();
constexpr std::array<double, 23> kExactPowersOfTen = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

/// Rounds `value` (not zero) times 2^`exponent` to the nearest double, ties to even; `sticky`
/// says that bits below `value`, not all zero, were dropped. Fails when the result would not be
/// a normal finite double.
bool roundToDouble(Wide value, bool sticky, int exponent, double& out) noexcept {
  constexpr int kMantissaBits = 53;
  const auto high = static_cast<std::uint64_t>(value >> 64);
  const int width = high != 0 ? 128 - std::countl_zero(high)
                              : 64 - std::countl_zero(static_cast<std::uint64_t>(value));
  std::uint64_t mantissa = 0;
  if (width <= kMantissaBits) {
    if (sticky) return false;
    mantissa = static_cast<std::uint64_t>(value) << (kMantissaBits - width);
    exponent -= kMantissaBits - width;
  } else {
    const int shift = width - kMantissaBits;
    const Wide dropped = value & ((Wide{1} << shift) - 1);
    const Wide half = Wide{1} << (shift - 1);
    mantissa = static_cast<std::uint64_t>(value >> shift);
    exponent += shift;
    if (dropped > half || (dropped == half && (sticky || (mantissa & 1U) != 0))) ++mantissa;
    if (mantissa >> kMantissaBits != 0) {
      mantissa >>= 1;
      ++exponent;
    }
  }
  constexpr int kBias = 1023 + kMantissaBits - 1;
  const int biased = exponent + kBias;
  if (biased < 1 || biased > 2046) return false;
  constexpr std::uint64_t kFraction = (std::uint64_t{1} << (kMantissaBits - 1)) - 1;
  out = std::bit_cast<double>(static_cast<std::uint64_t>(biased) << (kMantissaBits - 1) |
                              (mantissa & kFraction));
  return true;
}

/// Tells how `digits` / 10^`power` compares with the midpoint between the positive normal double
/// of bit pattern `bits` and the next double up: below (-1), equal (0) or above (1). Both sides
/// are scaled to integers below 2^118 for the 19 digits and powers up to 22 used here.
int compareWithMidpoint(std::uint64_t digits, int power, std::uint64_t bits) noexcept {
  constexpr int kFractionBits = 52;
  const std::uint64_t mantissa =
      (bits & ((std::uint64_t{1} << kFractionBits) - 1)) | std::uint64_t{1} << kFractionBits;
  const int exponent = static_cast<int>(bits >> kFractionBits) - 1075;
  // digits / (5^power 2^power) against (2 mantissa + 1) 2^(exponent - 1).
  Wide exact = digits;
  Wide midpoint = Wide{2 * mantissa + 1} * kPowersOfFive[static_cast<std::size_t>(power)];
  const int shift = exponent - 1 + power;
  if (shift >= 0) {
    midpoint <<= shift;
  } else {
    exact <<= -shift;
  }
  return exact < midpoint ? -1 : static_cast<int>(exact > midpoint);
}

/// Gives the double nearest to `digits` / 10^`power`, ties to even, for digits above 2^53 and a
/// power from 1 to 22: the quotient in doubles is within a few units in the last place, and exact
/// comparisons with the midpoints around it step to the right one.
double nearestQuotient(std::uint64_t digits, int power) noexcept {
  auto bits = std::bit_cast<std::uint64_t>(static_cast<double>(digits) /
                                           kExactPowersOfTen[static_cast<std::size_t>(power)]);
  for (;;) {
    const int above = compareWithMidpoint(digits, power, bits);
    if (above < 0 || (above == 0 && (bits & 1U) == 0)) break;
    ++bits;
  }
  for (;;) {
    const int below = compareWithMidpoint(digits, power, bits - 1);
    if (below > 0 || (below == 0 && (bits & 1U) == 0)) break;
    --bits;
  }
  return std::bit_cast<double>(bits);
}

/// Appends the decimal digits at `at` to `value`, eight at a time while the text has eight, and
/// returns the end of the digits; `value` wraps around past 19 digits.
const char* addDigits(const char* at, const char* end, std::uint64_t& value) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kZeros = 0x3030303030303030U;
    constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0U;
    while (end - at >= 8) {
      const std::uint64_t word = detail::loadWord(reinterpret_cast<const unsigned char*>(at));
      // Every byte is a digit when its high nibble is 3 and adding 6 keeps it so.
      if ((word & kHighNibbles) != kZeros ||
          ((word + 0x0606060606060606U) & kHighNibbles) != kZeros) {
        break;
      }
      // Pairs, then quads, then the eight: the first digit is in the lowest byte.
      std::uint64_t lanes = word - kZeros;
      lanes = (lanes * 10 + (lanes >> 8)) & 0x00FF00FF00FF00FFU;
      lanes = (lanes * 100 + (lanes >> 16)) & 0x0000FFFF0000FFFFU;
      lanes = (lanes * 10000 + (lanes >> 32)) & 0xFFFFFFFFU;
      value = value * 100000000 + lanes;
      at += 8;
    }
  }
  for (; at != end && isDigit(*at); ++at)
    value = value * 10 + static_cast<std::uint64_t>(*at - '0');
  return at;
}

/// A decimal number as its text has it: `digits` times ten to the `scale`, where `count` digits
/// were read into `digits` (more than 19 have wrapped around).
struct Decimal {
  std::uint64_t digits = 0;
  std::ptrdiff_t count = 0;
  int scale = 0;
  bool negative = false;
};

/// Reads the digits of an exponent at `at` into `scale`, with the sign `minus`; returns their end.
/// An exponent of 1000 or more is read no further: no such number is exact here.
const char* addExponent(const char* at, const char* end, bool minus, int& scale) noexcept {
  constexpr int kLargeExponent = 1000;
  int exponent = 0;
  for (; at != end && isDigit(*at); ++at) {
    if (exponent < kLargeExponent) exponent = exponent * 10 + (*at - '0');
  }
  scale += minus ? -exponent : exponent;
  return at;
}

/// Gives the double nearest to `decimal` when it has at most 19 digits and a small power of ten:
/// one rounding of exact operands when the digits fit 2^53 and the power of ten is a double,
/// else the quotient or product in 128 bits rounded once. Fails, to leave the text to
/// std::from_chars, whenever it cannot be sure.
[[gnu::always_inline]] inline bool exactDouble(const Decimal& decimal, double& out) noexcept {
  constexpr int kMostDigits = 19;
  constexpr auto kLargestPower = static_cast<int>(kExactPowersOfTen.size()) - 1;
  constexpr auto kLargestFive = static_cast<int>(kLargestFivePower);
  // An operation on doubles is rounded once only where it is done in double precision.
  constexpr bool kDoubleArithmetic = std::numeric_limits<double>::is_iec559 && FLT_EVAL_METHOD == 0;
  const std::uint64_t digits = decimal.digits;
  const int scale = decimal.scale;
  if (decimal.count > kMostDigits) return false;
  double value = 0.0;
  if (digits == 0) {
    value = 0.0;
  } else if (kDoubleArithmetic && digits <= std::uint64_t{1} << 53 && scale >= -kLargestPower &&
             scale <= kLargestPower) {
    value = static_cast<double>(digits);
    value = scale < 0 ? value / kExactPowersOfTen[static_cast<std::size_t>(-scale)]
                      : value * kExactPowersOfTen[static_cast<std::size_t>(scale)];
  } else if (scale < 0 && scale >= -kLargestPower) {
    value = nearestQuotient(digits, -scale);
  } else if (scale >= 0 && scale <= kLargestFive) {
    // digits * 10^scale = digits * 5^scale * 2^scale, the product below 2^127.
    const Wide product = Wide{digits} * kPowersOfFive[static_cast<std::size_t>(scale)];
    if (!roundToDouble(product, false, scale, value)) return false;
  } else if (scale < 0 && scale >= -kLargestFive) {
    // digits / 10^q = (digits * 2^shift / 5^q) * 2^(-shift - q): the dividend takes 127 bits,
    // so the quotient keeps at least 64, and the remainder tells whether any bit was lost.
    const std::uint64_t divisor = kPowersOfFive[static_cast<std::size_t>(-scale)];
    const int shift = 127 - static_cast<int>(std::bit_width(digits));
    const Wide dividend = Wide{digits} << shift;
    if (!roundToDouble(dividend / divisor, dividend % divisor != 0, scale - shift, value)) {
      return false;
    }
  } else {
    return false;
  }
  out = decimal.negative ? -value : value;
  return true;
}

/// Reads the JSON number text [start, end), already checked against the grammar, rounding to
/// nearest; fails when it is out of the range of a finite double.
bool readDoubleText(const char* start, const char* end, double& out) noexcept {
  Decimal decimal;
  const char* at = start;
  decimal.negative = *at == '-';
  if (decimal.negative) ++at;
  const char* const first = at;
  at = addDigits(at, end, decimal.digits);
  decimal.count = at - first;
  if (at != end && *at == '.') {
    const char* const fraction = ++at;
    at = addDigits(at, end, decimal.digits);
    decimal.count += at - fraction;
    decimal.scale = -static_cast<int>(at - fraction);
  }
  if (at != end) {
    ++at;
    const bool minus = *at == '-';
    if (*at == '-' || *at == '+') ++at;
    addExponent(at, end, minus, decimal.scale);
  }
  if (exactDouble(decimal, out)) return true;
  const auto [stop, error] = std::from_chars(start, end, out);
  return error == std::errc{} && stop == end;
}

/// One escape of a string: how many bytes of text it takes and the code point it stands for.
struct Escape {
  std::size_t length = 0;
  std::uint32_t code_point = 0;
};

/// A number as it stands in the text; `integral` when it has neither fraction nor exponent.
struct NumberText {
  const char* start = nullptr;
  const char* end = nullptr;
  bool negative = false;
  bool integral = true;
};

/// A captured subject as the snapshot's own members are checked against it: its index and where
/// it stands in the text.
struct CapturedPlace {
  std::size_t index = 0;
  const char* start = nullptr;
};

/// Where the members of a snapshot that its subjects are checked against stand in the text, and
/// the two captured subjects that decide whether every observation is of the snapshot's system
/// and epoch: the first one, and the first whose system or epoch differs from the first one's.
/// When the first matches the snapshot, the other is the first that does not.
struct SnapshotPlaces {
  const char* epoch = nullptr;
  const char* barrier_sequence = nullptr;
  const char* status = nullptr;
  const char* system_id = nullptr;
  std::optional<CapturedPlace> first_captured;
  std::optional<CapturedPlace> first_other;
};

/// Tells whether the `Size` bytes at `at` are those of `text`, `Size` a constant: a few
/// overlapping word compares, without a call.
template <std::size_t Size>
[[gnu::always_inline]] inline bool sameAsConstant(const char* at, const char* text) noexcept {
  static_assert(Size >= 1, "fragments are not empty");
  const auto* left = reinterpret_cast<const unsigned char*>(at);
  const auto* right = reinterpret_cast<const unsigned char*>(text);
  if constexpr (Size < 4) {
    bool same = true;
    for (std::size_t index = 0; index < Size; ++index)
      same = same && left[index] == right[index];
    return same;
  } else if constexpr (Size < 8) {
    return ((detail::loadHalf(left) ^ detail::loadHalf(right)) |
            (detail::loadHalf(left + Size - 4) ^ detail::loadHalf(right + Size - 4))) == 0;
  } else {
    std::uint64_t differ = detail::loadWord(left + Size - 8) ^ detail::loadWord(right + Size - 8);
    for (std::size_t word = 0; word + 8 < Size; word += 8)
      differ |= detail::loadWord(left + word) ^ detail::loadWord(right + word);
    return differ == 0;
  }
}

/// Reads a plain integer of up to 19 digits, which cannot overflow, at `at` (past any sign);
/// returns its end. Returns null when the number is longer, has a fraction or an exponent, or is
/// not a number: the full reading then says which.
[[nodiscard, gnu::always_inline]] inline const char* readShortMagnitude(
    const char* at, const char* end, std::uint64_t& value) noexcept {
  constexpr std::size_t kSafeDigits = 19;
  const char* const limit =
      static_cast<std::size_t>(end - at) > kSafeDigits ? at + kSafeDigits : end;
  if (at == end || !isDigit(*at)) return nullptr;
  value = static_cast<std::uint64_t>(*at - '0');
  // A leading zero stands alone: what follows it is left to the caller.
  if (*at++ != '0') {
    for (; at != limit && isDigit(*at); ++at)
      value = value * 10 + static_cast<std::uint64_t>(*at - '0');
  }
  if (at != end && (isDigit(*at) || *at == '.' || *at == 'e' || *at == 'E')) return nullptr;
  return at;
}

/// Tells whether two texts of the same size, at most 24 bytes (an enumeration name), hold the
/// same bytes: overlapping word loads inline, where sameBytes would be a call.
[[gnu::always_inline]] inline bool sameShort(std::string_view left,
                                             std::string_view right) noexcept {
  const std::size_t size = left.size();
  const auto* a = reinterpret_cast<const unsigned char*>(left.data());
  const auto* b = reinterpret_cast<const unsigned char*>(right.data());
  if (size >= 8) {
    return ((detail::loadWord(a) ^ detail::loadWord(b)) |
            (detail::loadWord(a + (size - 8) / 2) ^ detail::loadWord(b + (size - 8) / 2)) |
            (detail::loadWord(a + size - 8) ^ detail::loadWord(b + size - 8))) == 0;
  }
  if (size >= 4) {
    return ((detail::loadHalf(a) ^ detail::loadHalf(b)) |
            (detail::loadHalf(a + size - 4) ^ detail::loadHalf(b + size - 4))) == 0;
  }
  bool same = true;
  for (std::size_t at = 0; at < size; ++at)
    same = same && a[at] == b[at];
  return same;
}

/// Says what no capture can give in a subject read whole, or null when it is sound.
const char* subjectFault(const SubjectResult& subject) noexcept {
  if (subject.id.empty()) return "subject id must not be empty";
  const bool captured = subject.status == SubjectStatus::captured;
  if (subject.observation.has_value() != captured) {
    return captured ? "captured subject without observation"
                    : "observation on a subject not captured";
  }
  if (captured && !subject.diagnostic.empty()) return "diagnostic on a captured subject";
  // An invalid subject's diagnostic is the what() of the exception its probe raised, which may
  // be empty; every other status that is not captured always says why.
  if (!captured && subject.diagnostic.empty() && subject.status != SubjectStatus::invalid) {
    return "subject not captured without diagnostic";
  }
  if (captured && !detail::hasSubjectKey(subject.observation->entity, subject.id)) {
    return "observation of another subject";
  }
  return nullptr;
}

/// Reads an observation or a subject of a runtime-state document written exactly as the writer
/// writes it, straight through: the constant text between two values is compared whole and each
/// value is read at once, without
/// escapes or the lookup of keys. It gives up at the first byte that differs from what the writer
/// would have written (whitespace, another order, an escape, a long integer) or when the record
/// is not valid; the general reading then starts over at the same object and says what is wrong,
/// if anything. Whatever it accepts, the general reading would accept as the same record.
class CanonicalReader {
 public:
  static_assert(kObservationSchema == "velmor-observability/1");

  CanonicalReader(const char* at, const char* end) noexcept : at_(at), end_(end) {}

  /// Reads the subject object at the cursor into a fresh `subject`; returns the end of the
  /// object, or null when the text is not canonical or the subject not one a capture gives.
  [[nodiscard]] const char* read(SubjectResult& subject) {
    if (!take(R"({"diagnostic":)") || !string(subject.diagnostic) || !take(R"(,"id":)") ||
        !string(subject.id) || !take(R"(,"observation":)")) {
      return nullptr;
    }
    if (!take("null") && read(subject.observation.emplace()) == nullptr) return nullptr;
    if (!take(R"(,"status":)") || !name<kSubjectStatusNames>(subject.status) || !take("}") ||
        subjectFault(subject) != nullptr) {
      return nullptr;
    }
    return at_;
  }

  /// Reads the object at the cursor into a fresh `record`; returns the end of the object, or
  /// null when the text is not canonical. Everything it calls in this library's headers and the
  /// standard library's is inlined into it (flatten): at -O3 GCC otherwise leaves the scans and
  /// string copies as calls, and the whole record is read faster as one function.
  [[nodiscard, gnu::flatten]] const char* read(Observation& record) {
    if (!take(R"({"declared":)")) return nullptr;
    if (!take("null")) {
      DeclaredState& declared = record.declared.emplace();
      if (!take(R"({"attributes":)") || !map(declared.attributes) || !take(R"(,"config_hash":)") ||
          !string(declared.config_hash) || !take(R"(,"type":)") || !string(declared.type) ||
          !take("}")) {
        return nullptr;
      }
    }
    if (!take(R"(,"entity":{"id":)") || !identifier(record.entity.id) || !take(R"(,"kind":)") ||
        !name<kKindNames>(record.entity.kind) || !take(R"(,"parent":)") ||
        (!take("null") && !identifier(record.entity.parent.emplace())) || !take(R"(},"epoch":)") ||
        !unsignedNumber(record.epoch) || !take(R"(,"extensions":)") || !map(record.extensions) ||
        !take(R"(,"logical_time":)") || !signedNumber(record.logical_time) ||
        !take(R"(,"observed":)")) {
      return nullptr;
    }
    if (!take("null")) {
      // Filled here and moved in: emplace() would first clear the whole section.
      ObservedState observed;
      if (!take(R"({"attributes":)") || !map(observed.attributes) || !take(R"(,"health":)") ||
          !name<kHealthNames>(observed.health) || !take(R"(,"last_observed_ns":)") ||
          !unsignedNumber(observed.last_observed_ns) || !take(R"(,"lifecycle":)") ||
          !name<kLifecycleNames>(observed.lifecycle) || !take(R"(,"pressure":)") ||
          !number(observed.pressure) || !take(R"(,"ready":)")) {
        return nullptr;
      }
      observed.ready = take("true}");
      if (!observed.ready && !take("false}")) return nullptr;
      record.observed.emplace(std::move(observed));
    }
    if (!take(R"(,"observed_at_ns":)") || !unsignedNumber(record.observed_at_ns) ||
        !take(R"(,"planned":)")) {
      return nullptr;
    }
    if (!take("null")) {
      PlannedState& planned = record.planned.emplace();
      if (!take(R"({"attributes":)") || !map(planned.attributes) || !take(R"(,"device_id":)") ||
          !optionalString(planned.device_id) || !take(R"(,"host_id":)") ||
          !optionalString(planned.host_id) || !take(R"(,"placement_hash":)") ||
          !string(planned.placement_hash) || !take("}")) {
        return nullptr;
      }
    }
    // The record already holds the one valid schema: the text only has to name it. The
    // identifiers were checked as they were read.
    if (!take(R"(,"schema":"velmor-observability/1","sequence":)") ||
        !unsignedNumber(record.sequence) || !take(R"(,"system_id":)") ||
        !identifier(record.system_id) || !take("}") || !detail::isValidBeyondIdentifiers(record)) {
      return nullptr;
    }
    return at_;
  }

 private:
  // A literal's size is part of its type: the comparison is unrolled for it.
  template <std::size_t Size>
  [[gnu::always_inline]] bool take(
      const char (&fragment)[Size]) noexcept {  // NOLINT(modernize-avoid-c-arrays)
    constexpr std::size_t kLength = Size - 1;
    if (static_cast<std::size_t>(end_ - at_) < kLength || !sameAsConstant<kLength>(at_, fragment)) {
      return false;
    }
    at_ += kLength;
    return true;
  }

  /// Reads a string as a view of the text, up to the first byte of `Stops`, which must be its
  /// closing quotation mark: by default a string without escapes.
  template <typename Stops = detail::EscapedBytes>
  [[gnu::always_inline]] bool text(std::string_view& out) noexcept {
    if (at_ == end_ || *at_ != '"') return false;
    const char* const body = at_ + 1;
    const auto left = static_cast<std::size_t>(end_ - body);
    std::size_t length = left;
    if (std::endian::native == std::endian::little && left >= detail::kBlockSize) {
      const detail::BlockHits hits(Stops::flags(detail::loadBlock(bytes(body))));
      length = hits.any()
                   ? hits.first()
                   : detail::kBlockSize + detail::findFirst<Stops>(bytes(body + detail::kBlockSize),
                                                                   left - detail::kBlockSize);
    } else {
      length = detail::findFirst<Stops>(bytes(body), left);
    }
    if (length == left || body[length] != '"') return false;
    out = std::string_view(body, length);
    at_ = body + length + 1;
    return true;
  }

  /// Reads a string into `out`, empty as every string of a fresh record is: appending to it is
  /// assigning, without the general replacement.
  [[gnu::always_inline]] bool string(std::string& out) {
    std::string_view view;
    if (!text(view)) return false;
    if (!view.empty()) out.append(view);
    return true;
  }

  [[gnu::always_inline]] bool optionalString(std::optional<std::string>& out) {
    return take("null") || string(out.emplace());
  }

  /// Reads a valid identifier into `out`, empty as in a fresh record: a string that is not one,
  /// or has escapes, is left to the general reading.
  [[gnu::always_inline]] bool identifier(std::string& out) {
    std::string_view view;
    if (!text<detail::IdentifierText>(view) || view.empty()) return false;
    out.append(view);
    return true;
  }

  template <const auto& Names, typename Enum>
  [[gnu::always_inline]] bool name(Enum& out) noexcept {
    std::string_view view;
    if (!text(view) || view.empty()) return false;
    const std::size_t slot = kNameSlotsOf<Names>[nameSlot(view)];
    if (slot == 0) return false;
    const std::string_view candidate = Names[slot - 1];
    if (candidate.size() != view.size() || !sameShort(candidate, view)) return false;
    out = static_cast<Enum>(slot - 1);
    return true;
  }

  [[gnu::always_inline]] bool unsignedNumber(std::uint64_t& out) noexcept {
    const char* const end = readShortMagnitude(at_, end_, out);
    if (end == nullptr) return false;
    at_ = end;
    return true;
  }

  [[gnu::always_inline]] bool signedNumber(std::int64_t& out) noexcept {
    const bool negative = at_ != end_ && *at_ == '-';
    std::uint64_t magnitude = 0;
    const char* const end = readShortMagnitude(at_ + (negative ? 1 : 0), end_, magnitude);
    // Nineteen digits may pass the signed range; "-0" is written "0".
    if (end == nullptr ||
        magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        (negative && magnitude == 0)) {
      return false;
    }
    out = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    at_ = end;
    return true;
  }

  /// Reads a number as the writer writes a double: an optional "-", an integer part without
  /// leading zeros, an optional fraction, an optional exponent with its sign. The digits are
  /// gathered as they are checked.
  [[gnu::always_inline]] bool number(double& out) noexcept {
    const char* at = at_;
    Decimal decimal;
    decimal.negative = at != end_ && *at == '-';
    if (decimal.negative) ++at;
    const char* const first = at;
    if (at != end_ && *at == '0') {
      ++at;
    } else if (at = addDigits(at, end_, decimal.digits); at == first) {
      return false;
    }
    decimal.count = at - first;
    if (at != end_ && *at == '.') {
      const char* const fraction = ++at;
      at = addDigits(at, end_, decimal.digits);
      if (at == fraction) return false;
      decimal.count += at - fraction;
      decimal.scale = -static_cast<int>(at - fraction);
    }
    if (at != end_ && *at == 'e') {
      if (++at == end_ || (*at != '+' && *at != '-')) return false;
      const char* const exponent = ++at;
      at = addExponent(at, end_, at[-1] == '-', decimal.scale);
      if (at == exponent) return false;
    }
    if (!exactDouble(decimal, out)) {
      const auto [stop, error] = std::from_chars(at_, at, out);
      if (error != std::errc{} || stop != at) return false;
    }
    at_ = at;
    return true;
  }

  /// Most maps are empty: that case stays inline.
  [[gnu::always_inline]] bool map(AttributeMap& out) { return take("{}") || entries(out); }

  [[gnu::noinline]] bool entries(AttributeMap& out) {
    if (!take("{")) return false;
    for (;;) {
      std::string_view key;
      std::string_view value;
      if (!text(key) || !take(":") || !text(value)) return false;
      // Canonical keys ascend: each entry goes at the end, and none can repeat.
      if (!out.empty() && !(std::string_view(out.rbegin()->first) < key)) return false;
      out.emplace_hint(out.end(), key, value);
      if (take("}")) return true;
      if (!take(",")) return false;
    }
  }

  static const unsigned char* bytes(const char* at) noexcept {
    return reinterpret_cast<const unsigned char*>(at);
  }

  const char* at_;
  const char* end_;
};

/// A cursor over the text that reads the two formats. It never recurses: each level of the fixed
/// document shape has its own function. Every read tests the end of the view first.
class Reader {
 public:
  explicit Reader(std::string_view text) noexcept
      : begin_(text.data()), at_(text.data()), end_(text.data() + text.size()) {}

  [[noreturn]] void fail(const char* where, const std::string& reason) const {
    throw DocumentError(static_cast<std::size_t>(where - begin_), reason);
  }

  void skipSpace() noexcept {
    while (at_ < end_ && isSpace(*at_))
      ++at_;
  }

  void finish() {
    skipSpace();
    if (at_ != end_) fail(at_, "unexpected text after the document");
  }

  void readObservation(Observation& record) {
    skipSpace();
    if (current() != '{') fail(at_, "expected object");
    readObservationObject(record);
  }

  void readSnapshot(RuntimeStateSnapshot& snapshot) {
    skipSpace();
    if (current() != '{') fail(at_, "expected object");
    SnapshotPlaces places;
    readObject<SnapshotMember, kSnapshotMembers>([&](SnapshotMember member) {
      switch (member) {
        case SnapshotMember::barrier_sequence:
          places.barrier_sequence = at_;
          snapshot.barrier_sequence = readUnsigned();
          return;
        case SnapshotMember::captured_at_ns:
          snapshot.captured_at_ns = readUnsigned();
          return;
        case SnapshotMember::deadline_ns:
          snapshot.deadline_ns = readUnsigned();
          return;
        case SnapshotMember::epoch:
          places.epoch = at_;
          snapshot.epoch = readUnsigned();
          return;
        case SnapshotMember::logical_time:
          snapshot.logical_time = readSigned();
          return;
        case SnapshotMember::schema: {
          const char* const start = at_;
          readString(snapshot.schema);
          if (snapshot.schema != kRuntimeStateSchema) fail(start, "unsupported schema");
          return;
        }
        case SnapshotMember::status:
          places.status = at_;
          snapshot.status = readName<SnapshotStatus>(kSnapshotStatusNames, "unknown status name");
          return;
        case SnapshotMember::subjects:
          readSubjects(snapshot.subjects, places);
          return;
        case SnapshotMember::system_id:
          places.system_id = at_;
          readString(snapshot.system_id);
          return;
      }
    });
    checkSnapshot(snapshot, places);
  }

 private:
  [[nodiscard]] char current() const noexcept { return at_ < end_ ? *at_ : '\0'; }

  [[nodiscard]] bool startsWith(std::string_view text) const noexcept {
    return static_cast<std::size_t>(end_ - at_) >= text.size() &&
           detail::sameBytes(std::string_view(at_, text.size()), text);
  }

  /// Consumes `word` ("null", "true", "false") when the text continues with it.
  [[nodiscard]] bool consume(std::string_view word) noexcept {
    if (!startsWith(word)) return false;
    at_ += word.size();
    return true;
  }

  /// Reads an object, at its "{", whose members are exactly `Keys`, each once and in any
  /// order; `readValue(member)` reads each value. A canonical text is read straight through,
  /// each key compared as a constant with the one that follows in canonical order; from the first
  /// byte that differs (whitespace, another order, a missing member) keys are looked up.
  template <typename Member, const auto& Keys, typename ReadValue>
  void readObject(ReadValue readValue) {
    constexpr std::size_t kCount = Keys.size();
    ++at_;
    const std::size_t matched =
        readCanonicalMembers<Member, Keys>(readValue, std::make_index_sequence<kCount>{});
    if (matched == kCount && current() == '}') {
      ++at_;
      return;
    }
    std::uint32_t seen = (1U << matched) - 1;
    std::size_t next = matched;
    if (matched == 0) {
      skipSpace();
      if (current() != '}') readMember<Member, Keys>(seen, next, readValue);
    }
    for (skipSpace(); current() != '}'; skipSpace()) {
      if (current() != ',') fail(at_, "expected ',' or '}'");
      ++at_;
      skipSpace();
      readMember<Member, Keys>(seen, next, readValue);
    }
    if (constexpr std::uint32_t kAll = (1U << kCount) - 1; seen != kAll) {
      const auto missing = static_cast<std::size_t>(std::countr_one(seen));
      fail(at_, "missing member " + quoted(nameOf(Keys[missing])));
    }
    ++at_;
  }

  /// Reads members in canonical order for as long as the text has them with nothing between;
  /// returns how many it read.
  template <typename Member, const auto& Keys, typename ReadValue, std::size_t... Index>
  std::size_t readCanonicalMembers(ReadValue& readValue, std::index_sequence<Index...> /*all*/) {
    std::size_t matched = 0;
    (void)((readCanonicalMember<Member, Keys, Index>(readValue) && (++matched, true)) && ...);
    return matched;
  }

  template <typename Member, const auto& Keys, std::size_t Index, typename ReadValue>
  [[gnu::always_inline]] bool readCanonicalMember(ReadValue& readValue) {
    constexpr std::string_view kKey = Keys[Index];
    constexpr std::size_t kComma = Index == 0 ? 0 : 1;
    if (static_cast<std::size_t>(end_ - at_) < kComma + kKey.size()) return false;
    if (kComma == 1 && *at_ != ',') return false;
    if (!sameAsConstant<kKey.size()>(at_ + kComma, kKey.data())) return false;
    at_ += kComma + kKey.size();
    skipSpace();
    readValue(static_cast<Member>(Index));
    return true;
  }

  /// Reads one member at its key, which is looked up unless it is the one after `next`.
  template <typename Member, const auto& Keys, typename ReadValue>
  void readMember(std::uint32_t& seen, std::size_t& next, ReadValue& readValue) {
    const char* const key = at_;
    std::size_t index = next;
    if (next < Keys.size() && startsWith(Keys[next])) {
      at_ += Keys[next].size();
    } else {
      index = lookUpMember(Keys);
    }
    if ((seen >> index & 1U) != 0) {
      fail(key, "duplicate member " + quoted(nameOf(Keys[index])));
    }
    seen |= 1U << index;
    skipSpace();
    readValue(static_cast<Member>(index));
    next = index + 1;
  }

  /// Reads a key and its colon; returns the position of the key in `members`.
  template <std::size_t Count>
  std::size_t lookUpMember(const Members<Count>& members) {
    const char* const key = at_;
    if (current() != '"') fail(at_, "expected member name");
    std::string scratch;
    const std::string_view name = readText(scratch);
    skipSpace();
    if (current() != ':') fail(at_, "expected ':'");
    ++at_;
    for (std::size_t index = 0; index < Count; ++index) {
      if (nameOf(members[index]) == name) return index;
    }
    fail(key, "unknown member " + quoted(name));
  }

  /// Reads a string at its quotation mark. Returns a view of the text itself when the string
  /// holds no escape, else decodes it into `scratch`, allocated once at its decoded size.
  [[gnu::always_inline]] std::string_view readText(std::string& scratch) {
    const char* const body = at_ + 1;
    if constexpr (std::endian::native == std::endian::little) {
      // Most strings end within one block: tested here, inline, rather than by the general scan.
      if (end_ - body >= static_cast<std::ptrdiff_t>(detail::kBlockSize)) {
        const detail::BlockHits hits(detail::EscapedBytes::flags(detail::loadBlock(bytes(body))));
        if (hits.any() && body[hits.first()] == '"') {
          at_ = body + hits.first() + 1;
          return {body, hits.first()};
        }
      }
    }
    return readLongText(scratch);
  }

  /// Reads a string that readText did not find the end of in its first block.
  [[gnu::noinline]] std::string_view readLongText(std::string& scratch) {
    const char* const body = at_ + 1;
    const auto left = static_cast<std::size_t>(end_ - body);
    const std::size_t clean = detail::findFirst<detail::EscapedBytes>(bytes(body), left);
    if (clean < left && body[clean] == '"') {
      at_ = body + clean + 1;
      return {body, clean};
    }
    // The first pass checks every escape and measures the result, the second writes it.
    std::size_t size = clean;
    const char* at = body + clean;
    for (;;) {
      if (at == end_) fail(at, "unterminated string");
      if (*at == '"') break;
      if (*at != '\\') fail(at, "control byte in string");
      const Escape escape = readEscape(at);
      size += utf8Size(escape.code_point);
      at += escape.length;
      const std::size_t run =
          detail::findFirst<detail::EscapedBytes>(bytes(at), static_cast<std::size_t>(end_ - at));
      size += run;
      at += run;
    }
    const char* const close = at;
    scratch.resize(size);
    char* out = scratch.data();
    for (at = body; at != close;) {
      if (*at != '\\') {
        *out++ = *at++;
        continue;
      }
      const Escape escape = readEscape(at);
      out = writeUtf8(out, escape.code_point);
      at += escape.length;
    }
    at_ = close + 1;
    return scratch;
  }

  /// Reads the escape at `at` (a reverse solidus); a surrogate pair is one escape.
  Escape readEscape(const char* at) const {
    if (end_ - at < 2) fail(at, "invalid escape");
    switch (at[1]) {
      case '"':
      case '\\':
      case '/':
        return {2, static_cast<std::uint32_t>(at[1])};
      case 'b':
        return {2, '\b'};
      case 'f':
        return {2, '\f'};
      case 'n':
        return {2, '\n'};
      case 'r':
        return {2, '\r'};
      case 't':
        return {2, '\t'};
      case 'u':
        break;
      default:
        fail(at, "invalid escape");
    }
    const std::uint32_t first = readHex(at);
    if (first < 0xD800 || first > 0xDFFF) return {6, first};
    if (first > 0xDBFF || end_ - at < 12 || at[6] != '\\' || at[7] != 'u') {
      fail(at, "lone surrogate");
    }
    const std::uint32_t second = readHex(at + 6);
    if (second < 0xDC00 || second > 0xDFFF) fail(at, "lone surrogate");
    return {12, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00)};
  }

  /// Reads the four hexadecimal digits of the "\u" escape at `at`.
  std::uint32_t readHex(const char* at) const {
    if (end_ - at < 6) fail(at, "invalid escape");
    std::uint32_t value = 0;
    for (std::size_t digit = 2; digit < 6; ++digit) {
      const unsigned nibble = hexValue(at[digit]);
      if (nibble > 15) fail(at, "invalid escape");
      value = value << 4 | nibble;
    }
    return value;
  }

  void readString(std::string& out) {
    if (current() != '"') fail(at_, "expected string");
    const std::string_view text = readText(out);
    if (text.data() != out.data()) out.assign(text);
  }

  void readOptionalString(std::optional<std::string>& out) {
    if (consume("null")) return;
    if (current() != '"') fail(at_, "expected string or null");
    readString(out.emplace());
  }

  /// Reads an enumeration name; `unknown` is the reason for a name outside the table.
  template <typename Enum, std::size_t Count>
  Enum readName(const std::array<std::string_view, Count>& names, const char* unknown) {
    const char* const start = at_;
    if (current() != '"') fail(at_, "expected string");
    std::string scratch;
    const std::string_view name = readText(scratch);
    for (std::size_t value = 0; value < Count; ++value) {
      if (names[value].size() == name.size() && detail::sameBytes(names[value], name)) {
        return static_cast<Enum>(value);
      }
    }
    fail(start, unknown);
  }

  bool readBool() {
    if (consume("true")) return true;
    if (consume("false")) return false;
    fail(at_, "expected true or false");
  }

  /// Reads the text of a number (RFC 8259 grammar); `notNumber` is the reason when there is none.
  NumberText scanNumber(const char* notNumber) {
    NumberText number{at_, at_};
    const char* at = at_;
    if (at < end_ && *at == '-') {
      number.negative = true;
      ++at;
    } else if (at == end_ || !isDigit(*at)) {
      fail(at, notNumber);
    }
    const auto digits = [&at, this] {
      if (at == end_ || !isDigit(*at)) fail(at, "invalid number");
      while (at < end_ && isDigit(*at))
        ++at;
    };
    if (at < end_ && *at == '0') {
      ++at;
    } else {
      digits();
    }
    if (at < end_ && *at == '.') {
      number.integral = false;
      ++at;
      digits();
    }
    if (at < end_ && (*at == 'e' || *at == 'E')) {
      number.integral = false;
      ++at;
      if (at < end_ && (*at == '+' || *at == '-')) ++at;
      digits();
    }
    number.end = at;
    at_ = at;
    return number;
  }

  /// Reads an integer's magnitude; fails when it does not fit 64 bits.
  [[nodiscard]] std::uint64_t readMagnitude(const NumberText& number) const {
    if (!number.integral) fail(number.start, "integer written with a fraction or an exponent");
    std::uint64_t value = 0;
    for (const char* at = number.start + (number.negative ? 1 : 0); at != number.end; ++at) {
      if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
          __builtin_add_overflow(value, static_cast<std::uint64_t>(*at - '0'), &value)) {
        fail(number.start, "number out of range");
      }
    }
    return value;
  }

  std::uint64_t readUnsigned() {
    std::uint64_t value = 0;
    if (const char* const end = readShortMagnitude(at_, end_, value)) {
      at_ = end;
      return value;
    }
    const NumberText number = scanNumber("expected integer");
    value = readMagnitude(number);
    // "-0" is zero, a value every unsigned member holds.
    if (number.negative && value != 0) fail(number.start, "number out of range");
    return value;
  }

  std::int64_t readSigned() {
    constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const bool negative = current() == '-';
    std::uint64_t value = 0;
    if (const char* const end = readShortMagnitude(negative ? at_ + 1 : at_, end_, value);
        end != nullptr && value <= kLargest) {
      at_ = end;
      return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    }
    const NumberText number = scanNumber("expected integer");
    value = readMagnitude(number);
    if (value > kLargest + (number.negative ? std::uint64_t{1} : std::uint64_t{0})) {
      fail(number.start, "number out of range");
    }
    // Negating in unsigned arithmetic keeps the most negative value defined.
    return static_cast<std::int64_t>(number.negative ? 0 - value : value);
  }

  double readDouble() {
    const NumberText number = scanNumber("expected number");
    double value = 0.0;
    if (!readDoubleText(number.start, number.end, value)) fail(number.start, "number out of range");
    return value;
  }

  void readMap(AttributeMap& map) {
    if (current() != '{') fail(at_, "expected object");
    ++at_;
    skipSpace();
    if (current() == '}') {
      ++at_;
      return;
    }
    for (;;) {
      const char* const keyAt = at_;
      if (current() != '"') fail(at_, "expected member name");
      std::string key;
      readString(key);
      skipSpace();
      if (current() != ':') fail(at_, "expected ':'");
      ++at_;
      skipSpace();
      std::string value;
      readString(value);
      // Canonical maps come in ascending key order: each entry then goes at the end at once.
      if (map.empty() || map.rbegin()->first < key) {
        map.emplace_hint(map.end(), std::move(key), std::move(value));
      } else if (!map.try_emplace(std::move(key), std::move(value)).second) {
        // try_emplace leaves `key` alone when it inserts nothing.
        fail(keyAt, "duplicate member " + quoted(key));  // NOLINT(bugprone-use-after-move)
      }
      skipSpace();
      if (current() == '}') break;
      if (current() != ',') fail(at_, "expected ',' or '}'");
      ++at_;
      skipSpace();
    }
    ++at_;
  }

  /// Reads null or an object into `slot`; `readBody` reads the object at its "{".
  template <typename Section, typename ReadBody>
  void readSection(std::optional<Section>& slot, ReadBody readBody) {
    if (consume("null")) return;
    if (current() != '{') fail(at_, "expected object or null");
    // Built apart and moved in: emplace() would first clear the whole section to zero.
    Section section;
    readBody(section);
    slot.emplace(std::move(section));
  }

  void readObservationObject(Observation& record) {
    if (const char* const end = CanonicalReader(at_, end_).read(record)) {
      at_ = end;
      return;
    }
    record = Observation();
    const char* const open = at_;
    readObject<ObservationMember, kObservationMembers>([&](ObservationMember member) {
      switch (member) {
        case ObservationMember::declared:
          readSection(record.declared, [this](DeclaredState& declared) { readDeclared(declared); });
          return;
        case ObservationMember::entity:
          if (current() != '{') fail(at_, "expected object");
          readEntity(record.entity);
          return;
        case ObservationMember::epoch:
          record.epoch = readUnsigned();
          return;
        case ObservationMember::extensions:
          readMap(record.extensions);
          return;
        case ObservationMember::logical_time:
          record.logical_time = readSigned();
          return;
        case ObservationMember::observed:
          readSection(record.observed, [this](ObservedState& observed) { readObserved(observed); });
          return;
        case ObservationMember::observed_at_ns:
          record.observed_at_ns = readUnsigned();
          return;
        case ObservationMember::planned:
          readSection(record.planned, [this](PlannedState& planned) { readPlanned(planned); });
          return;
        case ObservationMember::schema:
          readString(record.schema);
          return;
        case ObservationMember::sequence:
          record.sequence = readUnsigned();
          return;
        case ObservationMember::system_id:
          readString(record.system_id);
          return;
      }
    });
    if (!detail::isValid(record)) fail(open, "invalid observation: " + record.validate().front());
  }

  void readEntity(EntityIdentity& entity) {
    readObject<EntityMember, kEntityMembers>([&](EntityMember member) {
      switch (member) {
        case EntityMember::id:
          readString(entity.id);
          return;
        case EntityMember::kind:
          entity.kind = readName<EntityKind>(kKindNames, "unknown kind name");
          return;
        case EntityMember::parent:
          readOptionalString(entity.parent);
          return;
      }
    });
  }

  void readDeclared(DeclaredState& declared) {
    readObject<DeclaredMember, kDeclaredMembers>([&](DeclaredMember member) {
      switch (member) {
        case DeclaredMember::attributes:
          readMap(declared.attributes);
          return;
        case DeclaredMember::config_hash:
          readString(declared.config_hash);
          return;
        case DeclaredMember::type:
          readString(declared.type);
          return;
      }
    });
  }

  void readObserved(ObservedState& observed) {
    readObject<ObservedMember, kObservedMembers>([&](ObservedMember member) {
      switch (member) {
        case ObservedMember::attributes:
          readMap(observed.attributes);
          return;
        case ObservedMember::health:
          observed.health = readName<HealthState>(kHealthNames, "unknown health name");
          return;
        case ObservedMember::last_observed_ns:
          observed.last_observed_ns = readUnsigned();
          return;
        case ObservedMember::lifecycle:
          observed.lifecycle = readName<LifecycleState>(kLifecycleNames, "unknown lifecycle name");
          return;
        case ObservedMember::pressure:
          observed.pressure = readDouble();
          return;
        case ObservedMember::ready:
          observed.ready = readBool();
          return;
      }
    });
  }

  void readPlanned(PlannedState& planned) {
    readObject<PlannedMember, kPlannedMembers>([&](PlannedMember member) {
      switch (member) {
        case PlannedMember::attributes:
          readMap(planned.attributes);
          return;
        case PlannedMember::device_id:
          readOptionalString(planned.device_id);
          return;
        case PlannedMember::host_id:
          readOptionalString(planned.host_id);
          return;
        case PlannedMember::placement_hash:
          readString(planned.placement_hash);
          return;
      }
    });
  }

  void readSubjects(std::vector<SubjectResult>& subjects, SnapshotPlaces& places) {
    if (current() != '[') fail(at_, "expected array");
    ++at_;
    skipSpace();
    if (current() == ']') {
      ++at_;
      return;
    }
    for (;;) {
      if (current() != '{') fail(at_, "expected object");
      const char* const start = at_;
      if (subjects.empty()) {
        // The first subject's length sizes the vector, which then holds the subjects that follow
        // as they are read: clearing a subject to zero costs less than moving a finished one in.
        SubjectResult first;
        readSubject(first);
        reserveLike(subjects, start);
        subjects.push_back(std::move(first));
      } else {
        readSubject(subjects.emplace_back());
        if (!(subjects[subjects.size() - 2].id < subjects.back().id)) {
          fail(start, "subject ids not strictly ascending");
        }
      }
      placeCaptured(subjects, start, places);
      skipSpace();
      if (current() == ']') break;
      if (current() != ',') fail(at_, "expected ',' or ']'");
      ++at_;
      skipSpace();
    }
    ++at_;
  }

  /// Reserves room for as many more subjects as the rest of the text holds if they are as long
  /// as the first, so that the subjects are not moved as the vector grows; never more than twice
  /// the rest of the text in memory, so that a short first subject cannot make a hostile text
  /// reserve much more than it could fill.
  void reserveLike(std::vector<SubjectResult>& subjects, const char* start) const {
    const auto length = static_cast<std::size_t>(at_ - start);
    const auto rest = static_cast<std::size_t>(end_ - at_);
    subjects.reserve(1 + std::min(rest / length, 2 * rest / sizeof(SubjectResult)));
  }

  /// Notes the last subject read, at `start`, if it is the first captured one or the first whose
  /// system or epoch differs from the first captured one's.
  static void placeCaptured(const std::vector<SubjectResult>& subjects, const char* start,
                            SnapshotPlaces& places) {
    const SubjectResult& subject = subjects.back();
    if (!subject.observation || places.first_other) return;
    const CapturedPlace place{subjects.size() - 1, start};
    if (!places.first_captured) {
      places.first_captured = place;
      return;
    }
    const Observation& first = *subjects[places.first_captured->index].observation;
    if (subject.observation->epoch != first.epoch ||
        !detail::sameBytes(subject.observation->system_id, first.system_id)) {
      places.first_other = place;
    }
  }

  void readSubject(SubjectResult& subject) {
    if (const char* const end = CanonicalReader(at_, end_).read(subject)) {
      at_ = end;
      return;
    }
    subject = SubjectResult();
    const char* const open = at_;
    readObject<SubjectMember, kSubjectMembers>([&](SubjectMember member) {
      switch (member) {
        case SubjectMember::diagnostic:
          readString(subject.diagnostic);
          return;
        case SubjectMember::id:
          readString(subject.id);
          return;
        case SubjectMember::observation:
          readSection(subject.observation,
                      [this](Observation& observation) { readObservationObject(observation); });
          return;
        case SubjectMember::status:
          subject.status = readName<SubjectStatus>(kSubjectStatusNames, "unknown status name");
          return;
      }
    });
    if (const char* const fault = subjectFault(subject)) fail(open, fault);
  }

  /// The rules that tie subjects to the snapshot's own members, once all of them are read.
  void checkSnapshot(const RuntimeStateSnapshot& snapshot, const SnapshotPlaces& places) const {
    if (snapshot.epoch == 0) fail(places.epoch, "epoch must be non-zero");
    if (snapshot.barrier_sequence == 0) {
      fail(places.barrier_sequence, "barrier_sequence must be non-zero");
    }
    if (snapshot.system_id.empty()) fail(places.system_id, "system_id must not be empty");
    // The first captured subject that is not of the snapshot's system and epoch is the first
    // captured one, or else the first that differs from it.
    for (const auto& place : {places.first_captured, places.first_other}) {
      if (!place) continue;
      const Observation& observation = *snapshot.subjects[place->index].observation;
      if (!detail::sameBytes(observation.system_id, snapshot.system_id)) {
        fail(place->start, "observation of another system");
      }
      if (observation.epoch != snapshot.epoch) fail(place->start, "observation of another epoch");
    }
    const bool everyCaptured =
        std::all_of(snapshot.subjects.begin(), snapshot.subjects.end(),
                    [](const SubjectResult& subject) { return subject.observation.has_value(); });
    if (snapshot.status == SnapshotStatus::complete && !everyCaptured) {
      fail(places.status, "complete snapshot with a subject not captured");
    }
  }

  static const unsigned char* bytes(const char* at) noexcept {
    return reinterpret_cast<const unsigned char*>(at);
  }

  const char* begin_;
  const char* at_;
  const char* end_;
};

}  // namespace

DocumentError::DocumentError(std::size_t offset, const std::string& reason)
    : std::invalid_argument(errorMessage(offset, reason)), offset_(offset) {}

std::size_t DocumentError::offset() const noexcept {
  return offset_;
}

Observation readObservation(std::string_view document) {
  Reader reader(document);
  Observation record;
  reader.readObservation(record);
  reader.finish();
  return record;
}

RuntimeStateSnapshot readRuntimeState(std::string_view document) {
  Reader reader(document);
  RuntimeStateSnapshot snapshot;
  reader.readSnapshot(snapshot);
  reader.finish();
  return snapshot;
}

}  // namespace Quillon::Core::Monitoring
