#include "request_parsing.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

namespace Quillon::Core::Monitoring {

std::optional<std::chrono::nanoseconds> parseDuration(std::string_view text) {
  std::uint64_t amount = 0;
  const char* const end = text.data() + text.size();
  const auto [unit, error] = std::from_chars(text.data(), end, amount);
  if (error != std::errc{} || amount == 0) return std::nullopt;
  const std::string_view suffix(unit, static_cast<std::size_t>(end - unit));
  std::uint64_t scale = 0;
  if (suffix == "ms") scale = 1'000'000;
  if (suffix == "s") scale = 1'000'000'000;
  if (suffix == "m") scale = 60'000'000'000;
  // A duration beyond a signed 64-bit count of nanoseconds (292 years) is no duration we keep.
  if (scale == 0 ||
      amount > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / scale) {
    return std::nullopt;
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(amount * scale));
}

namespace Http {

namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

/// The bytes `text` percent-encodes, or nothing when a "%" is not followed by two hex digits.
std::optional<std::string> percentDecoded(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '%') {
      bytes += text[at];
      continue;
    }
    const int high = at + 2 < text.size() ? hexValue(text[at + 1]) : -1;
    const int low = high < 0 ? -1 : hexValue(text[at + 2]);
    if (low < 0) return std::nullopt;
    bytes += static_cast<char>(high * 16 + low);
    at += 2;
  }
  return bytes;
}

/// `bytes` quoted for a one-line message: printable ASCII as it is, every other byte as %XX.
std::string quoted(std::string_view bytes) {
  std::string text = "\"";
  for (const char byte : bytes) {
    const auto code = static_cast<unsigned char>(byte);
    if (code >= 0x20 && code < 0x7F && byte != '%' && byte != '"') {
      text += byte;
    } else {
      text += '%';
      text += kHexDigits[code >> 4U];
      text += kHexDigits[code & 0xFU];
    }
  }
  return text + '"';
}

/// Stores the whole of `text` as a decimal of type T in `slot`; false when it is anything else.
template <typename T>
bool storeDecimal(std::string_view text, std::optional<T>& slot) {
  T value{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || stop != end) return false;
  slot = value;
  return true;
}

/// Stores one known parameter; returns the reason when its value is refused.
std::string storeParameter(std::string_view name, std::string_view value, BarrierRequest& request) {
  const std::string refused = "parameter " + quoted(name) + ": expected ";
  if (name == "epoch" || name == "barrier_sequence") {
    std::optional<std::uint64_t>& slot = name == "epoch" ? request.epoch : request.barrier_sequence;
    if (!storeDecimal(value, slot) || *slot == 0) {
      return refused + "a decimal from 1 to 18446744073709551615";
    }
    return {};
  }
  if (name == "logical_time") {
    if (!storeDecimal(value, request.logical_time)) {
      return refused + "a decimal from -9223372036854775808 to 9223372036854775807";
    }
    return {};
  }
  const std::optional<std::chrono::nanoseconds> budget = parseDuration(value);
  if (!budget) return refused + "a positive duration such as 250ms, 2s or 1m";
  request.budget_ns = static_cast<std::uint64_t>(budget->count());
  return {};
}

bool isGiven(std::string_view name, const BarrierRequest& request) {
  if (name == "epoch") return request.epoch.has_value();
  if (name == "barrier_sequence") return request.barrier_sequence.has_value();
  if (name == "logical_time") return request.logical_time.has_value();
  return request.budget_ns.has_value();
}

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char letter =
        text[at] >= 'A' && text[at] <= 'Z' ? static_cast<char>(text[at] + 32) : text[at];
    if (letter != lower[at]) return false;
  }
  return true;
}

