// quillon-state compose: the logs of a system's parts composed into one runtime-state document
// per barrier sequence, streamed: each log is read one line ahead, whatever its length.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <quillon/monitoring/compose.hpp>
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "commands.hpp"
#include "line_input.hpp"
#include "part_options.hpp"

namespace Quillon::Tools::State {
namespace {

namespace monitoring = Core::Monitoring;

struct ComposeOptions {
  std::vector<std::string> parts;
  std::string system_id;
};

/// One part's log and the line it stands at: a document, a line that is not one, or its end.
struct PartLog {
  PartLog(std::string partId, const std::string& path) : id(std::move(partId)), reader(path) {}

  std::string id;
  LineReader reader;
  std::optional<monitoring::RuntimeStateSnapshot> document;
  /// "FILE:LINE: byte N: REASON" of the current line when it is not a valid document.
  std::string fault;
  /// The barrier sequence the log has reached: that of its last document, or the barrier its
  /// last invalid line was composed at.
  std::uint64_t reached = 0;
  bool reached_by_document = false;
};

/// Moves `log` to its next line. Throws std::runtime_error("FILE:LINE: barrier sequence N after
/// barrier sequence M") for a document that does not ascend; one at the barrier an invalid line
/// was just composed at belongs to it.
void advance(PartLog& log, std::optional<std::string>& systemId) {
  log.document.reset();
  log.fault.clear();
  const std::optional<std::string_view> line = log.reader.next();
  if (!line) return;
  try {
    log.document = monitoring::readRuntimeState(*line);
  } catch (const monitoring::DocumentError& error) {
    log.fault = describeError(log.reader.path(), log.reader.lineNumber(), error);
    return;
  }
  const std::uint64_t sequence = log.document->barrier_sequence;
  if (sequence < log.reached || (sequence == log.reached && log.reached_by_document)) {
    throw std::runtime_error(log.reader.path() + ":" + std::to_string(log.reader.lineNumber()) +
                             ": barrier sequence " + std::to_string(sequence) +
                             " after barrier sequence " + std::to_string(log.reached));
  }
  log.reached = sequence;
  log.reached_by_document = true;
  if (!systemId) systemId = log.document->system_id;
}

/// The barrier composed at one sequence: the highest epoch held there by documents of the system
/// (by any document when none is of the system), then the highest logical time at that epoch.
struct BarrierAt {
  std::uint64_t epoch = 0;
  std::int64_t logical_time = 0;
};

BarrierAt barrierAt(const std::deque<PartLog>& logs, std::uint64_t sequence,
                    const std::string& systemId) {
  const auto held = [sequence](const PartLog& log) {
    return log.document && log.document->barrier_sequence == sequence;
  };
  const bool anyOfSystem = std::any_of(logs.begin(), logs.end(), [&](const PartLog& log) {
    return held(log) && log.document->system_id == systemId;
  });
  std::optional<BarrierAt> barrier;
  for (const PartLog& log : logs) {
    if (!held(log) || (anyOfSystem && log.document->system_id != systemId)) continue;
    const BarrierAt candidate{log.document->epoch, log.document->logical_time};
    if (!barrier || candidate.epoch > barrier->epoch ||
        (candidate.epoch == barrier->epoch && candidate.logical_time > barrier->logical_time)) {
      barrier = candidate;
    }
  }
  return *barrier;
}

/// Takes what `log` holds at `sequence` as its part and moves the log on past it.
monitoring::SnapshotPart takePart(PartLog& log, std::uint64_t sequence,
                                  std::optional<std::string>& systemId) {
  monitoring::SnapshotPart part{log.id, std::nullopt, monitoring::SubjectStatus::missing, ""};
  if (!log.fault.empty()) {
    part.status = monitoring::SubjectStatus::invalid;
    part.diagnostic = std::move(log.fault);
    log.reached = sequence;
    log.reached_by_document = false;
    advance(log, systemId);
    // A document of the same barrier after the invalid line is a second answer: not shown.
    if (log.document && log.document->barrier_sequence == sequence) advance(log, systemId);
    return part;
  }
  if (log.document && log.document->barrier_sequence == sequence) {
    part.snapshot = std::move(log.document);
    advance(log, systemId);
    return part;
  }
  part.diagnostic =
      "no document at barrier sequence " + std::to_string(sequence) + " in " + log.reader.path();
  return part;
}

/// Opens the log of each "ID=FILE". Throws std::runtime_error for a malformed or repeated part,
/// or standard input given twice.
std::deque<PartLog> openLogs(const std::vector<std::string>& specs) {
  std::deque<PartLog> logs;
  bool standard_input = false;
  for (auto& [id, path] : splitParts(specs, "FILE")) {
    if (path == kStandardInputName && std::exchange(standard_input, true)) {
      throw std::runtime_error("--part: standard input can be the log of one part only");
    }
    logs.emplace_back(std::move(id), path);
  }
  return logs;
}

int runCompose(const ComposeOptions& options) {
  std::optional<std::string> systemId;
  if (!options.system_id.empty()) {
    if (!monitoring::isValidIdentifier(options.system_id)) {
      throw std::runtime_error("--system-id: not an identifier token: " + options.system_id);
    }
    systemId = options.system_id;
  }
  std::deque<PartLog> logs = openLogs(options.parts);
  for (PartLog& log : logs)
    advance(log, systemId);

  int status = kExitSuccess;
  bool composed = false;
  for (;;) {
    std::optional<std::uint64_t> sequence;
    for (const PartLog& log : logs) {
      if (log.document && (!sequence || log.document->barrier_sequence < *sequence)) {
        sequence = log.document->barrier_sequence;
      }
    }
    if (!sequence) break;
    const BarrierAt barrier = barrierAt(logs, *sequence, *systemId);
    std::vector<monitoring::SnapshotPart> parts;
    parts.reserve(logs.size());
    for (PartLog& log : logs)
      parts.push_back(takePart(log, *sequence, systemId));
    // Offline nothing is waited for: one reading of the composer's clock is both times.
    const std::uint64_t now = monitoring::defaultClock();
    const monitoring::RuntimeStateSnapshot snapshot =
        monitoring::compose(std::move(parts), *systemId, barrier.epoch, *sequence,
                            barrier.logical_time, now, [now] { return now; });
    if (snapshot.status != monitoring::SnapshotStatus::complete) status = kExitNegative;
    writeOut(snapshot.toCanonicalJson());
    writeOut("\n");
    composed = true;
  }
  flushOut();
  // A line that is not a document stands for its part at the next barrier; after the last one
  // there is none to compose it at.
  for (const PartLog& log : logs) {
    if (!log.fault.empty()) throw std::runtime_error(log.fault + " (after the last barrier)");
  }
  if (!composed) throw std::runtime_error("no document in any part's log");
  return status;
}

}  // namespace

void addComposeCommand(CLI::App& app, int& status) {
  auto options = std::make_shared<ComposeOptions>();
  CLI::App* command = app.add_subcommand(
      "compose",
      "Composes the JSON Lines logs of a system's parts, as capture --interval writes them, into "
      "one runtime-state document per barrier sequence that any part holds, in ascending order");
  command
      ->add_option("--part", options->parts,
                   "ID=FILE: the log of part ID, in ascending barrier sequence; - reads standard "
                   "input")
      ->required();
  command->add_option("--system-id", options->system_id,
                      "The system composed (default: that of the first document read)");
  command->footer(
      "The barrier of a sequence has the highest epoch any part of the system holds there. A\n"
      "part with no document there is missing, one whose line is not a valid document invalid.\n"
      "Exit status: 0 every document complete, 1 one partial, 2 a usage or I/O error.\n"
      "Example:\n"
      "  quillon-state compose --part rank0=rank0.jsonl --part rank1=rank1.jsonl");
  command->callback([options, &status] { status = runCompose(*options); });
}

}  // namespace Quillon::Tools::State
