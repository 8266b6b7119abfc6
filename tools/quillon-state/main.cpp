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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version are successes; every other parse error is a usage error.
    const int code = app.exit(error);
    return code == 0 ? state::kExitSuccess : state::kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "quillon-state: " << error.what() << '\n';
    return state::kExitUsage;
  }
  return status;
}
