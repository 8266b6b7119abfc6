#include <quillon/monitoring/canonical_json.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "byte_scan.hpp"
#include "json_text.hpp"

namespace Quillon::Core::Monitoring {
namespace {

/// What one input byte becomes inside a JSON string; eight bytes, so that a byte indexes it by a
/// shift and a whole entry is one store.
struct Escape {
  std::array<char, 7> text{};
  std::uint8_t size = 1;
};

constexpr std::array<Escape, 256> makeEscapes() {
  constexpr std::string_view hex = "0123456789abcdef";
  std::array<Escape, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    table[byte].text[0] = static_cast<char>(byte);
  }
  for (std::size_t byte = 0; byte < 0x20; ++byte) {
    table[byte] = Escape{{'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]}, 6};
  }
  table['"'] = Escape{{'\\', '"'}, 2};
  table['\\'] = Escape{{'\\', '\\'}, 2};
  table['\b'] = Escape{{'\\', 'b'}, 2};
  table['\t'] = Escape{{'\\', 't'}, 2};
  table['\n'] = Escape{{'\\', 'n'}, 2};
  table['\f'] = Escape{{'\\', 'f'}, 2};
  table['\r'] = Escape{{'\\', 'r'}, 2};
  return table;
}

constexpr std::array<Escape, 256> kEscapes = makeEscapes();
static_assert(sizeof(Escape) == 8);

char* writeByte(char* out, unsigned char byte) noexcept {
  const Escape& escape = kEscapes[byte];
  if (escape.size == 1) {
    *out = static_cast<char>(byte);
    return out + 1;
  }
  if (escape.size == 2) {
    std::memcpy(out, escape.text.data(), 2);
    return out + 2;
  }
  std::memcpy(out, escape.text.data(), 6);
  return out + 6;
}

using detail::BlockHits;
using detail::ByteBlock;
using detail::EscapedBytes;
using detail::kBlockSize;
using detail::kEveryByte;
using detail::kHighBits;
using detail::loadBlock;
using detail::storeBlock;

/// Up to this many escapes, a block is written run by run; beyond, byte by byte.
constexpr std::uint64_t kSparseEscapes = 6;

/// Room for a whole block of the longest escapes, each stored as a full entry (a sparse block
/// needs less).
constexpr std::ptrdiff_t kBlockRoom = kBlockSize * 6 + sizeof(Escape);

/// Stores the whole table entry of `byte` at `out`; returns the end of its text. The entry's
/// bytes past the text are overwritten by what follows.
char* writeEntry(char* out, unsigned char byte) noexcept {
  const Escape& escape = kEscapes[byte];
  std::memcpy(out, &escape, sizeof escape);
  return out + escape.size;
}

/// Writes the 16 bytes at `at` one table entry each.
char* writeDenseBlock(char* out, const unsigned char* at) noexcept {
  for (std::size_t offset = 0; offset < kBlockSize; ++offset)
    out = writeEntry(out, at[offset]);
  return out;
}

/// Writes a block of 16 bytes that holds few escapes, flagged by the high bit of their byte in
/// `low` (bytes 0 to 7) and `high` (8 to 15), with a few stores per escape instead of one per
/// byte: the block is copied whole, then each escape's entry is stored over its byte and
/// followed by the 16 bytes after it, read from the text; every store overwrites what the
/// earlier ones left past their place. Reads 32 bytes from `at`.
char* writeSparseBlock(char* out, const unsigned char* at, std::uint64_t low,
                       std::uint64_t high) noexcept {
  storeBlock(out, loadBlock(at));
  // Byte i of the block goes to out + i: every escape moves what follows by its length less one.
  const auto escapeAll = [&out, at](std::uint64_t hits, std::size_t first) {
    for (; hits != 0; hits &= hits - 1) {
      const std::size_t hit = first + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
      const Escape& escape = kEscapes[at[hit]];
      std::memcpy(out + hit, &escape, sizeof escape);
      out += escape.size - 1;
      storeBlock(out + hit + 1, loadBlock(at + hit + 1));
    }
  };
  escapeAll(low, 0);
  escapeAll(high, 8);
  return out + kBlockSize;
}

/// Writes [at, end) escaped at `out` for as long as the buffer, which ends at `limit`, keeps
/// room for a whole block of the longest escapes; moves `at` past the bytes written and returns
/// the end of the output. Clean blocks are copied whole, blocks with few escapes run by run,
/// the others byte by byte from the table.
char* writeWithRoom(char* out, const char* const limit, const unsigned char*& at,
                    const unsigned char* const end) noexcept {
  for (; limit - out >= kBlockRoom; at += kBlockSize) {
    if (end - at < static_cast<std::ptrdiff_t>(kBlockSize)) {
      for (; at != end; ++at)
        out = writeEntry(out, *at);
      return out;
    }
    if constexpr (std::endian::native == std::endian::little) {
      const ByteBlock block = loadBlock(at);
      const BlockHits hits(EscapedBytes::flags(block));
      if (!hits.any()) {
        storeBlock(out, block);
        out += kBlockSize;
        continue;
      }
      // Sparse blocks read on into the next block, which must be in the text.
      const std::uint64_t low = hits.low & kHighBits;
      const std::uint64_t high = hits.high & kHighBits;
      const auto escapes = (((low >> 7) + (high >> 7)) * kEveryByte) >> 56;
      if (escapes <= kSparseEscapes && end - at >= static_cast<std::ptrdiff_t>(2 * kBlockSize)) {
        out = writeSparseBlock(out, at, low, high);
        continue;
      }
    }
    out = writeDenseBlock(out, at);
  }
  return out;
}

/// Returns `text`, which needs no escape, between quotation marks.
std::string quoted(std::string_view text) {
  std::string result(text.size() + 2, '\0');
  result.front() = '"';
  detail::copyBytes(result.data() + 1, detail::bytesOf(text), text.size());
  result.back() = '"';
  return result;
}

/// Returns jsonString of [bytes, end), whose first escape is at bytes + clean. Out of line, so
/// that the clean case does not pay for its stack buffer. Text with escapes is written on the
/// stack as far as it fits, which spares measuring it first, and copied once into its result;
/// what does not fit is measured and written in place.
[[gnu::noinline]] std::string escapedString(const unsigned char* const bytes, std::size_t clean,
                                            const unsigned char* const end) {
  constexpr std::size_t kStackText = 4096;
  std::array<char, kStackText> scratch;
  char* out = scratch.data();
  *out++ = '"';
  const unsigned char* at = bytes;
  if (clean + 1 + static_cast<std::size_t>(kBlockRoom) <= kStackText) {
    detail::copyBytes(out, bytes, clean);
    out += clean;
    at += clean;
    out = writeWithRoom(out, scratch.data() + scratch.size(), at, end);
    if (at == end) {
      *out++ = '"';
      return std::string(scratch.data(), out);
    }
  }
  const auto written = static_cast<std::size_t>(out - scratch.data());
  std::string result(
      written + static_cast<std::size_t>(end - at) + detail::escapeGrowth(at, end) + 1, '\0');
  std::memcpy(result.data(), scratch.data(), written);
  out = detail::writeEscapedRest(result.data() + written, result.data() + result.size(), at, end);
  *out = '"';
  return result;
}

using detail::kPowersOfTen;

constexpr std::uint64_t kSmallest17Digits = kPowersOfTen[16];
constexpr std::uint64_t kPast17Digits = kPowersOfTen[16] * 10;

/// GCC and Clang have a 128-bit integer on the 64-bit targets this library builds for; one
/// multiplication then gives the whole product. __extension__ marks it as theirs, not standard
/// C++, which -Wpedantic accepts.
__extension__ using Wide = unsigned __int128;

/// Returns `significand` times ten to the `power` (0 to 21) times two to the `binaryExponent`,
/// rounded to an integer half to even, as the conversion rounds. The product takes at most 124
/// bits.
std::uint64_t scaleRounded(std::uint64_t significand, int power, int binaryExponent) noexcept {
  Wide product = Wide{significand} * kPowersOfTen[static_cast<std::size_t>(std::min(power, 19))];
  if (power > 19) product *= kPowersOfTen[static_cast<std::size_t>(power - 19)];
  if (binaryExponent >= 0) return static_cast<std::uint64_t>(product) << binaryExponent;
  const auto shift = static_cast<unsigned>(-binaryExponent);
  // Adding one less than a half carries what lies above a half into the integer; the lowest
  // kept bit carries an exact half only into an odd integer, which makes it even.
  const Wide lessThanHalf = (Wide{1} << (shift - 1)) - 1;
  const auto odd = static_cast<std::uint64_t>(product >> shift) & 1U;
  return static_cast<std::uint64_t>((product + lessThanHalf + odd) >> shift);
}

/// Returns the eight decimal digits of `value` (below 10^8) as byte values 0 to 9, the first
/// digit in the lowest byte: the divisions by 10^4, 10^2 and 10 run in all lanes of the word at
/// once, as multiplications by reciprocals that are exact for these ranges.
constexpr std::uint64_t eightDigits(std::uint64_t value) noexcept {
  const std::uint64_t quads = value / 10000 | (value % 10000) << 32;
  const std::uint64_t hundreds = (quads * 10486 >> 20) & 0x0000007F0000007FU;
  const std::uint64_t pairs = hundreds | (quads - hundreds * 100) << 16;
  const std::uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000FU;
  return tens | (pairs - tens * 10) << 8;
}

static_assert(eightDigits(12345678) == 0x0807060504030201U);
static_assert(eightDigits(99999999) == 0x0909090909090909U);

/// Writes the number text of a finite `value` whose 17-digit decimal exponent lies in [-4, 16],
/// the range in which the general format is plain notation, exactly as std::to_chars(general, 17)
/// does, at `out` (room for kNumberRoom bytes). Returns the end, or nullptr for a value outside
/// that range or subnormal, which is left to std::to_chars. Exact integer arithmetic, no tables of
/// powers of two: the value m * 2^e times 10^k fits 128 bits for every value handled here.
char* writePlain17(char* out, double value) noexcept {
  // The digits are assembled in little-endian words; elsewhere std::to_chars does it all.
  if constexpr (std::endian::native != std::endian::little) return nullptr;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  constexpr std::uint64_t kFractionBits = (std::uint64_t{1} << 52) - 1;
  const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
  char* at = out;
  if ((bits >> 63) != 0) *at++ = '-';
  if ((bits & ~(std::uint64_t{1} << 63)) == 0) {
    *at++ = '0';
    return at;
  }
  const int binaryExponent = biased - 1075;
  // Beyond [2^-17, 2^57) the decimal exponent is below -5 or above 16.
  if (biased == 0 || binaryExponent + 52 < -17 || binaryExponent + 52 > 56) return nullptr;
  const std::uint64_t significand = (bits & kFractionBits) | (kFractionBits + 1);

  // floor((e + 52) * log10(2)) for the value's lowest power of two: exact over this range, and
  // the value's own decimal exponent is that or one more.
  int exponent = ((binaryExponent + 52) * 78913) >> 18;
  std::uint64_t digits = scaleRounded(significand, 16 - exponent, binaryExponent);
  if (digits >= kPast17Digits) {
    // The exponent is one more than estimated, or the value rounds up to the next power of ten,
    // whose 17 digits rounded at the next exponent are 1 and sixteen zeros.
    ++exponent;
    if (exponent > 16) return nullptr;
    digits = scaleRounded(significand, 16 - exponent, binaryExponent);
  }
  if (digits < kSmallest17Digits) return nullptr;
  if (digits == kPast17Digits) {
    digits = kSmallest17Digits;
    ++exponent;
  }
  if (exponent < -4 || exponent > 16) return nullptr;

  // All 17 digits, then the count of those that stay once trailing zeros are dropped: a zero
  // digit is a zero byte, and the last digits are the highest bytes of their word.
  const std::uint64_t leading = digits / 100'000'000;
  const std::uint64_t middle = eightDigits(leading % 100'000'000);
  const std::uint64_t last = eightDigits(digits % 100'000'000);
  const auto zeroBytes = [](std::uint64_t word) {
    return static_cast<std::size_t>(std::countl_zero(word)) / 8;
  };
  const std::size_t kept = 17 - (last != 0 ? zeroBytes(last) : 8 + zeroBytes(middle));
  constexpr std::uint64_t kAsciiZeros = 0x3030303030303030U;
  const auto first = static_cast<char>('0' + leading / 100'000'000);
  const std::uint64_t middleText = middle + kAsciiZeros;
  const std::uint64_t lastText = last + kAsciiZeros;
  const auto writeDigits = [&](char* to) {
    to[0] = first;
    std::memcpy(to + 1, &middleText, 8);
    std::memcpy(to + 9, &lastText, 8);
  };

  // All 17 digits are stored in every case; only the end pointer depends on how many stay.
  if (exponent < 0) {
    const auto zeros = static_cast<std::size_t>(-exponent - 1);
    constexpr std::array<char, 5> kLeadingZeros{'0', '.', '0', '0', '0'};
    std::memcpy(at, kLeadingZeros.data(), kLeadingZeros.size());
    writeDigits(at + 2 + zeros);
    return at + 2 + zeros + kept;
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (kept <= whole) {
    writeDigits(at);
    return at + whole;
  }
  // A fraction after at least one whole digit: the digits after the point move one place on.
  std::array<char, 17 + 16> text{};
  writeDigits(text.data());
  std::memcpy(at, text.data(), 17);
  at[whole] = '.';
  std::memcpy(at + whole + 1, text.data() + whole, 16);
  return at + kept + 1;
}

}  // namespace

namespace detail {

char* writeNumber(char* out, double value) {
  // std::to_chars would write "inf" or "nan", which is not JSON: refuse rather than report success.
  if (!std::isfinite(value)) throw std::runtime_error("cannot serialize floating-point value");
  if (char* end = writePlain17(out, value)) return end;
  const auto result = std::to_chars(out, out + kNumberRoom, value, std::chars_format::general, 17);
  if (result.ec != std::errc{}) throw std::runtime_error("cannot serialize floating-point value");
  return result.ptr;
}

NumberText formatDouble(double value) {
  NumberText text;
  text.size = static_cast<std::size_t>(writeNumber(text.chars.data(), value) - text.chars.data());
  return text;
}

std::size_t escapeGrowth(const unsigned char* at, const unsigned char* const end) noexcept {
  std::size_t growth = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Per block: one byte more for every escape, four more for every \u00XX (a control byte
    // other than \b \t \n \f \r), counted in all sixteen lanes at once.
    const auto count = [](ByteBlock flags) {
      // One bit in each flagged byte, summed by a multiplication into the top byte (no popcount
      // instruction in the baseline x86-64 set).
      const BlockHits hits(flags);
      const std::uint64_t ones = ((hits.low & kHighBits) >> 7) + ((hits.high & kHighBits) >> 7);
      return static_cast<std::size_t>((ones * kEveryByte) >> 56);
    };
    for (; end - at >= static_cast<std::ptrdiff_t>(kBlockSize); at += kBlockSize) {
      const ByteBlock bytes = loadBlock(at);
      const ByteBlock escaped = EscapedBytes::flags(bytes);
      if (!BlockHits(escaped).any()) continue;
      const auto shortControl = static_cast<ByteBlock>(static_cast<ByteBlock>((bytes - 8) < 6) &
                                                       static_cast<ByteBlock>(bytes != 11));
      const auto unicode =
          static_cast<ByteBlock>(static_cast<ByteBlock>(bytes < 0x20) & ~shortControl);
      growth += count(escaped) + 4 * count(unicode);
    }
  }
  for (; at != end; ++at)
    growth += kEscapes[*at].size - 1U;
  return growth;
}

char* writeEscapedRest(char* out, const char* const limit, const unsigned char* at,
                       const unsigned char* const end) noexcept {
  out = writeWithRoom(out, limit, at, end);
  // Near the end of an exactly sized buffer: only the bytes each escape needs.
  for (; at != end; ++at)
    out = writeByte(out, *at);
  return out;
}

}  // namespace detail

std::string jsonString(std::string_view text) {
  const unsigned char* const bytes = detail::bytesOf(text);
  const std::size_t clean = detail::findFirst<detail::EscapedBytes>(bytes, text.size());
  // Both results are built in place: a named result beside a second return would be moved.
  return clean == text.size() ? quoted(text) : escapedString(bytes, clean, bytes + text.size());
}

std::string jsonDouble(double value) {
  const detail::NumberText text = detail::formatDouble(value);
  return std::string(text.view());
}

std::string jsonStringMap(const AttributeMap& map) {
  return detail::buildText([&map](auto sink) { return detail::emitStringMap(sink, map); });
}

}  // namespace Quillon::Core::Monitoring
