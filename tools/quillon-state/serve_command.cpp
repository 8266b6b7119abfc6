#include "commands.hpp"
namespace Quillon::Tools::State {
void addServeCommand(CLI::App& /*app*/, int& /*status*/) {}
}  // namespace Quillon::Tools::State
