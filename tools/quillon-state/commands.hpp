// The subcommands of quillon-state, each registered on the application by its own function.
//
// Guarantees: every subcommand ends with one of three exit statuses (kExitSuccess, kExitNegative
// for a negative answer such as an invalid document or a difference, kExitUsage for a usage or
// I/O error) and reports an I/O error as one line on standard error naming the file and the cause.
#ifndef QUILLON_STATE_COMMANDS_HPP
#define QUILLON_STATE_COMMANDS_HPP

#include <CLI/CLI.hpp>

namespace Quillon::Tools::State {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitNegative = 1;
inline constexpr int kExitUsage = 2;

/// Each adds one subcommand to `app`; when it runs, it stores its exit status in `status`.
void addCheckCommand(CLI::App& app, int& status);
void addDiffCommand(CLI::App& app, int& status);
void addMetricsCommand(CLI::App& app, int& status);
void addCaptureCommand(CLI::App& app, int& status);
void addServeCommand(CLI::App& app, int& status);
void addComposeCommand(CLI::App& app, int& status);
void addGatherCommand(CLI::App& app, int& status);

}  // namespace Quillon::Tools::State

#endif  // QUILLON_STATE_COMMANDS_HPP
