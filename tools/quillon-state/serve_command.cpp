// quillon-state serve: this machine's state over HTTP (or HTTPS), for Prometheus and for people.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <quillon/monitoring/http_exporter.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "commands.hpp"
#include "host_probes.hpp"
#include "probe_options.hpp"
#include "stop_signals.hpp"

namespace Quillon::Tools::State {

namespace {

namespace qm = Quillon::Core::Monitoring;

struct ServeOptions {
  ProbeOptions probe;
  qm::HttpExporterOptions exporter;
};

int runServe(const ServeOptions& options) {
  std::optional<HostProbes> probes = makeProbes(options.probe);
  if (!probes) return kExitUsage;

  // The exporter never runs two captures at once, so the counter needs no lock of its own. An
  // explicit barrier sequence moves it forward, never back: automatic sequences keep ascending
  // past every sequence already captured.
  std::uint64_t sequence = 0;
  const auto capture = [&](const qm::BarrierRequest& request) {
    if (!request.barrier_sequence && sequence == std::numeric_limits<std::uint64_t>::max()) {
      throw std::runtime_error("no barrier sequence is left after 18446744073709551615");
    }
    const std::uint64_t barrier = request.barrier_sequence.value_or(sequence + 1);
    qm::RuntimeStateSnapshot snapshot = probes->capture(request.epoch.value_or(options.probe.epoch),
                                                        barrier, request.logical_time.value_or(0),
                                                        request.budget_ns.value_or(kHostBudgetNs));
    sequence = std::max(sequence, barrier);
    return snapshot;
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
      "Example:\n  quillon-state serve --listen 127.0.0.1:9464\n"
      "  curl -s 'http://127.0.0.1:9464/snapshot?epoch=4&barrier_sequence=9'\n");
  auto options = std::make_shared<ServeOptions>();
  command->add_option("--listen", options->exporter.listen, "ADDRESS:PORT to listen on")
      ->capture_default_str();
  command->add_option("--web-config", options->exporter.web_config_file,
                      "Web config file: TLS and basic authentication");
  addProbeOptions(*command, options->probe);
  command->callback([options, &status] { status = runServe(*options); });
}

}  // namespace Quillon::Tools::State
