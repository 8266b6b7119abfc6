// Internal text machinery behind every writer of the library.
//
// A document is described once, as a template over a sink, and run twice: a SizeSink measures the
// exact byte count, then a WriteSink copies the bytes through a pointer into a string allocated
// once at that size. One description for both passes means the measure can never disagree with
// the bytes written, and the result allocates exactly what it holds. Both passes are cheap: a
// string is measured by scanning 16 bytes at a time, numbers by their bit length, and the clean
// text that makes up nearly every document is copied whole. A sink is a value passed in and
// returned: a sink behind a reference would have its position reloaded after every byte stored,
// as a char store may alias anything.
#ifndef QUILLON_MONITORING_SRC_JSON_TEXT_HPP
#define QUILLON_MONITORING_SRC_JSON_TEXT_HPP

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <quillon/monitoring/observation.hpp>

#include "byte_scan.hpp"

namespace Quillon::Core::Monitoring::detail {

/// The longest text of a finite double: "-2.2250738585072014e-308".
inline constexpr std::size_t kLongestNumber = 24;

/// The longest name of any enumeration value, "deadline_exceeded": documents bound their names
/// by it without looking them up (observation_test pins every name within it).
inline constexpr std::size_t kLongestName = 17;

/// The room that writeNumber needs: beyond kLongestNumber, it lets the formatter store digits in
/// fixed-size pieces.
inline constexpr std::size_t kNumberRoom = 40;

/// Writes `value` at `out`, which has room for kNumberRoom bytes, with 17 significant digits in
/// general notation, byte for byte as std::to_chars(general, 17), which it calls for values
/// outside the plain-notation range; returns the end. Throws
/// std::runtime_error("cannot serialize floating-point value") for NaN or an infinity.
char* writeNumber(char* out, double value);

/// The text of one finite double.
struct NumberText {
  std::array<char, kNumberRoom> chars;
  std::size_t size = 0;

  [[nodiscard]] std::string_view view() const noexcept { return {chars.data(), size}; }
};

/// Returns the text that writeNumber writes.
[[nodiscard]] NumberText formatDouble(double value);

/// Returns how many bytes the escapes in [at, end) add to the text.
[[nodiscard]] std::size_t escapeGrowth(const unsigned char* at, const unsigned char* end) noexcept;

/// Writes [at, end) escaped at `out`; returns the end of the output. The buffer ends at `limit`:
/// where there is room, an escape is stored as a whole table entry of eight bytes and a clean
/// run as whole blocks of 16, the bytes past them being overwritten by what follows.
char* writeEscapedRest(char* out, const char* limit, const unsigned char* at,
                       const unsigned char* end) noexcept;

[[nodiscard]] inline const unsigned char* bytesOf(std::string_view text) noexcept {
  return reinterpret_cast<const unsigned char*>(text.data());
}

/// Returns the byte count of jsonString(text), quotation marks included.
[[nodiscard]] inline std::size_t escapedSize(std::string_view text) noexcept {
  const unsigned char* const bytes = bytesOf(text);
  const std::size_t clean = findFirst<EscapedBytes>(bytes, text.size());
  const std::size_t size = text.size() + 2;
  return clean == text.size() ? size : size + escapeGrowth(bytes + clean, bytes + text.size());
}

/// Writes jsonString(text) at `out`, which has room for escapedSize(text) bytes in a buffer that
/// ends at `limit`; returns the end. A short clean text (an id, a name, most values) is tested
/// and copied from the same loads; otherwise the clean run before the first escape is copied
/// whole and the rest goes through the table.
inline char* writeEscaped(char* out, const char* limit, std::string_view text) noexcept {
  const unsigned char* const bytes = bytesOf(text);
  const std::size_t size = text.size();
  *out++ = '"';
  if constexpr (std::endian::native == std::endian::little) {
    using WordPair = std::uint64_t __attribute__((vector_size(16)));
    const auto clean = [](std::uint64_t first, std::uint64_t second) {
      return !BlockHits(EscapedBytes::flags(std::bit_cast<ByteBlock>(WordPair{first, second})))
                  .any();
    };
    if (size >= 8 && size <= kBlockSize) {
      const std::uint64_t head = loadWord(bytes);
      const std::uint64_t tail = loadWord(bytes + size - 8);
      if (clean(head, tail)) {
        std::memcpy(out, &head, 8);
        std::memcpy(out + size - 8, &tail, 8);
        out += size;
        *out++ = '"';
        return out;
      }
    } else if (size >= 4 && size < 8) {
      const std::uint32_t head = loadHalf(bytes);
      const std::uint32_t tail = loadHalf(bytes + size - 4);
      const std::uint64_t word = head | std::uint64_t{tail} << 32;
      if (clean(word, word)) {
        std::memcpy(out, &head, 4);
        std::memcpy(out + size - 4, &tail, 4);
        out += size;
        *out++ = '"';
        return out;
      }
    }
  }
  const std::size_t clean = findFirst<EscapedBytes>(bytes, size);
  copyBytes(out, bytes, clean);
  out += clean;
  if (clean != size) out = writeEscapedRest(out, limit, bytes + clean, bytes + size);
  *out++ = '"';
  return out;
}

inline constexpr std::array<std::uint64_t, 20> kPowersOfTen = [] {
  std::array<std::uint64_t, 20> powers{};
  std::uint64_t power = 1;
  for (std::uint64_t& entry : powers) {
    entry = power;
    power *= 10;
  }
  return powers;
}();

/// "00" to "99": numbers are written two digits at a time.
inline constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t value = 0; value < 100; ++value) {
    pairs[2 * value] = static_cast<char>('0' + value / 10);
    pairs[2 * value + 1] = static_cast<char>('0' + value % 10);
  }
  return pairs;
}();

