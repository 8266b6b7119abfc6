// Runs every benchmark and fails the process when any of them aborted, so that a peer that no
// longer writes the bytes it is compared with breaks the build's gate instead of a table.
#include <cstddef>
#include <vector>

#include <benchmark/benchmark.h>

namespace Quillon::Bench {

void registerTextBenchmarks();
void registerDocumentBenchmarks();
void registerCaptureBenchmarks();
void registerReaderBenchmarks();
void registerViewBenchmarks();
void registerHostProbeBenchmarks();
void registerExporterBenchmarks();
void registerComposeBenchmarks();
void registerGatherBenchmarks();

namespace {

/// Shows runs through the reporter that the command line chose and counts the aborted ones.
class AbortCountingReporter : public benchmark::BenchmarkReporter {
 public:
  explicit AbortCountingReporter(benchmark::BenchmarkReporter& display) : display_(display) {}

  bool ReportContext(const Context& context) override { return display_.ReportContext(context); }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) ++aborted_;
    }
    display_.ReportRuns(runs);
  }

  void Finalize() override { display_.Finalize(); }

  [[nodiscard]] std::size_t aborted() const noexcept { return aborted_; }

 private:
  benchmark::BenchmarkReporter& display_;
  std::size_t aborted_ = 0;
};

}  // namespace
}  // namespace Quillon::Bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Quillon::Bench::registerTextBenchmarks();
  Quillon::Bench::registerDocumentBenchmarks();
  Quillon::Bench::registerCaptureBenchmarks();
  Quillon::Bench::registerReaderBenchmarks();
  Quillon::Bench::registerViewBenchmarks();
  Quillon::Bench::registerHostProbeBenchmarks();
  Quillon::Bench::registerExporterBenchmarks();
  Quillon::Bench::registerComposeBenchmarks();
  Quillon::Bench::registerGatherBenchmarks();
  Quillon::Bench::AbortCountingReporter reporter(*benchmark::CreateDefaultDisplayReporter());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.aborted() == 0 ? 0 : 1;
}
