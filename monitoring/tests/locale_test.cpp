// Documents never depend on the locale: with the global C++ and C locales set to one that writes a
// decimal comma, every writer still gives the bytes it gives in the C locale. scripts/test
// generates de_DE.UTF-8 when the machine lacks it.
#include <gtest/gtest.h>

#include <quillon/monitoring/canonical_json.hpp>
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <locale>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "example_records.hpp"

namespace {

using namespace Quillon::Core::Monitoring;
using Quillon::Core::Monitoring::testing::engineExample;

/// Sets the global C++ locale, and with it the C locale, for the lifetime of the object.
class GlobalLocale {
 public:
  explicit GlobalLocale(const std::locale& locale) : previous_(std::locale::global(locale)) {}
  ~GlobalLocale() { std::locale::global(previous_); }
  GlobalLocale(const GlobalLocale&) = delete;
  GlobalLocale& operator=(const GlobalLocale&) = delete;

 private:
  std::locale previous_;
};

std::optional<std::locale> decimalCommaLocale() {
  try {
    return std::locale("de_DE.UTF-8");
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

RuntimeStateSnapshot capturedSnapshot() {
  std::vector<SnapshotProbe> probes;
  probes.push_back(
      {"engine:gpu-0/transformer", true, [] { return std::optional(engineExample(0.1)); }});
  probes.push_back({"device:host/gpu-0", true, [] { return std::optional<Observation>(); }});
  std::uint64_t now = 1'000'000;
  const SnapshotBarrier barrier(std::move(probes), [&now] { return now++; });
  return barrier.capture("lab", 4, 9, -1, 1'000'000'000'000);
}

TEST(Locale, DocumentsIgnoreADecimalCommaLocale) {
  const std::optional<std::locale> german = decimalCommaLocale();
  if (!german) GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/test generates it)";

  std::vector<double> values = {0.1, -0.0, 0.25, 1e17, 0.00012, 2.5e-308, 123456.789};
  std::mt19937_64 random(7);
  for (int draw = 0; draw < 1000; ++draw) {
    values.push_back(std::uniform_real_distribution<double>(-1e6, 1e6)(random));
  }
  std::vector<std::string> texts;
  for (const double value : values)
    texts.push_back(jsonDouble(value));

  const GlobalLocale scope(*german);
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 0.5);
  ASSERT_STREQ("0,5", probe) << "the C locale does not write a decimal comma";
  ASSERT_EQ(',', std::use_facet<std::numpunct<char>>(std::locale()).decimal_point());

  for (std::size_t at = 0; at < values.size(); ++at) {
    SCOPED_TRACE(texts[at]);
    EXPECT_EQ(texts[at], jsonDouble(values[at]));
  }
  EXPECT_EQ(
      R"({"declared":{"attributes":{"precision":"fp16"},"config_hash":"cfg-7","type":"inference"},"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{"batch":"8","queue":"3"},"health":"degraded","last_observed_ns":990,"lifecycle":"running","pressure":0.25,"ready":false},"observed_at_ns":1000,"planned":{"attributes":{},"device_id":null,"host_id":"host","placement_hash":"plan-3"},"schema":"velmor-observability/1","sequence":2,"system_id":"lab"})",
      engineExample().toCanonicalJson());
  EXPECT_EQ(
      R"({"barrier_sequence":9,"captured_at_ns":1000004,"deadline_ns":1000001000000,"epoch":4,"logical_time":-1,"schema":"velmor-runtime-state/1","status":"partial","subjects":[{"diagnostic":"probe returned no observation","id":"device:host/gpu-0","observation":null,"status":"missing"},{"diagnostic":"","id":"engine:gpu-0/transformer","observation":{"declared":{"attributes":{"precision":"fp16"},"config_hash":"cfg-7","type":"inference"},"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{"batch":"8","queue":"3"},"health":"degraded","last_observed_ns":990,"lifecycle":"running","pressure":0.10000000000000001,"ready":false},"observed_at_ns":1000,"planned":{"attributes":{},"device_id":null,"host_id":"host","placement_hash":"plan-3"},"schema":"velmor-observability/1","sequence":2,"system_id":"lab"},"status":"captured"}],"system_id":"lab"})",
      capturedSnapshot().toCanonicalJson());
}

}  // namespace
