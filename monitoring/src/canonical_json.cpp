#include <quillon/monitoring/canonical_json.hpp>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "json_text.hpp"

namespace Quillon::Core::Monitoring {
namespace {

/// What one input byte becomes inside a JSON string.
struct Escape {
  std::array<char, 6> text{};
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

constexpr std::uint64_t kEveryByte = 0x0101010101010101U;
constexpr std::uint64_t kHighBits = 0x8080808080808080U;

/// Flags the bytes of a little-endian word that need escaping. Borrows can flag bytes above a
/// true hit, never below one, so only the lowest flag is exact.
constexpr std::uint64_t escapeFlags(std::uint64_t word) noexcept {
  const std::uint64_t quote = word ^ (kEveryByte * '"');
  const std::uint64_t backslash = word ^ (kEveryByte * '\\');
  const std::uint64_t control = (word - kEveryByte * 0x20) & ~word;
  return (((quote - kEveryByte) & ~quote) | ((backslash - kEveryByte) & ~backslash) | control) &
         kHighBits;
}

/// Returns the first byte in [p, end) that needs escaping, or end.
const unsigned char* findEscape(const unsigned char* p, const unsigned char* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, p, sizeof word);
      if (const std::uint64_t flags = escapeFlags(word); flags != 0) {
        return p + (std::countr_zero(flags) >> 3);
      }
      p += 8;
    }
  }
  while (p != end && kEscapes[*p].size == 1)
    ++p;
  return p;
}

const unsigned char* bytesOf(std::string_view text) noexcept {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

namespace detail {

NumberText formatDouble(double value) {
  // std::to_chars would write "inf" or "nan", which is not JSON: refuse rather than report success.
  if (!std::isfinite(value)) throw std::runtime_error("cannot serialize floating-point value");
  NumberText text;
  const auto result = std::to_chars(text.chars.data(), text.chars.data() + text.chars.size(), value,
                                    std::chars_format::general, 17);
  if (result.ec != std::errc{}) throw std::runtime_error("cannot serialize floating-point value");
  text.size = static_cast<std::size_t>(result.ptr - text.chars.data());
  return text;
}

std::size_t escapedSize(std::string_view text) noexcept {
  std::size_t size = text.size() + 2;
  const unsigned char* p = bytesOf(text);
  const unsigned char* const end = p + text.size();
  while ((p = findEscape(p, end)) != end) {
    size += kEscapes[*p].size - 1U;
    ++p;
  }
  return size;
}

char* writeEscaped(char* out, std::string_view text) noexcept {
  *out++ = '"';
  const unsigned char* p = bytesOf(text);
  const unsigned char* const end = p + text.size();
  for (;;) {
    const unsigned char* const clean = findEscape(p, end);
    // An empty view may have a null data pointer, which memcpy must never see.
    if (const auto run = static_cast<std::size_t>(clean - p); run != 0) {
      std::memcpy(out, p, run);
      out += run;
    }
    if (clean == end) break;
    const Escape& escape = kEscapes[*clean];
    std::memcpy(out, escape.text.data(), escape.size);
    out += escape.size;
    p = clean + 1;
  }
  *out++ = '"';
  return out;
}

}  // namespace detail

std::string jsonString(std::string_view text) {
  return detail::buildText([text](auto& sink) { sink.string(text); });
}

std::string jsonDouble(double value) {
  const detail::NumberText text = detail::formatDouble(value);
  return std::string(text.view());
}

std::string jsonStringMap(const AttributeMap& map) {
  return detail::buildText([&map](auto& sink) { detail::emitStringMap(sink, map); });
}

}  // namespace Quillon::Core::Monitoring
