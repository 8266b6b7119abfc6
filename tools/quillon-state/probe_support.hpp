// What every host probe source shares: reading kernel files whole, parsing them exactly, counters
// measured since the previous capture, and the observation of a subject.
//
// Guarantees: a parser accepts only the exact text the kernel writes; anything else throws
// std::runtime_error with "FILE line N: what" (or "FILE: what" for the file as a whole), which the
// barrier turns into an `invalid` subject. A file that cannot be read is reported as nothing, never
// as an empty or default reading. Nothing here keeps state of its own: baselines belong to the
// HostProbes that passes them in.
#ifndef QUILLON_STATE_PROBE_SUPPORT_HPP
#define QUILLON_STATE_PROBE_SUPPORT_HPP

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Tools::State::detail {

namespace qm = Quillon::Core::Monitoring;

/// The share of pressure from which a host, CPU, disk or cgroup is `degraded`.
inline constexpr double kDegradedLoad = 0.9;

/// Returns the whole content of `path`, or nothing when it cannot be opened or read, or holds more
/// than 64 MiB (no kernel file does; a device node or a FIFO in a tree given to us might).
[[nodiscard]] std::optional<std::string> readFile(const std::string& path);

/// Tells whether `path` exists (whether or not it can be read).
[[nodiscard]] bool exists(const std::string& path);

/// The names in a directory, "." and ".." left out, in the order the directory gives them; `error`
/// is the errno of a directory that cannot be listed (ENOENT when there is none), else 0.
struct DirectoryListing {
  std::vector<std::string> names;
  int error = 0;
};

/// Lists `path`.
[[nodiscard]] DirectoryListing listDirectory(const std::string& path);

/// One line of a source file, numbered from 1.
struct Line {
  std::size_t number = 0;
  std::string_view text;
};

/// Returns the lines of `text`; a final line feed starts no further line.
[[nodiscard]] std::vector<Line> splitLines(std::string_view text);

/// Returns the fields of `text` separated by spaces and tabs.
[[nodiscard]] std::vector<std::string_view> splitFields(std::string_view text);

/// A place in a source file that a diagnostic names; line 0 names the file as a whole.
struct Where {
  std::string_view path;
  std::size_t line = 0;

  /// Returns "PATH line N" or "PATH".
  [[nodiscard]] std::string describe() const;

  /// Throws std::runtime_error("PATH line N: what").
  [[noreturn]] void fail(std::string_view what) const;
};

/// Returns `field` as a plain unsigned decimal; fails at `where` with "WHAT is not a plain unsigned
/// decimal" or "WHAT is out of range".
[[nodiscard]] std::uint64_t parseCount(std::string_view field, const Where& where,
                                       std::string_view what);

/// Returns every field parsed by parseCount, each named "WHAT N" (N from 1).
[[nodiscard]] std::vector<std::uint64_t> parseCounts(const std::vector<std::string_view>& fields,
                                                     const Where& where, std::string_view what);

/// Returns the sum of `values`; fails at `where` with "WHAT is out of range" beyond 2^64 - 1.
[[nodiscard]] std::uint64_t sum(std::initializer_list<std::uint64_t> values, const Where& where,
                                std::string_view what);

/// Returns `value` * `factor`; fails at `where` with "WHAT is out of range" beyond 2^64 - 1.
[[nodiscard]] std::uint64_t product(std::uint64_t value, std::uint64_t factor, const Where& where,
                                    std::string_view what);

/// Tells whether `text` is digits, optionally a point and more digits ("0.52", "12").
[[nodiscard]] bool isPlainDecimal(std::string_view text);

/// Returns the value in kB of the meminfo line whose first field is `key` ("MemTotal:"); fails
/// with "PATH line N: expected a value in kB" or "PATH: expected a MemTotal line".
[[nodiscard]] std::uint64_t meminfoValue(const std::vector<Line>& lines, std::string_view key,
                                         std::string_view path);

/// Returns the one unsigned decimal that a sysfs or cgroup file holds ("4096\n"), or nothing when
/// `path` cannot be read; fails with "PATH line 1: expected one plain unsigned decimal" otherwise.
[[nodiscard]] std::optional<std::uint64_t> readValueFile(const std::string& path);

/// Returns the "KEY VALUE" lines of a flat-keyed file (memory.events, cpu.stat) as a map, or
/// nothing when it cannot be read; fails on a line that is not two fields with an unsigned value.
[[nodiscard]] std::optional<std::map<std::string, std::uint64_t, std::less<>>> readKeyedFile(
    const std::string& path);

/// The ten-second averages of a pressure stall file, as the kernel prints them ("4.12"); `full` is
/// empty when the file has no full line (cpu on older kernels).
struct Stall {
  std::string some_avg10;
  std::string full_avg10;
};

/// Returns the stall averages in `path`, or nothing when it cannot be read (a kernel without
/// pressure stall information). Fails on a line that is not "some|full avg10=A avg60=A avg300=A
/// total=N" with each A a plain decimal of at most 100, or on a file without a some line.
[[nodiscard]] std::optional<Stall> readStall(const std::string& path);

/// A share of something counted: `part` out of `whole`.
struct Share {
  std::uint64_t part = 0;
  std::uint64_t whole = 0;
};

/// Returns part / whole; 0 for an empty whole, which only a count of losses can have (an
/// interface that has carried no packet has lost none).
[[nodiscard]] double fraction(Share share);

/// The counters of one subject at its previous capture, and the capture that last set them.
struct Baseline {
  std::vector<std::uint64_t> values;
  std::uint64_t at_ns = 0;
  std::uint64_t generation = 0;
};

/// Each subject's counters at its previous capture, by a key of its own.
using Baselines = std::map<std::string, Baseline, std::less<>>;

/// How far the counters rose since the previous capture, over `ns` nanoseconds.
struct Rise {
  std::vector<std::uint64_t> values;
  std::uint64_t ns = 0;
};

/// Returns how far `now` rose since the baseline of `key`, or nothing at its first capture; records
/// `now` at `at_ns` in `generation` as the next baseline even when it fails, so that a counter
/// reset spoils one capture only. Fails at `where` with "COUNTERS went backwards since the
/// previous capture" or "COUNTERS changed in number since the previous capture".
[[nodiscard]] std::optional<Rise> rise(Baselines& baselines, std::string_view key,
                                       const std::vector<std::uint64_t>& now, std::uint64_t at_ns,
                                       std::uint64_t generation, const Where& where,
                                       std::string_view counters);

/// Returns "boot" for a reading since the counters started, else the nanoseconds of `rise`.
[[nodiscard]] std::string windowOf(const std::optional<Rise>& rise);

/// What every observation of one capture shares.
struct Context {
  const std::string& system_id;
  const std::string& host_id;
  std::uint64_t epoch = 0;
  std::uint64_t sequence = 0;
  const qm::Clock& clock;
  Baselines& baselines;
  std::uint64_t generation = 0;
};

/// Returns an observation of this capture with its identity: a host's parent is the system, any
/// other subject's (but the system's) the host; observed now.
[[nodiscard]] qm::Observation observation(const Context& context, qm::EntityKind kind,
                                          std::string id);

/// Returns `degraded` from `pressure` `degraded_at` on, else `healthy`.
[[nodiscard]] qm::HealthState loadHealth(double pressure, double degraded_at);

/// Adds what was observed now: `lifecycle` (ready while running), `health`, `pressure`.
void observe(qm::Observation& record, double pressure, qm::HealthState health,
             qm::AttributeMap attributes,
             qm::LifecycleState lifecycle = qm::LifecycleState::running);

/// A probe and the place in its source that names its subject.
struct Candidate {
  qm::SnapshotProbe probe;
  Where source;
};

/// Returns the probes of `candidates`, one per id: an id that two sources name becomes one probe
/// that fails with "ID is named by SOURCE and SOURCE", so that no reading of either is shown.
[[nodiscard]] std::vector<qm::SnapshotProbe> distinctProbes(std::vector<Candidate> candidates);

/// A probe that stands for a whole source: missing when it cannot be read, otherwise invalid
/// with `error`.
[[nodiscard]] qm::SnapshotProbe fileProbe(std::string id, bool readable, std::string error);

/// A subject that a line of a source file names; `error` says why that line cannot stand for it.
struct Item {
  std::string name;
  Line line;
  std::string_view rest;
  std::string error;
};

/// The subjects one file lists, and what spoils the file as a whole.
struct Listing {
  std::vector<Item> items;
  std::string error;
};

/// Adds the subject `name` named at `line`; a name listed before makes that item fail with
/// "PATH line N: NAME is listed twice".
void addItem(Listing& listing, std::string name, Line line, std::string_view rest,
             std::string_view path);

}  // namespace Quillon::Tools::State::detail

#endif  // QUILLON_STATE_PROBE_SUPPORT_HPP
