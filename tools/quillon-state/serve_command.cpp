// quillon-state serve: this machine's state over HTTP (or HTTPS), for Prometheus and for people;
// with --part, the state of the whole system its parts make, gathered at each scrape's barrier.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <future>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <quillon/monitoring/compose.hpp>
#include <quillon/monitoring/http_exporter.hpp>
#include <quillon/monitoring/http_gather.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "commands.hpp"
#include "host_probes.hpp"
#include "part_options.hpp"
#include "probe_options.hpp"
#include "stop_signals.hpp"

namespace Quillon::Tools::State {

namespace {

namespace qm = Quillon::Core::Monitoring;

struct ServeOptions {
  ProbeOptions probe;
  qm::HttpExporterOptions exporter;
  std::vector<std::string> parts;
  std::string part_web_config;
  bool no_host = false;
};

/// The parts of the system, or nothing when serve serves this machine alone.
std::unique_ptr<qm::HttpGatherer> makeGatherer(const ServeOptions& options,
                                               const HostProbeOptions& host) {
  if (options.parts.empty()) {
    if (options.no_host) throw std::runtime_error("--no-host: needs --part");
    if (!options.part_web_config.empty()) {
      throw std::runtime_error("--part-web-config: needs --part");
    }
    return nullptr;
  }
  // The system: subject belongs to a machine that is the whole system, which an aggregator's
  // own host, one part among others, is not.
  if (!options.no_host && host.host_id == host.system_id) {
    throw std::runtime_error("--host-id: with --part this host is one part of system " +
                             host.system_id + " and needs a host id of its own (or --no-host)");
  }
  std::vector<qm::PartSource> sources;
  for (auto& [id, url] : splitParts(options.parts, "URL")) {
    if (!options.no_host && id == host.host_id) {
      throw std::runtime_error("--part: part " + id +
                               " has the id of this host's own part (--host-id, or --no-host)");
    }
    sources.push_back({std::move(id), std::move(url)});
  }
  return std::make_unique<qm::HttpGatherer>(std::move(sources),
                                            qm::HttpClientOptions{options.part_web_config});
}

int runServe(const ServeOptions& options) {
  const std::optional<HostProbeOptions> host = checkedProbeOptions(options.probe);
  if (!host) return kExitUsage;
  std::unique_ptr<qm::HttpGatherer> gatherer;
  try {
    gatherer = makeGatherer(options, *host);
  } catch (const std::exception& error) {
    return usageError(error.what());
  }
  std::optional<HostProbes> probes;
  if (!options.no_host) probes.emplace(*host, qm::defaultClock);

  // The exporter never runs two captures at once, so the counter needs no lock of its own. An
  // explicit barrier sequence moves it forward, never back: automatic sequences keep ascending
  // past every sequence already captured.
  std::uint64_t sequence = 0;
  const auto capture = [&](const qm::BarrierRequest& request) {
    if (!request.barrier_sequence && sequence == std::numeric_limits<std::uint64_t>::max()) {
      throw std::runtime_error("no barrier sequence is left after 18446744073709551615");
    }
    const std::uint64_t barrier = request.barrier_sequence.value_or(sequence + 1);
    const std::uint64_t epoch = request.epoch.value_or(options.probe.epoch);
    const std::int64_t logical_time = request.logical_time.value_or(0);
    sequence = std::max(sequence, barrier);
    if (!gatherer) {
      return probes->capture(epoch, barrier, logical_time,
                             request.budget_ns.value_or(kHostBudgetNs));
    }
    // Every part, this host included, captures the same barrier, named in full.
    const std::uint64_t budget = request.budget_ns.value_or(qm::kDefaultGatherBudgetNs);
    const std::uint64_t start = qm::defaultClock();
    std::future<qm::RuntimeStateSnapshot> own;
    if (probes) {
      own = std::async(std::launch::async,
                       [&] { return probes->capture(epoch, barrier, logical_time, budget); });
    }
    std::vector<qm::SnapshotPart> parts = gatherer->gather({epoch, barrier, logical_time, budget});
    if (probes) parts.push_back({host->host_id, own.get(), qm::SubjectStatus::missing, ""});
    return qm::compose(std::move(parts), host->system_id, epoch, barrier, logical_time,
                       start + budget, qm::defaultClock);
  };

  // Blocked before the exporter starts its threads, which inherit the mask: only wait() below
  // ever takes SIGINT or SIGTERM.
  const StopSignals signals;
  std::optional<qm::HttpExporter> exporter;
  try {
    exporter.emplace(options.exporter, capture);
  } catch (const std::exception& error) {
    return usageError(error.what());
  }
  const std::string& listen = options.exporter.listen;
  std::cout << "quillon-state: serving " << (exporter->secure() ? "https" : "http") << "://"
            << listen.substr(0, listen.rfind(':')) << ':' << exporter->port()
            << "/metrics and /snapshot" << std::endl;
  signals.wait();
  return kExitSuccess;
}

}  // namespace

void addServeCommand(CLI::App& app, int& status) {
  CLI::App* command = app.add_subcommand(
      "serve",
      "Serves this machine's state over HTTP: GET /metrics captures it and answers its OpenMetrics "
      "text, GET /snapshot its runtime-state document.");
  command->footer(
      "Each request captures anew; captures never overlap. ?epoch=N, ?barrier_sequence=N,\n"
      "?logical_time=N and ?budget=DURATION choose the barrier; without barrier_sequence each\n"
      "capture takes the next sequence, past every one captured before. --web-config FILE turns\n"
      "on TLS and basic authentication (docs/exporter.md). SIGINT or SIGTERM stops the server "
      "with\n"
      "status 0; a usage error, an invalid web config or an address it cannot listen on gives\n"
      "status 2. The first line on standard output names the address served (useful with port 0,\n"
      "a free port).\n\n"
      "With --part ID=URL, each request also asks every part's /snapshot for the same barrier\n"
      "(within ?budget=, default 1s) and serves the composition of the parts and this host\n"
      "(unless --no-host): the state of the whole system --system-id names (docs/compose.md).\n\n"
      "Example:\n  quillon-state serve --listen 127.0.0.1:9464\n"
      "  curl -s 'http://127.0.0.1:9464/snapshot?epoch=4&barrier_sequence=9'\n"
      "  quillon-state serve --system-id lab --no-host --part node-1=http://10.0.0.1:9464 \\\n"
      "    --part node-2=http://10.0.0.2:9464\n");
  auto options = std::make_shared<ServeOptions>();
  command->add_option("--listen", options->exporter.listen, "ADDRESS:PORT to listen on")
      ->capture_default_str();
  // An empty name would serve plain HTTP to everyone: a config variable left unset must not.
  command
      ->add_option("--web-config", options->exporter.web_config_file,
                   "Web config file: TLS and basic authentication")
      ->check(CLI::Validator(
          [](const std::string& file) {
            return std::string(file.empty() ? "empty file name" : "");
          },
          ""));
  command->add_option("--part", options->parts,
                      "ID=URL: a part of the system, served at URL, gathered at every scrape "
                      "(repeatable)");
  command->add_flag("--no-host", options->no_host,
                    "With --part: leave this host's own probes out of the composition");
  command->add_option("--part-web-config", options->part_web_config,
                      "Client config for the parts: tls_config and basic_auth");
  addProbeOptions(*command, options->probe);
  command->callback([options, &status] { status = runServe(*options); });
}

}  // namespace Quillon::Tools::State
