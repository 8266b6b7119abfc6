// quillon-state check: reports each line of its inputs that is not a valid document, and with
// --canonical each valid line that is not the canonical text of what it describes.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "commands.hpp"
#include "line_input.hpp"

namespace Quillon::Tools::State {
namespace {

namespace monitoring = Core::Monitoring;

enum class Format { observation, runtime_state };

// Members that only one format has. The four both have (epoch, logical_time, schema, system_id)
// tell nothing by their names; "schema" tells by its value.
constexpr std::array<std::string_view, 7> kObservationOnly{
    "declared", "entity", "extensions", "observed", "observed_at_ns", "planned", "sequence"};
constexpr std::array<std::string_view, 5> kRuntimeStateOnly{"barrier_sequence", "captured_at_ns",
                                                            "deadline_ns", "status", "subjects"};

constexpr std::size_t kNone = std::string_view::npos;

std::size_t skipSpace(std::string_view text, std::size_t at) {
  while (at < text.size() &&
         (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
    ++at;
  }
  return at;
}

// `at` is at a quotation mark; returns the position after the closing one.
std::size_t skipString(std::string_view text, std::size_t at) {
  for (++at; at < text.size(); ++at) {
    if (text[at] == '\\') {
      ++at;
    } else if (text[at] == '"') {
      return at + 1;
    }
  }
  return kNone;
}

// Returns where the scalar member value at `at` ends, or kNone for an object or an array: no
// member that both formats have holds one, so such a text is left to the reader to reject.
std::size_t skipScalar(std::string_view text, std::size_t at) {
  if (at < text.size() && text[at] == '"') {
    return skipString(text, at);
  }
  while (at < text.size() && text[at] != ',' && text[at] != '}') {
    if (text[at] == '{' || text[at] == '[') {
      return kNone;
    }
    ++at;
  }
  return at;
}

bool holds(auto names, std::string_view key) {
  return std::find(names.begin(), names.end(), key) != names.end();
}

// Tells the format from the top-level member names, without parsing: a canonical document is
// decided by its first member, a reordered one by the first member only one format has.
// Undecided text goes to the runtime-state reader, which then names what is wrong with it.
Format guessFormat(std::string_view text) {
  std::size_t at = skipSpace(text, 0);
  if (at == text.size() || text[at] != '{') {
    return Format::runtime_state;
  }
  for (at = skipSpace(text, at + 1); at < text.size() && text[at] == '"';) {
    const std::size_t key_end = skipString(text, at);
    if (key_end == kNone) {
      break;
    }
    const std::string_view key = text.substr(at + 1, key_end - at - 2);
    if (holds(kObservationOnly, key)) {
      return Format::observation;
    }
    if (holds(kRuntimeStateOnly, key)) {
      return Format::runtime_state;
    }
    at = skipSpace(text, key_end);
    if (at == text.size() || text[at] != ':') {
      break;
    }
    at = skipSpace(text, at + 1);
    const std::size_t value_end = skipScalar(text, at);
    if (value_end == kNone) {
      break;
    }
    const std::string_view value = text.substr(at, value_end - at);
    if (key == "schema" && value.size() == monitoring::kObservationSchema.size() + 2 &&
        value.substr(1, value.size() - 2) == monitoring::kObservationSchema && value[0] == '"') {
      return Format::observation;
    }
    at = skipSpace(text, value_end);
    if (at == text.size() || text[at] != ',') {
      break;
    }
    at = skipSpace(text, at + 1);
  }
  return Format::runtime_state;
}

struct CheckOptions {
  std::vector<std::string> files;
  bool canonical = false;
};

struct Tally {
  std::uint64_t documents = 0;
  std::uint64_t invalid = 0;
  std::uint64_t not_canonical = 0;
};

// Shows how far a large regular file has been read, only to someone watching standard error.
class Progress {
 public:
  explicit Progress(const LineReader& reader)
      : reader_(reader),
        size_(reader.regularFileSize().value_or(0)),
        enabled_(size_ > kLargeInput && ::isatty(STDERR_FILENO) == 1) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (shown_) {
      std::fputs("\r\033[K", stderr);
    }
  }

  void update() {
    if (!enabled_ || reader_.bytesRead() < next_) {
      return;
    }
    next_ = reader_.bytesRead() + kStep;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - shown_at_ < std::chrono::milliseconds(250)) {
      return;
    }
    shown_ = true;
    shown_at_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double done = static_cast<double>(reader_.bytesRead());
    std::fprintf(stderr, "\r%s: %.0f of %.0f MiB (%.0f%%), %.0f MiB/s\033[K",
                 reader_.path().c_str(), done / kMiB, static_cast<double>(size_) / kMiB,
                 100.0 * done / static_cast<double>(size_),
                 seconds > 0 ? done / kMiB / seconds : 0.0);
  }

