// The host probes over a fixture node (proc and sys trees: 2 CPUs, 2 interfaces, 4 disks, pressure
// stall files, 2 DRM cards, 1 cgroup) and a fake NVML library, one table per source whose hostile
// rows lay overlays from hostile/ over the node.
#include "host_probes.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <string_view>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "fake_nvml.hpp"

namespace {

namespace fs = std::filesystem;
namespace qm = Quillon::Core::Monitoring;
using namespace Quillon::Tools::State;

const fs::path kFixtures = QUILLON_STATE_FIXTURES;
constexpr auto kCopy = fs::copy_options::recursive | fs::copy_options::overwrite_existing;

/// The fake NVML library's state, loaded once and kept loaded so that it outlives every probe.
FakeNvml& fake() {
  static void* const library = ::dlopen(QUILLON_STATE_FAKE_NVML, RTLD_NOW);
  static FakeNvml* const state = reinterpret_cast<FakeNvml* (*)()>(::dlsym(library, "fakeNvml"))();
  return *state;
}

/// The fixture node copied to a fresh directory, `overlay`'s files laid over it, `remove` removed.
std::string tree(std::string_view overlay, std::string_view remove) {
  const fs::path root = fs::path(testing::TempDir()) / "quillon-node" /
                        testing::UnitTest::GetInstance()->current_test_info()->name() /
                        (std::string(overlay) + "-" + std::string(remove));
  fs::remove_all(root);
  fs::create_directories(root);
  for (const char* part : {"proc", "sys"})
    fs::copy(kFixtures / part, root / part, kCopy);
  if (!overlay.empty()) fs::copy(kFixtures / "hostile" / overlay, root, kCopy);
  if (!remove.empty()) fs::remove_all(root / remove);
  return root.string();
}

/// The node's probes as system and host "lab", watching its cgroup, with the fake NVML.
HostProbeOptions options(const std::string& root) {
  return {root + "/proc",         root + "/sys", "lab", "lab", 0, {"/system.slice/web.service"},
          QUILLON_STATE_FAKE_NVML};
}

/// The number of subjects, then one line per subject not captured ("ID STATUS: DIAGNOSTIC",
/// paths relative to `root`) and per observed subject whose id matches `detail` ("ID HEALTH
/// LIFECYCLE PRESSURE", then `window` or with `full` every attribute, as KEY=VALUE).
std::string describe(const qm::RuntimeStateSnapshot& snapshot, const std::string& root,
                     std::string_view detail = {}, bool full = false) {
  const std::regex selected{std::string(detail)};
  std::string lines = std::to_string(snapshot.subjects.size());
  for (const qm::SubjectResult& subject : snapshot.subjects) {
    if (subject.status != qm::SubjectStatus::captured) {
      std::string diagnostic = subject.diagnostic;
      for (std::size_t at; (at = diagnostic.find(root + "/")) != std::string::npos;) {
        diagnostic.erase(at, root.size() + 1);
      }
      lines += "\n" + subject.id + " " + std::string(toString(subject.status)) + ": " + diagnostic;
      continue;
    }
    if (detail.empty() || !subject.observation->observed ||
        !std::regex_search(subject.id, selected)) {
      continue;
    }
    const qm::ObservedState& observed = *subject.observation->observed;
    std::array<char, 32> pressure{};
    std::snprintf(pressure.data(), pressure.size(), "%g", observed.pressure);
    lines += "\n" + subject.id + " " + std::string(toString(observed.health)) + " " +
             std::string(toString(observed.lifecycle)) + (observed.ready ? " " : " not-ready ") +
             pressure.data();
    for (const auto& [key, value] : observed.attributes) {
      if (full || key == "window") lines += " " + key + "=" + value;
    }
  }
  return lines;
}

/// A capture of the node with `overlay` laid over it and `remove` removed.
struct Row {
  std::string_view overlay;
  std::string_view remove;
  std::string_view detail;
  std::string_view expected;
};

void expectRows(std::initializer_list<Row> rows) {
  fake() = FakeNvml{};
  for (const Row& row : rows) {
    const std::string root = tree(row.overlay, row.remove);
    SCOPED_TRACE(root);
    HostProbes probes(options(root), [] { return std::uint64_t{7}; });
    EXPECT_EQ(row.expected, describe(probes.capture(1, 1), root, row.detail, true));
  }
}

TEST(HostProbes, ProcSourcesAndPressureStalls) {
  expectRows({
      {"", "", "host:|network:",
       "13\nhost:lab/lab healthy running 0.25 load1=0.52 load15=0.59 load5=0.58 "
       "mem_available_kib=6036432 mem_total_kib=8048576 psi_cpu_some_avg10=1.50 "
       "psi_io_full_avg10=1.25 psi_io_some_avg10=3.00 psi_memory_full_avg10=0.75 "
       "psi_memory_some_avg10=2.25"
       "\nnetwork:lab/eth0 healthy running 1.12782e-05 lost_packets=11 packets=975332 "
       "rx_bytes=98765432 tx_bytes=45678901 window=boot"
       "\nnetwork:lab/lo healthy running 0 lost_packets=0 packets=2000 rx_bytes=123456 "
       "tx_bytes=123456 window=boot"},
      {"psi-thrashing", "proc/pressure/io", "host:",
       "13\nhost:lab/lab degraded running 0.95 load1=0.52 load15=0.59 load5=0.58 "
       "mem_available_kib=6036432 mem_total_kib=8048576 psi_cpu_some_avg10=1.50 "
       "psi_memory_full_avg10=95.00 psi_memory_some_avg10=97.00"},
      {"psi-garbled", "", "",
       "13\nhost:lab/lab invalid: proc/pressure/memory line 2: avg10 is not a percentage"},
      {"stat-garbled", "", "",
       "13\ndevice:lab/cpu0 invalid: proc/stat line 2: tick count 1 is not a plain unsigned "
       "decimal\ndevice:lab/cpu1 invalid: proc/stat line 3: expected at least 4 tick counts"},
      {"stat-range", "", "",
       "13\ndevice:lab/cpu0 invalid: proc/stat line 2: tick count 2 is out of range"
       "\ndevice:lab/cpu1 invalid: proc/stat line 3: sum of tick counts is out of range"},
      {"stat-zero", "", "",
       "13\ndevice:lab/cpu0 invalid: proc/stat line 2: total of zero ticks"
       "\ndevice:lab/cpu1 invalid: proc/stat line 4: cpu1 is listed twice"},
      {"stat-no-cpus", "", "", "12\ndevice:lab/cpu invalid: proc/stat: expected a cpuN line"},
      {"", "proc/stat", "", "12\ndevice:lab/cpu missing: probe returned no observation"},
      {"meminfo-above", "", "",
       "13\nhost:lab/lab invalid: proc/meminfo: MemAvailable is above MemTotal"},
      {"meminfo-garbled", "", "",
       "13\nhost:lab/lab invalid: proc/meminfo line 1: MemTotal is not a plain unsigned decimal"},
      {"meminfo-short", "", "",
       "13\nhost:lab/lab invalid: proc/meminfo: expected a MemAvailable line"},
      {"meminfo-zero", "", "", "13\nhost:lab/lab invalid: proc/meminfo: MemTotal is zero"},
      {"loadavg-garbled", "", "",
       "13\nhost:lab/lab invalid: proc/loadavg line 1: load average 2 is not a plain decimal"},
      {"loadavg-short", "", "",
       "13\nhost:lab/lab invalid: proc/loadavg line 1: expected 3 load averages"},
      {"", "proc/loadavg", "", "13\nhost:lab/lab missing: probe returned no observation"},
      {"net-dev-garbled", "", "",
       "14\nnetwork:lab/eth0 invalid: proc/net/dev line 4: expected 16 counters"
       "\nnetwork:lab/lo invalid: proc/net/dev line 3: counter 1 is not a plain unsigned decimal"
       "\nnetwork:lab/net invalid: proc/net/dev line 5: expected an interface name and a colon"},
      {"", "proc/net/dev", "", "12\nnetwork:lab/net missing: probe returned no observation"},
  });
}

TEST(HostProbes, WholeDisksOfDiskstats) {
  expectRows({
      {"", "", "dm-|nvme|sd",
       "13\ndevice:lab/dm-0 healthy running 0 in_flight=0 read_bytes=0 window=boot write_bytes=0"
       "\ndevice:lab/nvme0n1 healthy running 0.5 in_flight=1 read_bytes=20480000 window=boot "
       "write_bytes=12288000"
       "\ndevice:lab/sda healthy running 0.25 in_flight=2 read_bytes=1024000 window=boot "
       "write_bytes=512000"
       "\ndevice:lab/sdb healthy running 0.1 in_flight=0 read_bytes=102400 window=boot "
       "write_bytes=0"},
      {"diskstats-garbled", "", "",
       "13\ndevice:lab/disk invalid: proc/diskstats line 5: expected a device name"
       "\ndevice:lab/nvme0n1 invalid: proc/diskstats line 4: nvme0n1 is listed twice"
       "\ndevice:lab/sda invalid: proc/diskstats line 1: statistic 3 is not a plain unsigned "
       "decimal\ndevice:lab/sdb invalid: proc/diskstats line 2: expected at least 11 statistics"},
      {"diskstats-range", "", "",
       "11\ndevice:lab/sda invalid: proc/diskstats line 1: sectors read is out of range"
       "\ndevice:lab/sdb invalid: proc/diskstats line 2: io_ticks is above the uptime"},
      {"", "sys/block", "", "10\ndevice:lab/disk missing: probe returned no observation"},
      {"", "proc/uptime", "",
       "13\ndevice:lab/dm-0 missing: probe returned no observation"
       "\ndevice:lab/nvme0n1 missing: probe returned no observation"
       "\ndevice:lab/sda missing: probe returned no observation"
       "\ndevice:lab/sdb missing: probe returned no observation"},
  });
}

TEST(HostProbes, DrmCardsWithABusyPercentage) {
  expectRows({
      {"", "", "card",
       "13\ndevice:lab/card0 unknown running 0.25 memory_total_bytes=17179869184 "
       "memory_used_bytes=4294967296 utilization_percent=37"
       "\ndevice:lab/card1 unknown running 0.0625 memory_total_bytes=8589934592 "
       "memory_used_bytes=536870912 utilization_percent=0"},
      {"drm-garbled", "", "",
       "13\ndevice:lab/card0 invalid: sys/class/drm/card0/device/gpu_busy_percent line 1: "
       "expected one plain unsigned decimal\ndevice:lab/card1 invalid: "
       "sys/class/drm/card1/device/mem_info_vram_total line 1: memory used is above memory total"},
      {"drm-range", "", "",
       "13\ndevice:lab/card0 invalid: sys/class/drm/card0/device/gpu_busy_percent line 1: busy "
       "percentage is above 100\ndevice:lab/card1 invalid: "
       "sys/class/drm/card1/device/mem_info_vram_total line 1: memory total is zero"},
      {"", "sys/class/drm/card1/device/mem_info_vram_used", "",
       "13\ndevice:lab/card1 missing: probe returned no observation"},
      {"", "sys/class/drm", "", "11"},
  });
}

TEST(HostProbes, CgroupsWatched) {
  const std::string cgroup = "sys/fs/cgroup/system.slice/web.service";
  expectRows({
      {"", "", "run:",
       "13\nrun:lab/web.service healthy running 0.25 cgroup=/system.slice/web.service "
       "memory_current_bytes=268435456 memory_max_bytes=1073741824 nr_throttled=7 oom_kill=0 "
       "psi_memory_full_avg10=0.20 psi_memory_some_avg10=0.50 throttled_usec=35000 window=boot"},
      {"cgroup-stopped", cgroup + "/memory.pressure", "run:",
       "13\nrun:lab/web.service unhealthy stopped not-ready 0.0325702 "
       "cgroup=/system.slice/web.service "
       "memory_current_bytes=268435456 memory_max_bytes=max oom_kill=2 window=boot"},
      {"cgroup-garbled", "", "",
       "13\nrun:lab/web.service invalid: " + cgroup +
           "/memory.events line 5: expected a key and a value"},
      {"cgroup-zero", "", "",
       "13\nrun:lab/web.service invalid: " + cgroup + "/memory.max line 1: memory.max is zero"},
      {"cgroup-above", "", "",
       "13\nrun:lab/web.service invalid: " + cgroup +
           "/memory.current line 1: memory.current is above memory.max"},
      {"", cgroup, "", "13\nrun:lab/web.service missing: probe returned no observation"},
  });
}

TEST(HostProbes, SharesAndRisesCoverTheIntervalSinceThePreviousCapture) {
  struct Step {
    const char* description;
    std::string_view overlay;
    std::string_view remove;
    std::string expected;
  };
  const std::string busy =
      "\ndevice:lab/nvme0n1 healthy running 0 window=2000000000"
      "\ndevice:lab/sda healthy running 0 window=2000000000"
      "\ndevice:lab/sdb healthy running 0 window=2000000000";
  const Step steps[] = {
      {"first capture: since boot", "", "",
       "13\ndevice:lab/cpu0 healthy running 0.263116 window=boot"
       "\ndevice:lab/nvme0n1 healthy running 0.5 window=boot"
       "\ndevice:lab/sda healthy running 0.25 window=boot"
       "\ndevice:lab/sdb healthy running 0.1 window=boot"
       "\nrun:lab/web.service healthy running 0.25 window=boot"},
      {"30 of 100 ticks busy, cpu1 and sdb reset, nvme0n1 busier than the window, an OOM kill",
       "later", "",
       "13\ndevice:lab/cpu0 healthy running 0.3 window=2000000000"
       "\ndevice:lab/cpu1 invalid: proc/stat line 3: tick counts went backwards since the "
       "previous capture"
       "\ndevice:lab/nvme0n1 invalid: proc/diskstats line 3: io_ticks rose by 3000 ms in a "
       "window of 2000000000 ns"
       "\ndevice:lab/sda healthy running 0.25 window=2000000000"
       "\ndevice:lab/sdb invalid: proc/diskstats line 2: statistics went backwards since the "
       "previous capture"
       "\nrun:lab/web.service unhealthy running 0.25 window=2000000000"},
      {"nothing counted since", "later", "",
       "13\ndevice:lab/cpu0 healthy running 0.263438 window=boot" + busy +
           "\nrun:lab/web.service healthy running 0.25 window=2000000000"},
      {"the service stops", "", "sys/fs/cgroup/system.slice/web.service/memory.current",
       "13\ndevice:lab/cpu0 healthy running 0.263438 window=boot" + busy +
           "\nrun:lab/web.service missing: probe returned no observation"},
      {"and restarts with counters of its own", "restart", "",
       "13\ndevice:lab/cpu0 healthy running 0.263438 window=boot" + busy +
           "\nrun:lab/web.service healthy running 0.25 window=boot"},
      {"sda busy a tick beyond the window, nvme0n1 more than a tick", "disk-tick", "",
       "13\ndevice:lab/cpu0 healthy running 0.263438 window=boot"
       "\ndevice:lab/nvme0n1 invalid: proc/diskstats line 3: io_ticks rose by 2011 ms in a "
       "window of 2000000000 ns"
       "\ndevice:lab/sda degraded running 1 window=2000000000"
       "\ndevice:lab/sdb healthy running 0 window=2000000000"
       "\nrun:lab/web.service healthy running 0.25 window=2000000000"},
  };
  const std::string root = tree("", "");
  std::uint64_t now = 0;
  HostProbes probes(options(root), [&] { return now; });
  std::uint64_t sequence = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.description);
    if (!step.overlay.empty()) fs::copy(kFixtures / "hostile" / step.overlay, root, kCopy);
    if (!step.remove.empty()) fs::remove(fs::path(root) / step.remove);
    now += 2'000'000'000;
    EXPECT_EQ(step.expected, describe(probes.capture(1, ++sequence), root, "cpu0|sd|nvme|run"));
  }
}

