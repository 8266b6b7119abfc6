#include <exception>
#include <ostream>
#include <span>

#include "scenarios.hpp"

namespace Quillon::Core::Monitoring::Conformance {

int runScenarios(std::span<const Scenario> scenarios, std::ostream& out, std::ostream& err) {
  try {
    for (const Scenario& scenario : scenarios)
      scenario(out);
  } catch (const std::exception& error) {
    err << "[FAIL] " << error.what() << "\nM-02 VERDICT: FAIL\n";
    return 1;
  } catch (...) {
    // Nothing this harness calls throws anything else; if something does, fail rather than crash.
    err << "[FAIL] unexpected non-standard exception\nM-02 VERDICT: FAIL\n";
    return 1;
  }
  out << "M-02 VERDICT: PASS\n";
  // Lines that never reached standard output (a full disk, a closed pipe) must not pass as a run.
  out.flush();
  if (!out) {
    err << "[FAIL] cannot write standard output\nM-02 VERDICT: FAIL\n";
    return 1;
  }
  return 0;
}

}  // namespace Quillon::Core::Monitoring::Conformance
