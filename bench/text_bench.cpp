// jsonString and jsonDouble side by side with what they cannot beat (building a string of the
// same bytes, copying the input, a bare std::to_chars) and with RapidJSON's string writer.
#include <charconv>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <quillon/monitoring/canonical_json.hpp>

#include "peers.hpp"
#include "race.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;

/// `size` bytes of printable ASCII that need no escaping.
std::string cleanText(std::size_t size) {
  constexpr std::string_view alphabet =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:";
  std::string text;
  for (std::size_t at = 0; at < size; ++at)
    text.push_back(alphabet[at % alphabet.size()]);
  return text;
}

/// `size` bytes in which every 4th byte needs escaping. Only bytes whose escapes RapidJSON
/// writes as we do: it writes \u00XX in upper-case hex, so no control byte with a letter digit.
std::string escapeHeavyText(std::size_t size) {
  constexpr std::string_view escaped = "\"\\\n\t\b\f\r\x01\x10\x19";
  std::string text = cleanText(size);
  for (std::size_t at = 3; at < size; at += 4)
    text[at] = escaped[(at / 4) % escaped.size()];
  return text;
}

void jsonStringCase(benchmark::State& state, const std::string& text) {
  const std::string expected = byteAtATimeJsonString(text);
  if (!sameBytes(state, "jsonString", qm::jsonString(text), expected)) return;

  using Writer = rapidjson::Writer<rapidjson::StringBuffer>;
  if (!sameBytes(state, "rapidjson", rapidjsonString<rapidjson::StringBuffer, Writer>(text),
                 expected) ||
      !sameBytes(state, "rapidjson_sse2", rapidjsonSse2String(text), expected)) {
    return;
  }
  std::vector<char> copy(text.size() + 1);

  Race(state, repeat([&] { benchmark::DoNotOptimize(qm::jsonString(text)); }))
      .floor("string", repeat([&] { benchmark::DoNotOptimize(std::string(expected)); }))
      .floor("memcpy", repeat([&] {
               std::memcpy(copy.data(), text.data(), text.size());
               benchmark::DoNotOptimize(copy.data());
               benchmark::ClobberMemory();
             }))
      .peer("rapidjson", rapidjsonStringLoop<rapidjson::StringBuffer, Writer>(text))
      .peer("rapidjson_sse2", rapidjsonSse2StringLoop(text))
      .peer("byte_loop", repeat([&] { benchmark::DoNotOptimize(byteAtATimeJsonString(text)); }))
      .run();
}

/// Cycles through `values` (a power-of-two count) so that no conversion can be folded away.
void jsonDoubleCase(benchmark::State& state, const std::vector<double>& values) {
  const std::size_t mask = values.size() - 1;
  for (const double value : values) {
    char text[64];
    const auto end = std::to_chars(text, text + 64, value, std::chars_format::general, 17);
    if (!sameBytes(state, "jsonDouble", qm::jsonDouble(value),
                   std::string_view(text, static_cast<std::size_t>(end.ptr - text)))) {
      return;
    }
  }
  auto next = [&values, mask, at = std::size_t{0}]() mutable {
    double value = values[at];
    at = (at + 1) & mask;
    benchmark::DoNotOptimize(value);
    return value;
  };
  Race(state, repeat([next]() mutable { benchmark::DoNotOptimize(qm::jsonDouble(next())); }))
      .floor("to_chars", repeat([next]() mutable {
               char text[64];
               const auto end =
                   std::to_chars(text, text + 64, next(), std::chars_format::general, 17);
               benchmark::DoNotOptimize(text);
               benchmark::DoNotOptimize(end.ptr);
             }))
      .floor("to_chars_string", repeat([next]() mutable {
               char text[64];
               const auto end =
                   std::to_chars(text, text + 64, next(), std::chars_format::general, 17);
               benchmark::DoNotOptimize(std::string(text, end.ptr));
             }))
      .run();
}

std::vector<double> randomUnitValues() {
  std::mt19937_64 generator(20240605);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> values(1024);
  for (double& value : values)
    value = unit(generator);
  return values;
}

}  // namespace

void registerTextBenchmarks() {
  const auto strings = [](const char* name, std::string text) {
    benchmark::RegisterBenchmark(
        name, [text = std::move(text)](benchmark::State& state) { jsonStringCase(state, text); });
  };
  strings("jsonString/clean16", cleanText(16));
  strings("jsonString/clean64", cleanText(64));
  strings("jsonString/clean1KiB", cleanText(1024));
  strings("jsonString/escapeHeavy1KiB", escapeHeavyText(1024));
  strings("jsonString/id11", "transformer");

  const auto doubles = [](const char* name, std::vector<double> values) {
    benchmark::RegisterBenchmark(name, [values = std::move(values)](benchmark::State& state) {
      jsonDoubleCase(state, values);
    });
  };
  doubles("jsonDouble/0.2", {0.2});
  doubles("jsonDouble/0.25", {0.25});
  doubles("jsonDouble/1.0", {1.0});
  doubles("jsonDouble/random01", randomUnitValues());
}

}  // namespace Quillon::Bench