/// Two GPUs: an idle one with every reading, and a T4 held back by heat that counts no ECC errors
/// and retires no pages.
void twoGpus(FakeNvml& nvml) {
  nvml.count = 2;
  nvml.gpus[0] = {{"GPU-0a"}, {"Fake A100"}, {85899345920, 0, 21474836480}, 40, 55, 250000, 0, 0,
                  0};
  nvml.gpus[1] = {{"GPU-1b"}, {"Fake T4"}, {16106127360, 0, 0}, 0, 40, 30000};
  nvml.gpus[1].throttle = 0x40;  // hardware thermal slowdown
}

TEST(HostProbes, NvidiaGpusThroughNvml) {
  struct GpuRow {
    const char* description;
    std::uint64_t expect_gpus;
    void (*setup)(FakeNvml&);
    std::string_view detail;  // as describe's, "+" first for every attribute
    std::string_view expected;
  };
  const GpuRow rows[] = {
      {"two GPUs", 0, [](FakeNvml&) {}, "+gpu",
       "15\ndevice:lab/gpu0 healthy running 0.25 ecc_uncorrected_volatile=0 "
       "memory_total_bytes=85899345920 memory_used_bytes=21474836480 name=Fake A100 "
       "power_mw=250000 retired_pages_pending=false row_remap_failed=false "
       "row_remap_pending=false temperature_c=55 throttle_reasons=0x0000000000000000 "
       "utilization_percent=40 uuid=GPU-0a window=boot"
       "\ndevice:lab/gpu1 degraded running 0 memory_total_bytes=16106127360 memory_used_bytes=0 "
       "name=Fake T4 power_mw=30000 temperature_c=40 throttle_reasons=0x0000000000000040 "
       "utilization_percent=0 uuid=GPU-1b window=boot"},
      {"uncorrected errors, a remapping pending", 2,
       [](FakeNvml& nvml) {
         nvml.gpus[0].ecc = 3;
         nvml.gpus[1].remap_pending = 1;
         nvml.gpus[1].throttle = 0;
       },
       "gpu",
       "15\ndevice:lab/gpu0 unhealthy running 0.25 window=boot"
       "\ndevice:lab/gpu1 unhealthy running 0 window=boot"},
      {"a call fails", 2,
       [](FakeNvml& nvml) {
         std::snprintf(nvml.failing_call.data(), 64, "nvmlDeviceGetPowerUsage");
         nvml.failing_gpu = 1;
         nvml.failing_code = 15;
       },
       "", "15\ndevice:lab/gpu1 invalid: nvmlDeviceGetPowerUsage: GPU is lost"},
      {"no handle", 0,
       [](FakeNvml& nvml) {
         std::snprintf(nvml.failing_call.data(), 64, "nvmlDeviceGetHandleByIndex_v2");
         nvml.failing_code = 999;
       },
       "", "15\ndevice:lab/gpu0 invalid: nvmlDeviceGetHandleByIndex_v2: Unknown Error"},
      {"one GPU fewer than expected", 3, [](FakeNvml&) {}, "",
       "16\ndevice:lab/gpu2 missing: 2 of 3 expected GPUs visible"},
      {"no driver, two expected", 2, [](FakeNvml& nvml) { nvml.init_result = 9; }, "",
       "15\ndevice:lab/gpu0 missing: nvmlInit_v2: Driver Not Loaded"
       "\ndevice:lab/gpu1 missing: nvmlInit_v2: Driver Not Loaded"},
      {"no driver, none expected", 0, [](FakeNvml& nvml) { nvml.init_result = 9; }, "", "13"},
      {"no count", 0, [](FakeNvml& nvml) { nvml.count_result = 999; }, "",
       "14\ndevice:lab/gpu invalid: nvmlDeviceGetCount_v2: Unknown Error"},
      {"one UUID twice", 0, [](FakeNvml& nvml) { nvml.gpus[1].uuid = nvml.gpus[0].uuid; }, "",
       "15\ndevice:lab/gpu0 invalid: gpu0 and gpu1 report the same uuid GPU-0a"
       "\ndevice:lab/gpu1 invalid: gpu0 and gpu1 report the same uuid GPU-0a"},
      {"readings out of range", 0,
       [](FakeNvml& nvml) {
         nvml.gpus[0].memory.used = nvml.gpus[0].memory.total + 1;
         nvml.gpus[1].utilization = 101;
       },
       "",
       "15\ndevice:lab/gpu0 invalid: nvmlDeviceGetMemoryInfo: memory used is above memory total"
       "\ndevice:lab/gpu1 invalid: nvmlDeviceGetUtilizationRates: utilization 101 is above 100"},
  };
  const std::string root = tree("", "");
  for (const GpuRow& row : rows) {
    SCOPED_TRACE(row.description);
    fake() = FakeNvml{};
    twoGpus(fake());
    row.setup(fake());
    HostProbeOptions node = options(root);
    node.expect_gpus = row.expect_gpus;
    HostProbes probes(std::move(node), [] { return std::uint64_t{7}; });
    const bool full = row.detail.starts_with('+');
    EXPECT_EQ(row.expected, describe(probes.capture(1, 1), root, row.detail.substr(full), full));
  }
  EXPECT_EQ(fake().inits, 1);  // the last row's, once for all its captures
}

