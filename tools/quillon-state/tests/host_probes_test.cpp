#include "host_probes.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

/// A subject that is not captured; an `invalid` one's diagnostic is given relative to the tree.
struct Expected {
  std::string_view id;
  qm::SubjectStatus status;
  std::string_view diagnostic;
};

/// Checks that `snapshot` has `count` subjects, the `expected` ones as given, the others captured.
void expectSubjects(const qm::RuntimeStateSnapshot& snapshot, const std::string& root,
                    std::size_t count, const std::vector<Expected>& expected) {
  EXPECT_EQ(count, snapshot.subjects.size());
  for (const qm::SubjectResult& subject : snapshot.subjects) {
    SCOPED_TRACE(subject.id);
    const auto row = std::find_if(expected.begin(), expected.end(),
                                  [&](const Expected& e) { return e.id == subject.id; });
    if (row == expected.end()) {
      EXPECT_EQ(qm::SubjectStatus::captured, subject.status) << subject.diagnostic;
      continue;
    }
    EXPECT_EQ(row->status, subject.status);
    const bool invalid = row->status == qm::SubjectStatus::invalid;
    EXPECT_EQ((invalid ? root + "/" : "") + std::string(row->diagnostic), subject.diagnostic);
  }
  for (const Expected& row : expected) {
    EXPECT_TRUE(std::any_of(snapshot.subjects.begin(), snapshot.subjects.end(),
                            [&](const qm::SubjectResult& s) { return s.id == row.id; }))
        << row.id;
  }
}

constexpr auto kInvalid = qm::SubjectStatus::invalid;
constexpr auto kMissing = qm::SubjectStatus::missing;
constexpr std::string_view kNone = "probe returned no observation";

TEST(HostProbes, HostileSourcesMakeTheirSubjectsInvalidOrMissing) {
  struct Row {
    const char* description;
    std::string_view overlay;
    std::string_view remove;
    std::size_t count;
    std::vector<Expected> expected;
  };
  const Row rows[] = {
      {"the fixture tree", "", "", 6, {}},
      {"signs, huge values, letters, a bare cpu line",
       "stat-garbled",
       "",
       6,
       {{"device:lab/cpu0", kInvalid, "stat line 2: tick count 1 is not a plain unsigned decimal"},
        {"device:lab/cpu1", kInvalid, "stat line 3: expected at least 4 tick counts"}}},
      {"values beyond 64 bits, alone and summed",
       "stat-range",
       "",
       6,
       {{"device:lab/cpu0", kInvalid, "stat line 2: tick count 2 is out of range"},
        {"device:lab/cpu1", kInvalid, "stat line 3: sum of tick counts is out of range"}}},
      {"zero ticks, a cpu listed twice",
       "stat-zero",
       "",
       6,
       {{"device:lab/cpu0", kInvalid, "stat line 2: total of zero ticks"},
        {"device:lab/cpu1", kInvalid, "stat line 4: cpu1 is listed twice"}}},
      {"no cpuN line",
       "stat-no-cpus",
       "",
       5,
       {{"device:lab/cpu", kInvalid, "stat: expected a cpuN line"}}},
      {"no stat", "", "stat", 5, {{"device:lab/cpu", kMissing, kNone}}},
      {"available memory above total",
       "meminfo-above",
       "",
       6,
       {{"host:lab/lab", kInvalid, "meminfo: MemAvailable is above MemTotal"}}},
      {"a fractional memory total",
       "meminfo-garbled",
       "",
       6,
       {{"host:lab/lab", kInvalid, "meminfo line 1: MemTotal is not a plain unsigned decimal"}}},
      {"no available memory line",
       "meminfo-short",
       "",
       6,
       {{"host:lab/lab", kInvalid, "meminfo: expected a MemAvailable line"}}},
      {"zero memory",
       "meminfo-zero",
       "",
       6,
       {{"host:lab/lab", kInvalid, "meminfo: MemTotal is zero"}}},
      {"a load average with a letter",
       "loadavg-garbled",
       "",
       6,
       {{"host:lab/lab", kInvalid, "loadavg line 1: load average 2 is not a plain decimal"}}},
      {"two load averages",
       "loadavg-short",
       "",
       6,
       {{"host:lab/lab", kInvalid, "loadavg line 1: expected 3 load averages"}}},
      {"no loadavg", "", "loadavg", 6, {{"host:lab/lab", kMissing, kNone}}},
      {"a negative counter, 15 counters, a line without interface",
       "net-dev-garbled",
       "",
       7,
       {{"network:lab/lo", kInvalid, "net/dev line 3: counter 1 is not a plain unsigned decimal"},
        {"network:lab/eth0", kInvalid, "net/dev line 4: expected 16 counters"},
        {"network:lab/net", kInvalid, "net/dev line 5: expected an interface name and a colon"}}},
      {"no net/dev", "", "net/dev", 5, {{"network:lab/net", kMissing, kNone}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    const std::string root = tree(row.overlay, row.remove);
    HostProbes probes(root, "lab", 1, [] { return std::uint64_t{7}; });
    const qm::RuntimeStateSnapshot snapshot = probes.capture(1);
    expectSubjects(snapshot, root, row.count, row.expected);
    EXPECT_EQ(row.expected.empty(), snapshot.status == qm::SnapshotStatus::complete);
  }
}

TEST(HostProbes, SharesCoverTheIntervalSinceThePreviousCapture) {
  struct Step {
    const char* description;
    std::string_view overlay;
    std::uint64_t now;
    std::string_view cpu0_window;
    double cpu0_pressure;
    std::vector<Expected> expected;
  };
  const Step steps[] = {
      {"first capture: since boot", "", 1000, "boot", 2994.0 / 11379.0, {}},
      {"30 busy ticks of 100, cpu1 reset",
       "stat-later",
       5000,
       "4000",
       0.3,
       {{"device:lab/cpu1", kInvalid,
         "stat line 3: tick counts went backwards since the previous capture"}}},
      {"no tick since: since boot again", "stat-later", 9000, "boot", 3024.0 / 11479.0, {}},
  };
  const std::string root = tree("", "");
  std::uint64_t now = 0;
  HostProbes probes(root, "lab", 1, [&] { return now; });
  std::uint64_t sequence = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.description);
    if (!step.overlay.empty()) {
      fs::copy(kFixtures / "hostile" / step.overlay, root, kCopy);
    }
    now = step.now;
    const qm::RuntimeStateSnapshot snapshot = probes.capture(++sequence);
    expectSubjects(snapshot, root, 6, step.expected);
    const qm::Observation& cpu0 = *snapshot.subjects[0].observation;
    EXPECT_EQ(step.cpu0_window, cpu0.observed->attributes.at("window"));
    EXPECT_DOUBLE_EQ(step.cpu0_pressure, cpu0.observed->pressure);
  }
}

TEST(HostProbes, HostNamesBecomeIdentifierTokens) {
  EXPECT_EQ("localhost", Quillon::Tools::State::hostToken(""));
  EXPECT_EQ("db-1-a-b-c-", Quillon::Tools::State::hostToken("db 1:a/b\\c\t"));
  EXPECT_EQ("\x7f\xc3\xa9", Quillon::Tools::State::hostToken("\x7f\xc3\xa9"));
}

}  // namespace
