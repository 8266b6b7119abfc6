// Containers and services as their cgroup v2 directories show them: memory against its limit,
// OOM kills, CPU throttling, memory stalls and whether any process is left.
#include <stdexcept>

#include "probe_sources.hpp"

namespace Quillon::Tools::State::detail {

namespace {

constexpr std::uint64_t kKibibyte = 1024;

/// The host's memory in bytes (MemTotal of PROC/meminfo), or nothing when it cannot be read.
std::optional<std::uint64_t> hostMemoryBytes(const std::string& proc) {
  const std::string path = proc + "/meminfo";
  const std::optional<std::string> text = readFile(path);
  if (!text) return std::nullopt;
  return product(meminfoValue(splitLines(*text), "MemTotal:", path), kKibibyte, {path, 0},
                 "MemTotal");
}

/// Whether cgroup.procs lists a process; every line must be a process id.
std::optional<bool> hasProcesses(const std::string& path) {
  const std::optional<std::string> text = readFile(path);
  if (!text) return std::nullopt;
  const std::vector<Line> lines = splitLines(*text);
  for (const Line& line : lines)
    (void)parseCount(line.text, {path, line.number}, "process id");
  return !lines.empty();
}

/// The limit in memory.max: a number, or "max" for none (nothing returned then).
std::optional<std::optional<std::uint64_t>> memoryLimit(const std::string& path) {
  const std::optional<std::string> text = readFile(path);
  if (!text) return std::nullopt;
  if (*text == "max\n") return std::optional<std::uint64_t>();
  const std::optional<std::uint64_t> limit = readValueFile(path);
  if (!limit) return std::nullopt;
  if (*limit == 0) Where{path, 1}.fail("memory.max is zero");
  return limit;
}

std::optional<qm::Observation> readCgroup(const Context& context, const CgroupSource& cgroup,
                                          const std::string& id, const std::string& proc) {
  const std::string base = cgroup.dir + "/";
  const std::optional<bool> running = hasProcesses(base + "cgroup.procs");
  const std::optional<std::uint64_t> current = readValueFile(base + "memory.current");
  const std::optional<std::optional<std::uint64_t>> max = memoryLimit(base + "memory.max");
  const std::string events_path = base + "memory.events";
  const auto events = readKeyedFile(events_path);
  const auto cpu = readKeyedFile(base + "cpu.stat");
  if (!running || !current || !max || !events || !cpu) return std::nullopt;
  const auto oom_kill = events->find("oom_kill");
  if (oom_kill == events->end()) Where{events_path, 0}.fail("expected an oom_kill line");

  const std::optional<std::uint64_t> limit = *max ? *max : hostMemoryBytes(proc);
  if (!limit) return std::nullopt;
  if (*current > *limit) {
    Where{base + "memory.current", 1}.fail(*max ? "memory.current is above memory.max"
                                                : "memory.current is above MemTotal");
  }
  qm::AttributeMap attributes{{"cgroup", cgroup.path},
                              {"memory_current_bytes", std::to_string(*current)},
                              {"memory_max_bytes", *max ? std::to_string(**max) : "max"},
                              {"oom_kill", std::to_string(oom_kill->second)}};
  std::vector<std::uint64_t> counters{oom_kill->second};
  // Without the cpu controller, cpu.stat has no throttling lines: those attributes are absent.
  for (const char* key : {"nr_throttled", "throttled_usec"}) {
    const auto found = cpu->find(key);
    if (found == cpu->end()) continue;
    attributes.emplace(key, std::to_string(found->second));
    counters.push_back(found->second);
  }
  if (const std::optional<Stall> stall = readStall(base + "memory.pressure")) {
    attributes.emplace("psi_memory_some_avg10", stall->some_avg10);
    if (!stall->full_avg10.empty()) attributes.emplace("psi_memory_full_avg10", stall->full_avg10);
  }
  qm::Observation run = observation(context, qm::EntityKind::run, cgroup.name);
  const std::optional<Rise> since =
      rise(context.baselines, id, counters, run.observed_at_ns, context.generation,
           {events_path, 0}, "oom_kill and throttling counters");
  attributes.emplace("window", windowOf(since));
  const bool killed = (since ? since->values[0] : oom_kill->second) > 0;
  const double pressure = fraction({*current, *limit});
  observe(run, pressure, killed ? qm::HealthState::unhealthy : loadHealth(pressure, kDegradedLoad),
          std::move(attributes),
          *running ? qm::LifecycleState::running : qm::LifecycleState::stopped);
  return run;
}

}  // namespace

void addCgroupProbes(std::vector<Candidate>& probes, const Context& context,
                     const std::vector<CgroupSource>& cgroups, const std::string& proc) {
  for (const CgroupSource& cgroup : cgroups) {
    std::string id = "run:" + context.host_id + "/" + cgroup.name;
    probes.push_back(
        {{id, true,
          [&context, &cgroup, &proc, id] { return readCgroup(context, cgroup, id, proc); }},
         {cgroup.dir, 0}});
  }
}

}  // namespace Quillon::Tools::State::detail
