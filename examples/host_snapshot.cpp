// Captures this Linux machine at one logical barrier and prints the runtime-state document on one
// line: a short use of the host probes that quillon-state capture and serve share.
//
//   host_snapshot [PROC_ROOT]        PROC_ROOT defaults to /proc
#include <exception>
#include <iostream>
#include <string>
#include <utility>

#include <quillon/monitoring/snapshot.hpp>

#include "host_probes.hpp"

int main(int argc, char** argv) {
  namespace qm = Quillon::Core::Monitoring;
  namespace state = Quillon::Tools::State;
  try {
    state::HostProbeOptions options;
    if (argc > 1) options.proc = argv[1];
    // The machine is the whole system here: system and host are both named after the host.
    options.system_id = options.host_id = state::hostNameToken(options.proc);
    state::HostProbes probes(std::move(options), qm::defaultClock);
    const qm::RuntimeStateSnapshot snapshot = probes.capture(/*epoch=*/1, /*barrier_sequence=*/1);
    std::cout << snapshot.toCanonicalJson() << '\n' << std::flush;
    return std::cout ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "host_snapshot: " << error.what() << '\n';
    return 1;
  }
}
