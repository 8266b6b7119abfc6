#include "host_probes.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
namespace qm = Quillon::Core::Monitoring;
using Quillon::Tools::State::HostProbes;

const fs::path kFixtures = QUILLON_STATE_FIXTURES;
constexpr auto kCopy = fs::copy_options::recursive | fs::copy_options::overwrite_existing;

/// The fixture tree copied to a fresh directory, `overlay`'s files laid over it, `remove` removed.
std::string tree(std::string_view overlay, std::string_view remove) {
  const fs::path root = fs::path(testing::TempDir()) / "quillon-proc" /
                        testing::UnitTest::GetInstance()->current_test_info()->name() /
                        (std::string(overlay) + "-" + std::string(remove));
  fs::remove_all(root);
  fs::create_directories(root);
  fs::copy(kFixtures / "proc", root, kCopy);
  if (!overlay.empty()) fs::copy(kFixtures / "hostile" / overlay, root, kCopy);
  if (!remove.empty()) fs::remove(root / remove);
  return root.string();
}

/// The number of subjects, then one line "ID STATUS: DIAGNOSTIC" per subject not captured, with
/// paths given relative to `root`.
std::string uncaptured(const qm::RuntimeStateSnapshot& snapshot, const std::string& root) {
  std::string lines = std::to_string(snapshot.subjects.size());
  for (const qm::SubjectResult& subject : snapshot.subjects) {
    if (subject.status == qm::SubjectStatus::captured) continue;
    std::string diagnostic = subject.diagnostic;
    if (diagnostic.starts_with(root + "/")) diagnostic.erase(0, root.size() + 1);
    lines += "\n" + subject.id + " " + std::string(toString(subject.status)) + ": " + diagnostic;
  }
  return lines;
}

TEST(HostProbes, HostileSourcesMakeTheirSubjectsInvalidOrMissing) {
  struct Row {
    std::string_view overlay;
    std::string_view remove;
    std::string_view expected;
  };
  const Row rows[] = {
      {"", "", "6"},
      {"stat-garbled", "",
       "6\ndevice:lab/cpu0 invalid: stat line 2: tick count 1 is not a plain unsigned decimal"
       "\ndevice:lab/cpu1 invalid: stat line 3: expected at least 4 tick counts"},
      {"stat-range", "",
       "6\ndevice:lab/cpu0 invalid: stat line 2: tick count 2 is out of range"
       "\ndevice:lab/cpu1 invalid: stat line 3: sum of tick counts is out of range"},
      {"stat-zero", "",
       "6\ndevice:lab/cpu0 invalid: stat line 2: total of zero ticks"
       "\ndevice:lab/cpu1 invalid: stat line 4: cpu1 is listed twice"},
      {"stat-no-cpus", "", "5\ndevice:lab/cpu invalid: stat: expected a cpuN line"},
      {"", "stat", "5\ndevice:lab/cpu missing: probe returned no observation"},
      {"meminfo-above", "", "6\nhost:lab/lab invalid: meminfo: MemAvailable is above MemTotal"},
      {"meminfo-garbled", "",
       "6\nhost:lab/lab invalid: meminfo line 1: MemTotal is not a plain unsigned decimal"},
      {"meminfo-short", "", "6\nhost:lab/lab invalid: meminfo: expected a MemAvailable line"},
      {"meminfo-zero", "", "6\nhost:lab/lab invalid: meminfo: MemTotal is zero"},
      {"loadavg-garbled", "",
       "6\nhost:lab/lab invalid: loadavg line 1: load average 2 is not a plain decimal"},
      {"loadavg-short", "", "6\nhost:lab/lab invalid: loadavg line 1: expected 3 load averages"},
      {"", "loadavg", "6\nhost:lab/lab missing: probe returned no observation"},
      {"net-dev-garbled", "",
       "7\nnetwork:lab/eth0 invalid: net/dev line 4: expected 16 counters"
       "\nnetwork:lab/lo invalid: net/dev line 3: counter 1 is not a plain unsigned decimal"
       "\nnetwork:lab/net invalid: net/dev line 5: expected an interface name and a colon"},
      {"", "net/dev", "5\nnetwork:lab/net missing: probe returned no observation"},
  };
  for (const Row& row : rows) {
    const std::string root = tree(row.overlay, row.remove);
    SCOPED_TRACE(root);
    HostProbes probes(root, "lab", [] { return std::uint64_t{7}; });
    const qm::RuntimeStateSnapshot snapshot = probes.capture(1, 1);
    EXPECT_EQ(row.expected, uncaptured(snapshot, root));
    EXPECT_EQ(row.expected.size() == 1, snapshot.status == qm::SnapshotStatus::complete);
  }
}

TEST(HostProbes, SharesCoverTheIntervalSinceThePreviousCapture) {
  struct Step {
    const char* description;
    std::string_view overlay;
    std::uint64_t now;
    std::string_view expected;
    std::string_view cpu0_window;
    double cpu0_pressure;
  };
  const Step steps[] = {
      {"first capture: since boot", "", 1000, "6", "boot", 2994.0 / 11379.0},
      {"30 busy ticks of 100, cpu1 reset", "stat-later", 5000,
       "6\ndevice:lab/cpu1 invalid: stat line 3: tick counts went backwards since the previous "
       "capture",
       "4000", 0.3},
      {"no tick since: since boot again", "stat-later", 9000, "6", "boot", 3024.0 / 11479.0},
  };
  const std::string root = tree("", "");
  std::uint64_t now = 0;
  HostProbes probes(root, "lab", [&] { return now; });
  std::uint64_t sequence = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.description);
    if (!step.overlay.empty()) fs::copy(kFixtures / "hostile" / step.overlay, root, kCopy);
    now = step.now;
    const qm::RuntimeStateSnapshot snapshot = probes.capture(1, ++sequence);
    EXPECT_EQ(step.expected, uncaptured(snapshot, root));
    const qm::ObservedState& cpu0 = *snapshot.subjects[0].observation->observed;
    EXPECT_EQ(step.cpu0_window, cpu0.attributes.at("window"));
    EXPECT_DOUBLE_EQ(step.cpu0_pressure, cpu0.pressure);
    // eth0's counters never move: every capture shows them since boot.
    const qm::ObservedState eth0{qm::LifecycleState::running,
                                 qm::HealthState::healthy,
                                 true,
                                 11.0 / 975332.0,
                                 step.now,
                                 {{"lost_packets", "11"},
                                  {"packets", "975332"},
                                  {"rx_bytes", "98765432"},
                                  {"tx_bytes", "45678901"},
                                  {"window", "boot"}}};
    EXPECT_EQ(eth0, snapshot.subjects[3].observation->observed);
  }
}

TEST(HostProbes, HostNamesBecomeIdentifierTokens) {
  EXPECT_EQ("localhost", Quillon::Tools::State::hostToken(""));
  EXPECT_EQ("db-1-a-b-c-", Quillon::Tools::State::hostToken("db 1:a/b\\c\t"));
  EXPECT_EQ("\x7f\xc3\xa9", Quillon::Tools::State::hostToken("\x7f\xc3\xa9"));
}

}  // namespace
