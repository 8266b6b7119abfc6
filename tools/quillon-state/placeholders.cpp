// Subcommands not written yet. Each function leaves this file when its own file defines it; the
// file goes once it is empty.
#include "commands.hpp"

namespace Quillon::Tools::State {

void addCaptureCommand(CLI::App& /*app*/, int& /*status*/) {}

void addServeCommand(CLI::App& /*app*/, int& /*status*/) {}

}  // namespace Quillon::Tools::State
