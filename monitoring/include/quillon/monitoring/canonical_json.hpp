// Writers of canonical JSON text: strings, floating-point numbers and string maps.
//
// Guarantees: one value has exactly one text. Strings are taken byte for byte (nothing decodes or
// validates UTF-8); only the quotation mark, the reverse solidus and bytes below 0x20 are escaped.
// Numbers never depend on the locale and never go through streams. Integers are written in plain
// decimal, the text std::to_string gives: digits only, a leading "-" for negative signed values.
#ifndef QUILLON_MONITORING_CANONICAL_JSON_HPP
#define QUILLON_MONITORING_CANONICAL_JSON_HPP

#include <string>
#include <string_view>

#include <quillon/monitoring/observation.hpp>

namespace Quillon::Core::Monitoring {

/// Returns `text` between quotation marks with `"` and `\` escaped by a reverse solidus, 0x08,
/// 0x09, 0x0A, 0x0C and 0x0D as \b \t \n \f \r, other bytes below 0x20 as \u00xx (lower-case hex),
/// every other byte unchanged. The view's length ends the text, not a NUL byte. Only
/// std::bad_alloc escapes. Example: jsonString("a\tb") == R"("a\tb")"
[[nodiscard]] std::string jsonString(std::string_view text);

/// Returns `value` as JSON number text with 17 significant digits (std::to_chars, general
/// format): plain notation for decimal exponents -4 to 16, else "1e+17" style; "-0" for negative
/// zero. Throws std::runtime_error("cannot serialize floating-point value") for NaN or an
/// infinity. Pure. Example: jsonDouble(0.1) == "0.10000000000000001"
[[nodiscard]] std::string jsonDouble(double value);

/// Returns `map` as a JSON object of strings in the map's ascending key order; "{}" when empty.
/// Only std::bad_alloc escapes. Example: {"b":"2","a":"1"} gives {"a":"1","b":"2"}
[[nodiscard]] std::string jsonStringMap(const AttributeMap& map);

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_CANONICAL_JSON_HPP
