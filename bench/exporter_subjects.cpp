// Serves a snapshot of N captured fixture subjects through the HTTP exporter until SIGINT or
// SIGTERM, for bench/exporter-throughput's wrk runs. Prints "port N" once listening.
//
//   exporter_subjects COUNT [ADDRESS:PORT]      ADDRESS:PORT defaults to 127.0.0.1:0
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <limits>
#include <string>

#include <pthread.h>

#include <quillon/monitoring/http_exporter.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "records.hpp"

int main(int argc, char** argv) {
  namespace qm = Quillon::Core::Monitoring;
  sigset_t stop{};
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  try {
    const auto observations = Quillon::Bench::engineObservations(std::stoul(argv[1]));
    const qm::SnapshotBarrier barrier(Quillon::Bench::copyingProbes(observations),
                                      qm::defaultClock);
    const qm::HttpExporter exporter(
        {argc > 2 ? argv[2] : "127.0.0.1:0", ""}, [&](const qm::BarrierRequest&) {
          return barrier.capture("lab", 4, 1, 100, std::numeric_limits<std::uint64_t>::max());
        });
    std::cout << "port " << exporter.port() << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "exporter_subjects: " << error.what() << '\n';
    return 2;
  }
}
