// A scrape of a 10,000-subject snapshot through the HTTP exporter, end to end over loopback with
// gzip, side by side with its floor: the same capture, toOpenMetrics and gzip in-process.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <quillon/monitoring/http_exporter.hpp>
#include <quillon/monitoring/openmetrics.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "gzip.hpp"
#include "race.hpp"
#include "records.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;

constexpr std::size_t kSubjects = 10'000;

/// A barrier over copying probes, an exporter on a free loopback port capturing it, and a client
/// that keeps its connection and asks what Prometheus asks: OpenMetrics, gzip-compressed.
struct ServedScrape {
  explicit ServedScrape(std::size_t count)
      : observations(engineObservations(count)),
        barrier(copyingProbes(observations), qm::defaultClock),
        exporter({"127.0.0.1:0", ""}, [this](const qm::BarrierRequest&) { return capture(); }),
        client("127.0.0.1", exporter.port()) {
    client.set_keep_alive(true);
    client.set_decompress(false);
  }

  [[nodiscard]] qm::RuntimeStateSnapshot capture() const {
    return barrier.capture("lab", 4, 1, 100, std::numeric_limits<std::uint64_t>::max());
  }

  /// The body of one scrape, still compressed; empty when the scrape failed.
  [[nodiscard]] std::string scrape() {
    const httplib::Result result = client.Get(
        "/metrics", {{"Accept", "application/openmetrics-text"}, {"Accept-Encoding", "gzip"}});
    return result && result->status == 200 ? result->body : std::string();
  }

  /// What a scrape answers, made in this thread.
  [[nodiscard]] std::string inProcess() const {
    return qm::Http::gzipped(qm::toOpenMetrics(capture()));
  }

  std::vector<qm::Observation> observations;
  qm::SnapshotBarrier barrier;
  qm::HttpExporter exporter;
  httplib::Client client;
};

void scrapeCase(benchmark::State& state) {
  ServedScrape served(kSubjects);
  // The exposition holds no clock reading and zlib is deterministic: both give the same bytes.
  const std::string body = served.scrape();
  if (body.empty() || body != served.inProcess()) {
    state.SkipWithError("the scrape does not answer the in-process bytes");
    return;
  }
  state.counters["gzip_bytes"] = static_cast<double>(body.size());
  Race(state, repeat([&] { benchmark::DoNotOptimize(served.scrape()); }),
       static_cast<double>(kSubjects))
      .floor("capture_text_gzip", repeat([&] { benchmark::DoNotOptimize(served.inProcess()); }))
      .run();
}

/// Times one contender of the race above on its own.
template <typename Op>
void aloneCase(benchmark::State& state, Op op) {
  ServedScrape served(kSubjects);
  for (auto _ : state)
    benchmark::DoNotOptimize(op(served));
  state.counters["ns_per_subject"] = benchmark::Counter(
      static_cast<double>(kSubjects),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

void registerExporterBenchmarks() {
  benchmark::RegisterBenchmark("scrape/10000subjects_gzip", scrapeCase)->UseRealTime();
  benchmark::RegisterBenchmark("alone/scrape", [](benchmark::State& state) {
    aloneCase(state, [](ServedScrape& served) { return served.scrape(); });
  })->UseRealTime();
  benchmark::RegisterBenchmark("alone/capture_text_gzip", [](benchmark::State& state) {
    aloneCase(state, [](ServedScrape& served) { return served.inProcess(); });
  })->UseRealTime();
}

}  // namespace Quillon::Bench
