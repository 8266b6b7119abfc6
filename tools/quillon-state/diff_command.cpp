// quillon-state diff: what changed between two runtime-state documents, one line per change.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <stdexcept>
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
  std::vector<std::string> ignore;
  bool ignore_clocks = false;
};

/// The clock readings that differ on every capture: what --ignore-clocks leaves out.
constexpr std::array<std::string_view, 4> kClocks{"/captured_at_ns", "/deadline_ns",
                                                  "/observation/observed_at_ns",
                                                  "/observation/observed/last_observed_ns"};

using Tokens = std::vector<std::string_view>;

/// Returns the reference tokens of `pointer`, still escaped; none for "", the whole value.
/// Throws std::runtime_error for a text that is not an RFC 6901 JSON Pointer.
Tokens tokensOf(std::string_view pointer) {
  Tokens tokens;
  if (pointer.empty()) return tokens;
  for (std::size_t at = 0; at < pointer.size(); ++at) {
    if (pointer[at] == '~' &&
        (at + 1 == pointer.size() || (pointer[at + 1] != '0' && pointer[at + 1] != '1'))) {
      throw std::runtime_error("--ignore: not a JSON pointer: " + std::string(pointer));
    }
  }
  if (pointer.front() != '/') {
    throw std::runtime_error("--ignore: not a JSON pointer: " + std::string(pointer));
  }
  for (std::size_t start = 1;;) {
    const std::size_t end = std::min(pointer.find('/', start), pointer.size());
    tokens.push_back(pointer.substr(start, end - start));
    if (end == pointer.size()) return tokens;
    start = end + 1;
  }
}

/// Tells whether `pointer` starts with `prefix` token by token, a "*" in `prefix` matching any
/// one token.
bool startsWith(const Tokens& pointer, const Tokens& prefix) {
  if (prefix.size() > pointer.size()) return false;
  return std::equal(
      prefix.begin(), prefix.end(), pointer.begin(),
      [](std::string_view want, std::string_view token) { return want == "*" || want == token; });
}

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
  std::vector<std::string> ignored = options.ignore;
  if (options.ignore_clocks) ignored.insert(ignored.end(), kClocks.begin(), kClocks.end());
  std::vector<Tokens> prefixes;
  for (const std::string& pointer : ignored)
    prefixes.push_back(tokensOf(pointer));

  bool shownAny = false;
  for (const monitoring::Change& change : monitoring::compare(before, after)) {
    const Tokens pointer = tokensOf(change.pointer);
    if (std::any_of(prefixes.begin(), prefixes.end(),
                    [&pointer](const Tokens& prefix) { return startsWith(pointer, prefix); })) {
      continue;
    }
    writeOut(options.json ? jsonLine(change) : humanLine(change));
    shownAny = true;
  }
  flushOut();
  return shownAny ? kExitNegative : kExitSuccess;
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
  command
      ->add_option("--ignore", options->ignore,
                   "Leave out each change whose JSON Pointer (inside the subject, or the "
                   "document for its own members) starts with POINTER token by token; * "
                   "matches any one token. Repeatable")
      ->type_name("POINTER")
      ->allow_extra_args(false);
  command->add_flag("--ignore-clocks", options->ignore_clocks,
                    "Leave out the clock readings that differ on every capture: /captured_at_ns, "
                    "/deadline_ns, /observation/observed_at_ns, "
                    "/observation/observed/last_observed_ns");
  command->footer(
      "Exit status: 0 no change shown, 1 changes shown, 2 a usage or I/O error or an invalid\n"
      "document.\n"
      "Example:\n"
      "  quillon-state diff monday.json tuesday.json\n"
      "  /barrier_sequence 3 -> 4\n"
      "  engine:gpu-0/transformer /observation/observed/health \"healthy\" -> \"degraded\"\n"
      "  session:lab/s-7 appeared");
  command->callback([options, &status] { status = runDiff(*options); });
}

}  // namespace Quillon::Tools::State
