// quillon-state gather: the parts of a system asked over HTTP for one barrier at once, and their
// answers composed into the system's runtime-state document.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <quillon/monitoring/compose.hpp>
#include <quillon/monitoring/http_gather.hpp>
#include <quillon/monitoring/observation.hpp>

#include "commands.hpp"
#include "line_input.hpp"
#include "part_options.hpp"

namespace Quillon::Tools::State {

namespace {

namespace qm = Core::Monitoring;

struct GatherOptions {
  std::vector<std::string> parts;
  std::string system_id;
  std::uint64_t epoch = 1;
  std::optional<std::uint64_t> barrier_sequence;
  std::int64_t logical_time = 0;
  std::string budget = "1s";
  std::string web_config;
};

/// The barrier sequence of a gather that names none: milliseconds since 1970, so that the
/// documents of successive gathers ascend as a log must.
std::uint64_t wallClockSequence() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

int runGather(const GatherOptions& options) {
  const std::optional<std::chrono::nanoseconds> budget = qm::parseDuration(options.budget);
  if (!budget) {
    throw std::runtime_error("--budget: expected a positive duration such as 250ms, 2s or 1m: " +
                             options.budget);
  }
  if (options.epoch == 0) throw std::runtime_error("--epoch: must be at least 1");
  if (options.barrier_sequence == 0U)
    throw std::runtime_error("--barrier-sequence: must be at least 1");
  if (!options.system_id.empty() && !qm::isValidIdentifier(options.system_id)) {
    throw std::runtime_error("--system-id: not an identifier token: " + options.system_id);
  }
  std::vector<qm::PartSource> sources;
  for (auto& [id, url] : splitParts(options.parts, "URL"))
    sources.push_back({std::move(id), std::move(url)});
  const qm::HttpGatherer gatherer(std::move(sources), {options.web_config});

  const qm::BarrierRequest request{
      options.epoch, options.barrier_sequence.value_or(wallClockSequence()), options.logical_time,
      static_cast<std::uint64_t>(budget->count())};
  const std::uint64_t start = qm::defaultClock();
  std::vector<qm::SnapshotPart> parts = gatherer.gather(request);

  std::string system_id = options.system_id;
  std::string reasons;
  for (const qm::SnapshotPart& part : parts) {
    if (system_id.empty() && part.snapshot) system_id = part.snapshot->system_id;
    if (!part.snapshot) reasons += (reasons.empty() ? "" : "; ") + part.id + ": " + part.diagnostic;
  }
  if (system_id.empty()) {
    throw std::runtime_error("no part gave a snapshot to take the system id from (" + reasons +
                             "); --system-id names the system");
  }
  const qm::RuntimeStateSnapshot snapshot =
      qm::compose(std::move(parts), system_id, *request.epoch, *request.barrier_sequence,
                  *request.logical_time, start + *request.budget_ns, qm::defaultClock);
  writeOut(snapshot.toCanonicalJson());
  writeOut("\n");
  flushOut();
  return snapshot.status == qm::SnapshotStatus::complete ? kExitSuccess : kExitNegative;
}

}  // namespace

void addGatherCommand(CLI::App& app, int& status) {
  auto options = std::make_shared<GatherOptions>();
  CLI::App* command = app.add_subcommand(
      "gather",
      "Asks every part's /snapshot for one barrier at once and prints the composed runtime-state "
      "document");
  command->add_option("--part", options->parts, "ID=URL: part ID served at URL (its exporter)")
      ->required();
  command->add_option("--system-id", options->system_id,
                      "The system composed (default: that of the first part, in order, that "
                      "gave a snapshot)");
  command->add_option("--epoch", options->epoch, "Epoch of the barrier")->capture_default_str();
  command->add_option("--barrier-sequence", options->barrier_sequence,
                      "Barrier sequence (default: milliseconds since 1970)");
  command->add_option("--logical-time", options->logical_time, "Logical time of the barrier")
      ->capture_default_str();
  command->add_option("--budget", options->budget, "Time the parts have to answer: 250ms, 2s")
      ->capture_default_str();
  command->add_option("--web-config", options->web_config,
                      "Client config: tls_config and basic_auth, as in a Prometheus scrape job");
  command->footer(
      "Every part is asked at once; the whole gather ends within the budget and 50 ms. A part\n"
      "that has not answered by then is deadline_exceeded, one that cannot be reached or answers\n"
      "an HTTP error missing, one whose answer is not a valid runtime-state document invalid.\n"
      "Exit status: 0 complete, 1 partial, 2 a usage error.\n"
      "Example:\n"
      "  quillon-state gather --part node-1=http://10.0.0.1:9464 --part "
      "node-2=http://10.0.0.2:9464 \\\n"
      "    --epoch 4 --barrier-sequence 9 --budget 500ms");
  command->callback([options, &status] { status = runGather(*options); });
}

}  // namespace Quillon::Tools::State
