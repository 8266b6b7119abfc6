// quillon-state: checks, compares, exports and serves runtime-state documents.
#include <exception>
#include <iostream>

#include <CLI/CLI.hpp>

#include "commands.hpp"

int main(int argc, char** argv) {
  namespace state = Quillon::Tools::State;
  CLI::App app("Checks, compares, exports and serves Quillon runtime-state documents.",
               "quillon-state");
  app.require_subcommand(1);
  int status = state::kExitSuccess;
  state::addCheckCommand(app, status);
  state::addDiffCommand(app, status);
  state::addMetricsCommand(app, status);
  state::addCaptureCommand(app, status);
  state::addServeCommand(app, status);
  state::addComposeCommand(app, status);
  state::addGatherCommand(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help is a success and prints itself; every other parse error is a usage error, said in
    // one line like every other error of the tool.
    if (error.get_exit_code() == 0) return app.exit(error);
    std::cerr << "quillon-state: " << error.what() << " (see --help)\n";
    return state::kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "quillon-state: " << error.what() << '\n';
    return state::kExitUsage;
  }
  return status;
}
