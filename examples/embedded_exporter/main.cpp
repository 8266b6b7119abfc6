// An inference service that serves its own state to Prometheus: an engine and a session, each a
// probe of its own, captured at a barrier per scrape by an HttpExporter.
//
//   embedded_exporter [ADDRESS:PORT [WEB_CONFIG]]      ADDRESS:PORT defaults to 127.0.0.1:9464
//
// Prints the address it serves, then serves until SIGINT or SIGTERM.
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/http_exporter.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace qm = Quillon::Core::Monitoring;

namespace {

/// What the service knows of itself, written by its own threads and read by the exporter's.
struct ServiceState {
  std::mutex mutex;
  double engine_pressure = 0.25;
};

qm::Observation observation(qm::EntityKind kind, std::string id, std::string parent,
                            std::uint64_t epoch, double pressure) {
  qm::Observation observed;
  observed.system_id = "lab";
  observed.epoch = epoch;
  observed.entity = {kind, std::move(id), std::move(parent)};
  observed.observed.emplace();
  observed.observed->lifecycle = qm::LifecycleState::running;
  observed.observed->ready = true;
  observed.observed->pressure = pressure;
  return observed;
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before the exporter starts its threads, which inherit the mask: only sigwait below
  // takes these signals.
  sigset_t stop{};
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  try {
    ServiceState state;
    std::uint64_t epoch = 1;  // read by the probes, which run inside a capture
    std::vector<qm::SnapshotProbe> probes;
    probes.push_back({"engine:gpu-0/transformer", true, [&] {
                        const std::lock_guard lock(state.mutex);
                        return std::optional(observation(qm::EntityKind::engine, "transformer",
                                                         "gpu-0", epoch, state.engine_pressure));
                      }});
    probes.push_back({"session:transformer/chat-1", true, [&] {
                        const std::lock_guard lock(state.mutex);
                        return std::optional(observation(qm::EntityKind::session, "chat-1",
                                                         "transformer", epoch, 0.5));
                      }});
    const qm::SnapshotBarrier barrier(std::move(probes), qm::defaultClock);

    std::uint64_t sequence = 0;  // the exporter never runs two captures at once
    const qm::HttpExporter exporter(
        {argc > 1 ? argv[1] : "127.0.0.1:9464", argc > 2 ? argv[2] : ""},
        [&](const qm::BarrierRequest& request) {
          epoch = request.epoch.value_or(1);
          sequence = request.barrier_sequence.value_or(sequence + 1);
          return barrier.capture("lab", epoch, sequence, request.logical_time.value_or(0),
                                 request.budget_ns.value_or(1'000'000'000));
        });
    std::cout << "embedded_exporter: serving port " << exporter.port() << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "embedded_exporter: " << error.what() << '\n';
    return 2;
  }
}
