// Internal text machinery behind every writer of the library.
//
// A document is described once, as a template over a sink, and run twice: a SizeSink measures the
// exact byte count, then a WriteSink copies the bytes through a pointer into a string allocated
// once at that size. One description for both passes means the measure can never disagree with
// the bytes written, and the result allocates exactly what it holds.
#ifndef QUILLON_MONITORING_SRC_JSON_TEXT_HPP
#define QUILLON_MONITORING_SRC_JSON_TEXT_HPP

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <quillon/monitoring/observation.hpp>

namespace Quillon::Core::Monitoring::detail {

/// The text of one finite double: at most 24 characters ("-2.2250738585072014e-308").
struct NumberText {
  std::array<char, 32> chars{};
  std::size_t size = 0;

  [[nodiscard]] std::string_view view() const noexcept { return {chars.data(), size}; }
};

/// Formats `value` with 17 significant digits in general notation. Throws
/// std::runtime_error("cannot serialize floating-point value") for NaN or an infinity.
[[nodiscard]] NumberText formatDouble(double value);

/// Returns the byte count of jsonString(text), quotation marks included.
[[nodiscard]] std::size_t escapedSize(std::string_view text) noexcept;

/// Writes jsonString(text) at `out`, which has room for escapedSize(text) bytes; returns the end.
char* writeEscaped(char* out, std::string_view text) noexcept;

[[nodiscard]] constexpr std::size_t decimalSize(std::uint64_t value) noexcept {
  std::size_t digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

[[nodiscard]] constexpr std::size_t decimalSize(std::int64_t value) noexcept {
  // Negating in unsigned arithmetic keeps the most negative value defined.
  return value < 0 ? 1 + decimalSize(0 - static_cast<std::uint64_t>(value))
                   : decimalSize(static_cast<std::uint64_t>(value));
}

/// Counts the bytes that a document description would write.
class SizeSink {
 public:
  void raw(std::string_view text) noexcept { size_ += text.size(); }
  void quoted(std::string_view plain) noexcept { size_ += plain.size() + 2; }
  void string(std::string_view text) noexcept { size_ += escapedSize(text); }
  void decimal(std::uint64_t value) noexcept { size_ += decimalSize(value); }
  void decimal(std::int64_t value) noexcept { size_ += decimalSize(value); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  std::size_t size_ = 0;
};

/// Copies the bytes of a document description into a buffer measured by SizeSink.
class WriteSink {
 public:
  explicit WriteSink(char* out) noexcept : out_(out) {}

  void raw(std::string_view text) noexcept {
    std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }
  /// Writes text that needs no escaping (enumeration names) between quotation marks.
  void quoted(std::string_view plain) noexcept {
    *out_++ = '"';
    raw(plain);
    *out_++ = '"';
  }
  void string(std::string_view text) noexcept { out_ = writeEscaped(out_, text); }
  void decimal(std::uint64_t value) noexcept { decimalText(value); }
  void decimal(std::int64_t value) noexcept { decimalText(value); }

 private:
  template <typename Integer>
  void decimalText(Integer value) noexcept {
    // The measured size is exact, so the conversion always fits.
    out_ = std::to_chars(out_, out_ + decimalSize(value), value).ptr;
  }

  char* out_;
};

/// Writes `map` as an object of strings in its ascending key order.
template <typename Sink>
void emitStringMap(Sink& sink, const AttributeMap& map) {
  sink.raw("{");
  bool first = true;
  for (const auto& [key, value] : map) {
    if (!first) sink.raw(",");
    first = false;
    sink.string(key);
    sink.raw(":");
    sink.string(value);
  }
  sink.raw("}");
}

/// Runs `emit` once to measure and once to write; returns the text in one exact allocation.
template <typename Emit>
[[nodiscard]] std::string buildText(const Emit& emit) {
  SizeSink measure;
  emit(measure);
  std::string text(measure.size(), '\0');
  WriteSink writer(text.data());
  emit(writer);
  return text;
}

}  // namespace Quillon::Core::Monitoring::detail

#endif  // QUILLON_MONITORING_SRC_JSON_TEXT_HPP