TEST(HostProbes, GpuErrorsRiseSinceThePreviousCaptureAndNvmlShutsDownOnce) {
  fake() = FakeNvml{};
  twoGpus(fake());
  const std::string root = tree("", "");
  {
    std::uint64_t now = 0;
    HostProbes probes(options(root), [&] { return now += 1000; });
    std::string health;
    for (const long long errors : {0, 1, 1, 0}) {
      fake().gpus[0].ecc = errors;
      const qm::RuntimeStateSnapshot snapshot = probes.capture(1, 1);
      const qm::SubjectResult& gpu0 = snapshot.subjects[5];
      ASSERT_EQ("device:lab/gpu0", gpu0.id);
      health += gpu0.observation ? std::string(toString(gpu0.observation->observed->health)) + " "
                                 : gpu0.diagnostic;
    }
    EXPECT_EQ(
        "healthy unhealthy healthy nvmlDeviceGetTotalEccErrors: uncorrected ECC errors went "
        "backwards since the previous capture",
        health);
  }
  EXPECT_EQ(1, fake().inits);
  EXPECT_EQ(1, fake().shutdowns);
}

TEST(HostProbes, WithoutNvidiaDriverExpectedGpusAreMissing) {
  if (void* nvml = ::dlopen("libnvidia-ml.so.1", RTLD_NOW)) {
    ::dlclose(nvml);
    GTEST_SKIP() << "this machine has NVIDIA's driver";
  }
  const std::string root = tree("", "");
  HostProbeOptions node = options(root);
  node.nvml_library = "libnvidia-ml.so.1";
  node.expect_gpus = 1;
  EXPECT_EQ(
      "14\ndevice:lab/gpu0 missing: libnvidia-ml.so.1: cannot open shared object file: No such "
      "file or directory",
      describe(HostProbes(node, {}).capture(1, 1), root));
  // A library that is not NVML's (an old driver's lacking a call we need) names what it lacks.
  node.nvml_library = "libz.so.1";
  const std::string lacking = describe(HostProbes(std::move(node), {}).capture(1, 1), root);
  EXPECT_TRUE(lacking.starts_with("14\ndevice:lab/gpu0 missing: ")) << lacking;
  EXPECT_TRUE(lacking.ends_with("libz.so.1: undefined symbol: nvmlInit_v2")) << lacking;
}

