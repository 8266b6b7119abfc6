// quillon-state metrics: the OpenMetrics exposition of a runtime-state document.
#include <memory>
#include <string>

#include <quillon/monitoring/openmetrics.hpp>

#include "commands.hpp"
#include "line_input.hpp"

namespace Quillon::Tools::State {

void addMetricsCommand(CLI::App& app, int& status) {
  auto file = std::make_shared<std::string>(kStandardInputName);
  CLI::App* command = app.add_subcommand(
      "metrics",
      "Prints the OpenMetrics text of a runtime-state document: the last line of FILE or of "
      "standard input");
  command->add_option("FILE", *file, "The input; none or - reads standard input");
  command->footer(
      "Exit status: 0 printed, 2 a usage or I/O error or an invalid document.\n"
      "Example:\n"
      "  quillon-state capture | quillon-state metrics | promtool check metrics");
  command->callback([file, &status] {
    writeOut(Core::Monitoring::toOpenMetrics(readLastSnapshot(*file)));
    flushOut();
    status = kExitSuccess;
  });
}

}  // namespace Quillon::Tools::State