[[nodiscard]] constexpr std::size_t decimalSize(std::uint64_t value) noexcept {
  // The bit length gives the digit count or one more (1233 / 4096 is just below log10(2)); one
  // comparison tells which. "| 1" makes zero a one-digit number.
  value |= 1;
  const auto estimate = static_cast<std::size_t>(std::bit_width(value)) * 1233 >> 12;
  return estimate + (value >= kPowersOfTen[estimate] ? 1 : 0);
}

/// Negating in unsigned arithmetic keeps the most negative value defined.
[[nodiscard]] constexpr std::uint64_t magnitude(std::int64_t value) noexcept {
  return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

[[nodiscard]] constexpr std::size_t decimalSize(std::int64_t value) noexcept {
  return (value < 0 ? 1 : 0) + decimalSize(magnitude(value));
}

/// Writes the `size` = decimalSize(value) digits of `value` at `out`, last digit first.
inline void writeDigits(char* out, std::uint64_t value, std::size_t size) noexcept {
  char* at = out + size;
  while (value >= 100) {
    at -= 2;
    std::memcpy(at, &kDigitPairs[2 * (value % 100)], 2);
    value /= 100;
  }
  if (value >= 10) {
    std::memcpy(at - 2, &kDigitPairs[2 * value], 2);
  } else {
    at[-1] = static_cast<char>('0' + value);
  }
}

/// Counts the bytes that a document description would write.
class SizeSink {
 public:
  void raw(std::string_view text) noexcept { size_ += text.size(); }
  void plain(std::string_view text) noexcept { size_ += text.size(); }
  void string(std::string_view text) noexcept { size_ += escapedSize(text); }
  void decimal(std::uint64_t value) noexcept { size_ += decimalSize(value); }
  void decimal(std::int64_t value) noexcept { size_ += decimalSize(value); }
  void number(double value) { size_ += formatDouble(value).size; }
  template <typename Enum>
  void name(Enum value) noexcept {
    size_ += toString(value).size();
  }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  std::size_t size_ = 0;
};

/// Bounds the bytes that a document description would write without reading any text: every
/// string byte as the longest escape, every number as its longest text.
class BoundSink {
 public:
  void raw(std::string_view text) noexcept { size_ += text.size(); }
  void plain(std::string_view text) noexcept { size_ += text.size(); }
  void string(std::string_view text) noexcept { size_ += 6 * text.size() + 2; }
  void decimal(std::uint64_t /*value*/) noexcept { size_ += 20; }
  void decimal(std::int64_t /*value*/) noexcept { size_ += 20; }
  void number(double /*value*/) noexcept { size_ += kLongestNumber; }
  /// An enumeration's name, bounded without looking it up: no name is longer than this.
  template <typename Enum>
  void name(Enum /*value*/) noexcept {
    size_ += kLongestName;
  }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  std::size_t size_ = 0;
};

/// Copies the bytes of a document description into a buffer, ending at `limit`, with room for
/// them.
class WriteSink {
 public:
  WriteSink(char* out, const char* limit) noexcept : out_(out), limit_(limit) {}

  /// Writes a constant fragment: its size is known where the call is inlined, so the copy is
  /// a few fixed-size moves.
  void raw(std::string_view text) noexcept {
    std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }
  /// Writes short text known at run time that needs no escaping (enumeration names, numbers).
  void plain(std::string_view text) noexcept {
    copyBytes(out_, bytesOf(text), text.size());
    out_ += text.size();
  }
  void string(std::string_view text) noexcept { out_ = writeEscaped(out_, limit_, text); }
  void decimal(std::uint64_t value) noexcept {
    const std::size_t size = decimalSize(value);
    writeDigits(out_, value, size);
    out_ += size;
  }
  void decimal(std::int64_t value) noexcept {
    if (value < 0) *out_++ = '-';
    decimal(magnitude(value));
  }
  /// Writes a number in place where the buffer has room for the formatter's wide stores.
  void number(double value) {
    if (limit_ - out_ >= static_cast<std::ptrdiff_t>(kNumberRoom)) {
      out_ = writeNumber(out_, value);
      return;
    }
    plain(formatDouble(value).view());
  }
  template <typename Enum>
  void name(Enum value) noexcept {
    plain(toString(value));
  }
  [[nodiscard]] const char* position() const noexcept { return out_; }

 private:
  char* out_;
  const char* limit_;
};

/// Writes a non-empty `map` as an object of strings in its ascending key order. Kept out of line
/// so that emitStringMap stays small enough to be inlined.
template <typename Sink>
[[nodiscard, gnu::noinline]] Sink emitEntries(Sink sink, const AttributeMap& map) {
  char separator = '{';
  for (const auto& [key, value] : map) {
    sink.raw(std::string_view(&separator, 1));
    separator = ',';
    sink.string(key);
    sink.raw(":");
    sink.string(value);
  }
  sink.raw("}");
  return sink;
}

/// Writes `map` as an object of strings in its ascending key order. Most maps are empty: that
/// case stays inline.
template <typename Sink>
[[nodiscard]] Sink emitStringMap(Sink sink, const AttributeMap& map) {
  if (map.empty()) {
    sink.raw("{}");
    return sink;
  }
  return emitEntries(sink, map);
}

/// Runs `emit` (a sink in, the sink after the document out) to write the text; returns it in one
/// exact allocation. A text that surely fits a buffer on the stack is written there and copied
/// once into the result, a pass cheaper than measuring it; a longer one is measured exactly and
/// written in place.
template <typename Emit>
[[nodiscard]] std::string buildText(const Emit& emit) {
  constexpr std::size_t kStackText = 4096;
  if (emit(BoundSink{}).size() <= kStackText) {
    std::array<char, kStackText> scratch;
    const char* const end =
        emit(WriteSink(scratch.data(), scratch.data() + scratch.size())).position();
    return std::string(scratch.data(), static_cast<std::size_t>(end - scratch.data()));
  }
  std::string text(emit(SizeSink{}).size(), '\0');
  (void)emit(WriteSink(text.data(), text.data() + text.size()));
  return text;
}

}  // namespace Quillon::Core::Monitoring::detail

#endif  // QUILLON_MONITORING_SRC_JSON_TEXT_HPP
