// quillon-state diff: what changed between two runtime-state documents, one line per change.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <quillon/monitoring/canonical_json.hpp>
#include <quillon/monitoring/compare.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "commands.hpp"
#include "line_input.hpp"

namespace Quillon::Tools::State {
namespace {

namespace monitoring = Core::Monitoring;

struct DiffOptions {
  std::string before;
  std::string after;
  bool json = false;
};

// Returns `text` as it is when every byte is printable ASCII other than space, quotation mark
// and reverse solidus, else its JSON string: any id stays one unambiguous word of one line.
std::string shown(std::string_view text) {
  bool plain = !text.empty();
  for (const char byte : text) {
    plain = plain && byte > ' ' && byte < 0x7f && byte != '"' && byte != '\\';
  }
  return plain ? std::string(text) : monitoring::jsonString(text);
}

// Returns a canonical JSON value's text, or "(none)" where there is no value.
std::string_view valueOrNone(const std::string& value) {
  return value.empty() ? std::string_view("(none)") : std::string_view(value);
}

std::string humanLine(const monitoring::Change& change) {
  if (change.pointer.empty()) {
    return shown(change.subject) + (change.before.empty() ? " appeared\n" : " disappeared\n");
  }
  std::string line;
  if (!change.subject.empty()) {
    line.append(shown(change.subject)).append(" ");
  }
  line.append(shown(change.pointer)).append(" ").append(valueOrNone(change.before));
  line.append(" -> ").append(valueOrNone(change.after)).append("\n");
  return line;
}

// Members in ascending order of their keys: the line is itself canonical JSON.
std::string jsonLine(const monitoring::Change& change) {
  std::string line = "{\"after\":";
  line.append(monitoring::jsonString(change.after)).append(",\"before\":");
  line.append(monitoring::jsonString(change.before)).append(",\"pointer\":");
  line.append(monitoring::jsonString(change.pointer)).append(",\"subject\":");
  line.append(monitoring::jsonString(change.subject)).append("}\n");
  return line;
}

int runDiff(const DiffOptions& options) {
  const monitoring::RuntimeStateSnapshot before = readLastSnapshot(options.before);
  const monitoring::RuntimeStateSnapshot after = readLastSnapshot(options.after);
  const std::vector<monitoring::Change> changes = monitoring::compare(before, after);
  for (const monitoring::Change& change : changes) {
    writeOut(options.json ? jsonLine(change) : humanLine(change));
  }
  flushOut();
  return changes.empty() ? kExitSuccess : kExitNegative;
}

}  // namespace

void addDiffCommand(CLI::App& app, int& status) {
  auto options = std::make_shared<DiffOptions>();
  CLI::App* command = app.add_subcommand(
      "diff",
      "Prints what changed between two runtime-state documents (of a file with several lines, "
      "its last line), one line per change");
  command->add_option("BEFORE", options->before, "The earlier document; - reads standard input")
      ->required();
  command->add_option("AFTER", options->after, "The later document; - reads standard input")
      ->required();
  command->add_flag("--json", options->json,
                    "Print each change as a canonical JSON object per line: after, before, "
                    "pointer, subject, each a string");
  command->footer(
      "Exit status: 0 no change, 1 changes, 2 a usage or I/O error or an invalid document.\n"
      "Example:\n"
      "  quillon-state diff monday.json tuesday.json\n"
      "  /barrier_sequence 3 -> 4\n"
      "  engine:gpu-0/transformer /observation/observed/health \"healthy\" -> \"degraded\"\n"
      "  session:lab/s-7 appeared");
  command->callback([options, &status] { status = runDiff(*options); });
}

}  // namespace Quillon::Tools::State