/// The weight of a "q" value in thousandths ("0.5" is 500); 0 when it is malformed.
int weightOf(std::string_view value) {
  if (value.empty() || value.size() > 5 || (value[0] != '0' && value[0] != '1') ||
      (value.size() > 1 && value[1] != '.')) {
    return 0;
  }
  int weight = (value[0] - '0') * 1000;
  for (std::size_t at = 2, scale = 100; at < value.size(); ++at, scale /= 10) {
    if (value[at] < '0' || value[at] > '9') return 0;
    weight += (value[at] - '0') * static_cast<int>(scale);
  }
  return weight > 1000 ? 0 : weight;
}

/// Calls `visit(token, weight)` for each element of a comma-separated list of tokens with
/// parameters, such as Accept or Accept-Encoding; the weight is the "q" parameter in thousandths,
/// 1000 when there is none.
template <typename Visit>
void forEachWeighted(std::string_view list, Visit visit) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view element = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    std::size_t semicolon = element.find(';');
    const std::string_view token = trimmed(element.substr(0, semicolon));
    int weight = 1000;
    while (semicolon != std::string_view::npos) {
      element = element.substr(semicolon + 1);
      semicolon = element.find(';');
      const std::string_view parameter = trimmed(element.substr(0, semicolon));
      if (parameter.size() >= 2 && (parameter[0] == 'q' || parameter[0] == 'Q') &&
          parameter[1] == '=') {
        weight = weightOf(parameter.substr(2));
      }
    }
    if (!token.empty()) visit(token, weight);
  }
}

}  // namespace

ParsedQuery parseQuery(std::string_view query) {
  ParsedQuery parsed;
  while (!query.empty()) {
    const std::size_t ampersand = query.find('&');
    const std::string_view pair = query.substr(0, ampersand);
    query = ampersand == std::string_view::npos ? std::string_view() : query.substr(ampersand + 1);
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    const std::optional<std::string> name = percentDecoded(pair.substr(0, equals));
    const std::optional<std::string> value = percentDecoded(
        equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
    if (!name || !value) {
      parsed.error = "malformed percent-encoding in the query";
      return parsed;
    }
    if (*name != "epoch" && *name != "barrier_sequence" && *name != "logical_time" &&
        *name != "budget") {
      parsed.error = "unknown parameter " + quoted(*name);
      return parsed;
    }
    if (isGiven(*name, parsed.request)) {
      parsed.error = "parameter " + quoted(*name) + " given more than once";
      return parsed;
    }
    parsed.error = storeParameter(*name, *value, parsed.request);
    if (!parsed.error.empty()) return parsed;
  }
  return parsed;
}

std::optional<Endpoint> parseEndpoint(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  Endpoint endpoint{std::string(host), 0};
  const std::string_view port = text.substr(colon + 1);
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), endpoint.port);
  if (host.empty() || port.empty() || error != std::errc{} || end != port.data() + port.size()) {
    return std::nullopt;
  }
  return endpoint;
}

bool prefersOpenMetrics(std::string_view accept) {
  int openmetrics = 0;
  int text = 0;
  forEachWeighted(accept, [&](std::string_view type, int weight) {
    if (equalsIgnoringCase(type, "application/openmetrics-text")) {
      openmetrics = std::max(openmetrics, weight);
    } else if (equalsIgnoringCase(type, "text/plain") || type == "text/*" || type == "*/*") {
      text = std::max(text, weight);
    }
  });
  return openmetrics > 0 && openmetrics >= text;
}

bool acceptsGzip(std::string_view accept_encoding) {
  // A coding named outright decides over "*", whichever comes first.
  std::optional<int> gzip;
  int any = 0;
  forEachWeighted(accept_encoding, [&](std::string_view coding, int weight) {
    if (equalsIgnoringCase(coding, "gzip") || equalsIgnoringCase(coding, "x-gzip")) {
      gzip = std::max(gzip.value_or(0), weight);
    } else if (coding == "*") {
      any = std::max(any, weight);
    }
  });
  return gzip.value_or(any) > 0;
}

}  // namespace Http
}  // namespace Quillon::Core::Monitoring