TEST(HostProbes, HostIdsApartFromTheSystemId) {
  fake() = FakeNvml{};
  const std::string root = tree("", "");
  HostProbeOptions node = options(root);
  node.host_id = "node-1";
  node.cgroups.clear();
  std::string ids;
  for (const qm::SubjectResult& subject : HostProbes(node, {}).capture(1, 1).subjects) {
    ids += subject.id + " ";
  }
  EXPECT_EQ(
      "device:node-1/card0 device:node-1/card1 device:node-1/cpu0 device:node-1/cpu1 "
      "device:node-1/dm-0 device:node-1/nvme0n1 device:node-1/sda device:node-1/sdb "
      "host:lab/node-1 network:node-1/eth0 network:node-1/lo ",
      ids);
  node.host_id = "db 1";
  EXPECT_THROW(HostProbes(node, {}), std::invalid_argument);
  EXPECT_EQ("localhost", hostToken(""));
  EXPECT_EQ("db-1-a-b-c-", hostToken("db 1:a/b\\c\t"));
  EXPECT_EQ("\x7f\xc3\xa9", hostToken("\x7f\xc3\xa9"));
}

TEST(HostProbes, CgroupPathsBelowTheRoot) {
  EXPECT_EQ((std::vector<std::string>{"web.service", "job-x2d1"}),
            cgroupNames({"/system.slice/web.service", "/job\\x2d1"}));
  for (const char* path : {"/", "relative", "/a//b", "/a/./b", "/a/..", "/a/"}) {
    SCOPED_TRACE(path);
    EXPECT_THROW((void)cgroupNames({path}), std::invalid_argument);
  }
  EXPECT_THROW((void)cgroupNames({"/a/x", "/b/x"}), std::invalid_argument);
}

}  // namespace