 private:
  static constexpr std::uint64_t kLargeInput = std::uint64_t{64} << 20;
  static constexpr std::uint64_t kStep = std::uint64_t{8} << 20;
  static constexpr double kMiB = 1024.0 * 1024.0;

  const LineReader& reader_;
  std::uint64_t size_;
  bool enabled_;
  bool shown_ = false;
  std::uint64_t next_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point shown_at_;
};

void report(const LineReader& reader, std::size_t offset, std::string_view reason) {
  std::string line = reader.path();
  line.append(":").append(std::to_string(reader.lineNumber())).append(": byte ");
  line.append(std::to_string(offset)).append(": ").append(reason).append("\n");
  writeOut(line);
}

// Returns whether `line` is exactly `canonical`, reporting the first byte where it is not.
bool isCanonical(const LineReader& reader, std::string_view line, std::string_view canonical) {
  if (line == canonical) {
    return true;
  }
  const auto [mismatch, unused] =
      std::mismatch(line.begin(), line.end(), canonical.begin(), canonical.end());
  report(reader, static_cast<std::size_t>(mismatch - line.begin()), "not the canonical text");
  return false;
}

void checkLine(const LineReader& reader, std::string_view line, bool canonical, Tally& tally) {
  ++tally.documents;
  try {
    bool same = true;
    if (guessFormat(line) == Format::observation) {
      const monitoring::Observation observation = monitoring::readObservation(line);
      same = !canonical || isCanonical(reader, line, observation.toCanonicalJson());
    } else {
      const monitoring::RuntimeStateSnapshot snapshot = monitoring::readRuntimeState(line);
      same = !canonical || isCanonical(reader, line, snapshot.toCanonicalJson());
    }
    tally.not_canonical += same ? 0 : 1;
  } catch (const monitoring::DocumentError& error) {
    ++tally.invalid;
    writeOut(describeError(reader.path(), reader.lineNumber(), error).append("\n"));
  }
}

int runCheck(const CheckOptions& options) {
  std::vector<std::string> files = options.files;
  if (files.empty()) {
    files.emplace_back(kStandardInputName);
  }
  Tally tally;
  for (const std::string& file : files) {
    LineReader reader(file);
    Progress progress(reader);
    while (const auto line = reader.next()) {
      progress.update();
      checkLine(reader, *line, options.canonical, tally);
    }
  }
  flushOut();
  std::string summary = "quillon-state check: " + std::to_string(tally.documents) + " documents, " +
                        std::to_string(tally.invalid) + " invalid";
  if (options.canonical) {
    summary.append(", ").append(std::to_string(tally.not_canonical)).append(" not canonical");
  }
  std::fprintf(stderr, "%s\n", summary.c_str());
  return tally.invalid + tally.not_canonical == 0 ? kExitSuccess : kExitNegative;
}

}  // namespace

void addCheckCommand(CLI::App& app, int& status) {
  auto options = std::make_shared<CheckOptions>();
  CLI::App* command = app.add_subcommand(
      "check",
      "Checks documents of either format, one per line (JSON Lines); reports each line that is "
      "not a valid document as FILE:LINE: byte N: REASON");
  command->add_option("FILE", options->files, "Inputs; none or - reads standard input");
  command->add_flag("--canonical", options->canonical,
                    "Also report each valid line that is not the canonical text");
  command->footer(
      "Exit status: 0 all valid, 1 some line reported, 2 a usage or I/O error.\n"
      "Example:\n"
      "  quillon-state check --canonical states.jsonl\n"
      "  states.jsonl:7: byte 12: expected ':'\n"
      "  quillon-state check: 100 documents, 1 invalid, 0 not canonical");
  command->callback([options, &status] { status = runCheck(*options); });
}

}  // namespace Quillon::Tools::State
