// Captures this Linux machine at one logical barrier and prints the runtime-state document on one
// line.
//
//   host_snapshot [PROC_ROOT]        PROC_ROOT defaults to /proc
//
// Subjects, with HOST the machine's host name made into an identifier token:
// - system:HOST, the system itself; always captured.
// - host:HOST/HOST, memory pressure (1 - MemAvailable/MemTotal) from meminfo, load from loadavg.
// - device:HOST/cpuN, one per CPU: the share of non-idle time since boot, from stat.
// A subject whose files cannot be read comes out `missing`; the document is printed all the same.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace {

namespace qm = Quillon::Core::Monitoring;

constexpr std::uint64_t kEpoch = 1;
// Reading /proc takes microseconds; the budget is generous for a machine busy enough to
// deschedule us between two probes.
constexpr std::uint64_t kBudgetNs = 5'000'000'000;
constexpr double kDegradedPressure = 0.9;

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

/// The host name with every byte that an identifier token may not hold replaced by "-";
/// "localhost" when the name cannot be read.
std::string hostName(const std::string& procRoot) {
  const std::optional<std::string> file = readFile(procRoot + "/sys/kernel/hostname");
  std::string name = file ? file->substr(0, file->find('\n')) : std::string();
  for (char& c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || c == '/' || c == ':' || c == '\\') c = '-';
  }
  return name.empty() ? "localhost" : name;
}

/// The CPU names that stat lists ("cpu0", "cpu1", ...). When stat cannot be read, one name per
/// CPU that the standard library reports, so that every CPU still has a subject.
std::vector<std::string> cpuNames(const std::string& procRoot) {
  std::vector<std::string> names;
  if (const std::optional<std::string> stat = readFile(procRoot + "/stat")) {
    std::istringstream lines(*stat);
    std::string name;
    std::string rest;
    while (lines >> name && std::getline(lines, rest)) {
      if (name.size() > 3 && name.starts_with("cpu")) names.push_back(name);
    }
  }
  if (names.empty()) {
    for (unsigned cpu = 0; cpu < std::thread::hardware_concurrency(); ++cpu) {
      names.push_back("cpu" + std::to_string(cpu));
    }
  }
  return names;
}

/// An observation of a running entity of system `systemId` at epoch 1, taken now.
qm::Observation observation(const std::string& systemId, qm::EntityIdentity entity) {
  qm::Observation record;
  record.system_id = systemId;
  record.epoch = kEpoch;
  record.observed_at_ns = qm::defaultClock();
  record.entity = std::move(entity);
  return record;
}

/// Adds what was observed: running and ready, degraded under heavy pressure.
void observe(qm::Observation& record, double pressure, qm::AttributeMap attributes) {
  qm::ObservedState& observed = record.observed.emplace();
  observed.lifecycle = qm::LifecycleState::running;
  observed.health =
      pressure >= kDegradedPressure ? qm::HealthState::degraded : qm::HealthState::healthy;
  observed.ready = true;
  observed.pressure = std::clamp(pressure, 0.0, 1.0);
  observed.last_observed_ns = record.observed_at_ns;
  observed.attributes = std::move(attributes);
}

/// The value in kB of `key` ("MemTotal:") in meminfo text.
std::optional<std::uint64_t> meminfoValue(const std::string& meminfo, const std::string& key) {
  std::istringstream lines(meminfo);
  std::string name;
  std::uint64_t value = 0;
  std::string rest;
  while (lines >> name >> value && std::getline(lines, rest)) {
    if (name == key) return value;
  }
  return std::nullopt;
}

std::optional<qm::Observation> readHost(const std::string& procRoot, const std::string& systemId) {
  const std::optional<std::string> meminfo = readFile(procRoot + "/meminfo");
  const std::optional<std::string> loadavg = readFile(procRoot + "/loadavg");
  if (!meminfo || !loadavg) return std::nullopt;
  const std::optional<std::uint64_t> total = meminfoValue(*meminfo, "MemTotal:");
  const std::optional<std::uint64_t> available = meminfoValue(*meminfo, "MemAvailable:");
  std::istringstream loads(*loadavg);
  std::string load1;
  std::string load5;
  std::string load15;
  if (!total || !available || *total == 0 || !(loads >> load1 >> load5 >> load15)) {
    return std::nullopt;
  }
  qm::Observation host = observation(systemId, {qm::EntityKind::host, systemId, systemId});
  observe(host, 1.0 - static_cast<double>(*available) / static_cast<double>(*total),
          {{"load1", load1},
           {"load5", load5},
           {"load15", load15},
           {"mem_available_kib", std::to_string(*available)},
           {"mem_total_kib", std::to_string(*total)}});
  return host;
}

std::optional<qm::Observation> readCpu(const std::string& procRoot, const std::string& systemId,
                                       const std::string& cpu) {
  const std::optional<std::string> stat = readFile(procRoot + "/stat");
  if (!stat) return std::nullopt;
  std::istringstream lines(*stat);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name;
    if (!(fields >> name) || name != cpu) continue;
    // user nice system idle iowait irq softirq steal; guest time is already counted in user.
    std::uint64_t total = 0;
    std::uint64_t idle = 0;
    std::uint64_t ticks = 0;
    for (int field = 0; field < 8 && fields >> ticks; ++field) {
      total += ticks;
      if (field == 3 || field == 4) idle += ticks;
    }
    const std::uint64_t busy = total - idle;
    qm::Observation device = observation(systemId, {qm::EntityKind::device, cpu, systemId});
    observe(device, total == 0 ? 0.0 : static_cast<double>(busy) / static_cast<double>(total),
            {{"busy_ticks", std::to_string(busy)}, {"total_ticks", std::to_string(total)}});
    return device;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string procRoot = argc > 1 ? argv[1] : "/proc";
    const std::string systemId = hostName(procRoot);
    const std::vector<std::string> cpus = cpuNames(procRoot);

    std::vector<qm::SnapshotProbe> probes;
    probes.push_back(
        {"system:" + systemId, true, [&] {
           qm::Observation system = observation(systemId, {qm::EntityKind::system, systemId, {}});
           system.declared =
               qm::DeclaredState{"linux", "", {{"cpus", std::to_string(cpus.size())}}};
           return system;
         }});
    probes.push_back(
        {"host:" + systemId + "/" + systemId, true, [&] { return readHost(procRoot, systemId); }});
    for (const std::string& cpu : cpus) {
      probes.push_back({"device:" + systemId + "/" + cpu, true,
                        [&, cpu] { return readCpu(procRoot, systemId, cpu); }});
    }
    const qm::SnapshotBarrier barrier(std::move(probes), qm::defaultClock);

    const qm::RuntimeStateSnapshot snapshot =
        barrier.capture(systemId, kEpoch, /*barrier_sequence=*/1, /*logical_time=*/0, kBudgetNs);
    std::cout << snapshot.toCanonicalJson() << '\n';
  } catch (const std::exception& error) {
    std::cerr << "host_snapshot: " << error.what() << '\n';
    return 1;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
