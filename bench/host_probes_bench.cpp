// The host probes capturing the fixture node (2 CPUs, 2 interfaces, 4 disks, pressure stalls,
// 2 DRM cards, 1 cgroup) against the floor: reading the same files with read(2), listing the same
// directories and testing the same paths, as the kernel's own work that no capture can avoid.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <quillon/monitoring/snapshot.hpp>

#include "host_probes.hpp"
#include "race.hpp"

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;
namespace state = Tools::State;

const std::string kNode = QUILLON_STATE_FIXTURES;

/// What one capture of the node reads after its first: every file, directory and existence test.
struct NodeReads {
  std::vector<std::string> files;
  std::vector<std::string> directories;
  std::vector<std::string> tests;
};

NodeReads nodeReads() {
  const std::string proc = kNode + "/proc/";
  const std::string drm = kNode + "/sys/class/drm/";
  const std::string cgroup = kNode + "/sys/fs/cgroup/system.slice/web.service/";
  NodeReads reads;
  for (const char* file : {"stat", "net/dev", "diskstats", "meminfo", "loadavg", "pressure/cpu",
                           "pressure/memory", "pressure/io"}) {
    reads.files.push_back(proc + file);
  }
  for (const char* card : {"card0", "card1"}) {
    for (const char* file : {"gpu_busy_percent", "mem_info_vram_used", "mem_info_vram_total"}) {
      reads.files.push_back(drm + card + "/device/" + file);
    }
  }
  for (const char* file : {"cgroup.procs", "memory.current", "memory.max", "memory.events",
                           "cpu.stat", "memory.pressure"}) {
    reads.files.push_back(cgroup + file);
  }
  reads.directories = {kNode + "/sys/block", drm};
  for (const char* card : {"card0", "card1", "card2"}) {
    reads.tests.push_back(drm + card + "/device/gpu_busy_percent");
  }
  return reads;
}

/// Reads every file of `reads` into `buffer` and lists and tests the rest; returns the bytes read.
std::size_t readNode(const NodeReads& reads, std::array<char, 65536>& buffer) {
  std::size_t bytes = 0;
  for (const std::string& path : reads.files) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    for (ssize_t got = 0; fd >= 0 && (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      bytes += static_cast<std::size_t>(got);
    }
    ::close(fd);
  }
  for (const std::string& path : reads.directories) {
    DIR* directory = ::opendir(path.c_str());
    while (const dirent* entry = ::readdir(directory))
      bytes += entry->d_name[0] != 0 ? 1 : 0;
    ::closedir(directory);
  }
  for (const std::string& path : reads.tests)
    bytes += ::access(path.c_str(), F_OK) == 0 ? 1 : 0;
  return bytes;
}

void fixtureNodeCase(benchmark::State& state) {
  state::HostProbes probes({kNode + "/proc",
                            kNode + "/sys",
                            "lab",
                            "lab",
                            0,
                            {"/system.slice/web.service"},
                            kNode + "/no-libnvidia-ml.so.1"},
                           qm::defaultClock);
  std::uint64_t sequence = 0;
  // The first capture reads the uptime for the disks' shares since boot; later ones do not.
  for (int capture = 0; capture < 2; ++capture) {
    const qm::RuntimeStateSnapshot snapshot = probes.capture(1, ++sequence);
    if (!qm::isConsistent(snapshot) || snapshot.subjects.size() != 13) {
      state.SkipWithError("the fixture node is not captured completely");
      return;
    }
  }
  const NodeReads reads = nodeReads();
  std::array<char, 65536> buffer{};
  Race(state, repeat([&] { benchmark::DoNotOptimize(probes.capture(1, ++sequence)); }))
      .floor("read", repeat([&] { benchmark::DoNotOptimize(readNode(reads, buffer)); }))
      .run();
}

}  // namespace

void registerHostProbeBenchmarks() {
  benchmark::RegisterBenchmark("hostProbes/fixtureNode", fixtureNodeCase);
}

}  // namespace Quillon::Bench
