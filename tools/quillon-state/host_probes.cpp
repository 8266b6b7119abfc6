#include "host_probes.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <utility>

#include <quillon/monitoring/observation.hpp>

#include "nvml.hpp"
#include "probe_sources.hpp"

namespace Quillon::Tools::State {

namespace {

namespace qm = Quillon::Core::Monitoring;
using namespace detail;

constexpr double kDegradedLoss = 0.01;
constexpr double kPercent = 100.0;
constexpr std::size_t kMinCpuTicks = 4;
// user nice system idle iowait irq softirq steal; guest time is already counted in user and nice.
constexpr std::size_t kCpuTicksUsed = 8;
constexpr std::size_t kInterfaceCounters = 16;
// net/dev opens with two lines of column headings.
constexpr std::size_t kNetHeaderLines = 2;

using ShareOf = Share (*)(const std::vector<std::uint64_t>&, const Where&);

Share cpuShare(const std::vector<std::uint64_t>& ticks, const Where& where) {
  const auto tick = [&](std::size_t field) { return field < ticks.size() ? ticks[field] : 0; };
  const std::uint64_t total =
      sum({tick(0), tick(1), tick(2), tick(3), tick(4), tick(5), tick(6), tick(7)}, where,
          "sum of tick counts");
  const std::uint64_t idle = tick(3) + tick(4);  // both within total, so no overflow
  return {total - idle, total};
}

Share lossShare(const std::vector<std::uint64_t>& counters, const Where& where) {
  // Received: bytes packets errs drop ...; transmitted from field 8: bytes packets errs drop ...
  const std::uint64_t lost =
      sum({counters[2], counters[3], counters[10], counters[11]}, where, "sum of lost packets");
  return {lost, sum({lost, counters[1], counters[9]}, where, "sum of packets")};
}

/// A share and the interval it covers: "boot" or nanoseconds since the previous capture.
struct Windowed {
  Share share;
  std::string window;
};

/// Returns the share of `now` over the interval since the previous reading of `key`; an interval
/// in which nothing was counted holds no share, so the share since boot stands for it.
Windowed windowed(const Context& context, const std::string& key,
                  const std::vector<std::uint64_t>& now, std::uint64_t at_ns, ShareOf shareOf,
                  const Where& where, std::string_view counters) {
  const Share since_boot = shareOf(now, where);
  const std::optional<Rise> since =
      rise(context.baselines, key, now, at_ns, context.generation, where, counters);
  if (!since) return {since_boot, "boot"};
  const Share interval = shareOf(since->values, where);
  if (interval.whole == 0) return {since_boot, "boot"};
  return {interval, windowOf(since)};
}

Listing listCpus(const std::vector<Line>& lines, std::string_view path) {
  Listing listing;
  for (const Line& line : lines) {
    const std::string_view text = line.text.substr(0, line.text.find_first_of(" \t"));
    const std::string_view number = text.substr(std::min<std::size_t>(3, text.size()));
    if (!text.starts_with("cpu") || number.empty() ||
        number.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    addItem(listing, std::string(text), line, line.text.substr(text.size()), path);
  }
  if (listing.items.empty()) listing.error = std::string(path) + ": expected a cpuN line";
  return listing;
}

Listing listInterfaces(const std::vector<Line>& lines, std::string_view path) {
  Listing listing;
  for (const Line& line : lines) {
    if (line.number <= kNetHeaderLines) continue;
    const std::size_t colon = line.text.find(':');
    const std::vector<std::string_view> name =
        splitFields(line.text.substr(0, colon == std::string_view::npos ? 0 : colon));
    if (name.size() != 1) {
      listing.error = std::string(path) + " line " + std::to_string(line.number) +
                      ": expected an interface name and a colon";
      continue;
    }
    addItem(listing, hostToken(name[0]), line, line.text.substr(colon + 1), path);
  }
  if (listing.items.empty() && listing.error.empty()) {
    listing.error = std::string(path) + ": expected an interface line";
  }
  return listing;
}

/// Adds the pressure stall averages of PROC/pressure/NAME as attributes psi_NAME_some_avg10 (and
/// _full_avg10 when `full`, which the file must then have); returns the full average as a
/// fraction, or 0 without one. A kernel without the file adds nothing.
double addStall(qm::AttributeMap& attributes, const std::string& proc, const std::string& name,
                bool full) {
  const std::string path = proc + "/pressure/" + name;
  const std::optional<Stall> stall = readStall(path);
  if (!stall) return 0.0;
  attributes.emplace("psi_" + name + "_some_avg10", stall->some_avg10);
  if (!full) return 0.0;
  if (stall->full_avg10.empty()) Where{path, 0}.fail("expected a full line");
  attributes.emplace("psi_" + name + "_full_avg10", stall->full_avg10);
  double percent = 0.0;
  const std::string_view text = stall->full_avg10;
  std::from_chars(text.data(), text.data() + text.size(), percent);  // checked by readStall
  return percent / kPercent;
}

std::optional<qm::Observation> readHost(const Context& context, const std::string& proc_root) {
  const std::string meminfo_path = proc_root + "/meminfo";
  const std::string loadavg_path = proc_root + "/loadavg";
  const std::optional<std::string> meminfo = readFile(meminfo_path);
  const std::optional<std::string> loadavg = readFile(loadavg_path);
  if (!meminfo || !loadavg) return std::nullopt;
  const std::vector<Line> lines = splitLines(*meminfo);
  const std::uint64_t total = meminfoValue(lines, "MemTotal:", meminfo_path);
  const std::uint64_t available = meminfoValue(lines, "MemAvailable:", meminfo_path);
  if (total == 0) Where{meminfo_path, 0}.fail("MemTotal is zero");
  if (available > total) Where{meminfo_path, 0}.fail("MemAvailable is above MemTotal");

  const Where load_where{loadavg_path, 1};
  const std::vector<std::string_view> loads =
      splitFields(std::string_view(*loadavg).substr(0, loadavg->find('\n')));
  if (loads.size() < 3) load_where.fail("expected 3 load averages");
  for (std::size_t field = 0; field < 3; ++field) {
    if (!isPlainDecimal(loads[field])) {
      load_where.fail("load average " + std::to_string(field + 1) + " is not a plain decimal");
    }
  }
  qm::AttributeMap attributes{{"load1", std::string(loads[0])},
                              {"load5", std::string(loads[1])},
                              {"load15", std::string(loads[2])},
                              {"mem_available_kib", std::to_string(available)},
                              {"mem_total_kib", std::to_string(total)}};
  (void)addStall(attributes, proc_root, "cpu", false);
  // Memory stalls of every task weigh as much as memory in use: a host can thrash with memory
  // to spare on paper.
  const double stalled = addStall(attributes, proc_root, "memory", true);
  (void)addStall(attributes, proc_root, "io", true);
  qm::Observation host = observation(context, qm::EntityKind::host, context.host_id);
  const double pressure = std::max(fraction({total - available, total}), stalled);
  observe(host, pressure, loadHealth(pressure, kDegradedLoad), std::move(attributes));
  return host;
}

void addProcProbes(std::vector<Candidate>& probes, const Context& context,
                   const std::string& stat_path, const Listing& cpus, const std::string& net_path,
                   const Listing& interfaces) {
  const std::string parent = context.host_id + "/";
  for (const Item& cpu : cpus.items) {
    std::string id = "device:" + parent + cpu.name;
    const Where where{stat_path, cpu.line.number};
    probes.push_back(
        {{id, true,
          [&context, &cpu, where, id] {
            if (!cpu.error.empty()) throw std::runtime_error(cpu.error);
            const std::vector<std::string_view> fields = splitFields(cpu.rest);
            if (fields.size() < kMinCpuTicks) where.fail("expected at least 4 tick counts");
            std::vector<std::uint64_t> ticks = parseCounts(fields, where, "tick count");
            ticks.resize(std::min(ticks.size(), kCpuTicksUsed));
            qm::Observation device = observation(context, qm::EntityKind::device, cpu.name);
            const Windowed load =
                windowed(context, id, ticks, device.observed_at_ns, cpuShare, where, "tick counts");
            if (load.share.whole == 0) where.fail("total of zero ticks");
            const double pressure = fraction(load.share);
            observe(device, pressure, loadHealth(pressure, kDegradedLoad),
                    {{"busy_ticks", std::to_string(load.share.part)},
                     {"total_ticks", std::to_string(load.share.whole)},
                     {"window", load.window}});
            return std::optional<qm::Observation>(std::move(device));
          }},
         where});
  }
  for (const Item& interface : interfaces.items) {
    std::string id = "network:" + parent + interface.name;
    const Where where{net_path, interface.line.number};
    probes.push_back(
        {{id, true,
          [&context, &interface, where, id] {
            if (!interface.error.empty()) throw std::runtime_error(interface.error);
            const std::vector<std::string_view> fields = splitFields(interface.rest);
            if (fields.size() < kInterfaceCounters) where.fail("expected 16 counters");
            std::vector<std::uint64_t> counters = parseCounts(fields, where, "counter");
            counters.resize(kInterfaceCounters);
            qm::Observation network = observation(context, qm::EntityKind::network, interface.name);
            const Windowed loss = windowed(context, id, counters, network.observed_at_ns, lossShare,
                                           where, "counters");
            const double pressure = fraction(loss.share);
            observe(network, pressure, loadHealth(pressure, kDegradedLoss),
                    {{"lost_packets", std::to_string(loss.share.part)},
                     {"packets", std::to_string(loss.share.whole)},
                     {"rx_bytes", std::to_string(counters[0])},
                     {"tx_bytes", std::to_string(counters[8])},
                     {"window", loss.window}});
            return std::optional<qm::Observation>(std::move(network));
          }},
         where});
  }
}

}  // namespace

std::string hostToken(std::string_view name) {
  if (name.empty()) return "localhost";
  std::string token(name);
  for (char& c : token) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || c == '/' || c == ':' || c == '\\') c = '-';
  }
  return token;
}

std::string hostNameToken(const std::string& proc_root) {
  const std::optional<std::string> file = readFile(proc_root + "/sys/kernel/hostname");
  if (!file) return "localhost";
  return hostToken(std::string_view(*file).substr(0, file->find('\n')));
}

std::vector<std::string> cgroupNames(const std::vector<std::string>& paths) {
  std::vector<std::string> names;
  for (const std::string& path : paths) {
    const std::string_view view = path;
    bool valid = view.size() > 1 && view.starts_with('/');
    for (std::size_t start = 1; valid && start <= view.size();) {
      const std::size_t end = std::min(view.find('/', start), view.size());
      const std::string_view component = view.substr(start, end - start);
      valid = !component.empty() && component != "." && component != "..";
      start = end + 1;
    }
    if (!valid) throw std::invalid_argument("not a cgroup path below the root: " + path);
    std::string name = hostToken(view.substr(view.rfind('/') + 1));
    for (std::size_t other = 0; other < names.size(); ++other) {
      if (names[other] == name) {
        throw std::invalid_argument(paths[other] + " and " + path + " have the same name " + name);
      }
    }
    names.push_back(std::move(name));
  }
  return names;
}

HostProbes::HostProbes(HostProbeOptions options, qm::Clock clock)
    : options_(std::move(options)), clock_(clock ? std::move(clock) : qm::Clock(qm::defaultClock)) {
  if (!qm::isValidIdentifier(options_.system_id) || !qm::isValidIdentifier(options_.host_id)) {
    throw std::invalid_argument("host probes require identifier tokens as system and host ids");
  }
  if (options_.expect_gpus > kMaxExpectedGpus) {
    throw std::invalid_argument("host probes expect at most 1024 gpus");
  }
  std::vector<std::string> names = cgroupNames(options_.cgroups);
  for (std::size_t at = 0; at < names.size(); ++at) {
    const std::string& path = options_.cgroups[at];
    cgroups_.push_back({path, options_.sys + "/fs/cgroup" + path, std::move(names[at])});
  }
  nvml_ = std::make_unique<Nvml>(options_.nvml_library);
}

HostProbes::~HostProbes() = default;
HostProbes::HostProbes(HostProbes&&) noexcept = default;
HostProbes& HostProbes::operator=(HostProbes&&) noexcept = default;

qm::RuntimeStateSnapshot HostProbes::capture(std::uint64_t epoch, std::uint64_t barrier_sequence,
                                             std::int64_t logical_time, std::uint64_t budget_ns) {
  ++generation_;
  const std::string& proc = options_.proc;
  const std::string& system_id = options_.system_id;
  const std::string& host_id = options_.host_id;
  // Each source is read once per capture, so that every subject of one source sees the same text.
  const std::string stat_path = proc + "/stat";
  const std::string net_path = proc + "/net/dev";
  const std::optional<std::string> stat = readFile(stat_path);
  const std::optional<std::string> net = readFile(net_path);
  const std::vector<Line> stat_lines = stat ? splitLines(*stat) : std::vector<Line>();
  const std::vector<Line> net_lines = net ? splitLines(*net) : std::vector<Line>();
  const Listing cpus = listCpus(stat_lines, stat_path);
  const Listing interfaces = listInterfaces(net_lines, net_path);
  const DiskSource disks(proc, options_.sys, clock_);
  const DrmSource drm = readDrm(options_.sys);
  const NvmlSource gpus = readNvml(*nvml_);
  const Context context{system_id, host_id,    epoch,      barrier_sequence,
                        clock_,    baselines_, generation_};
  const std::string parent = host_id + "/";

  std::vector<Candidate> probes;
  std::vector<MissingReason> missing;
  if (host_id == system_id) {
    probes.push_back(
        {{"system:" + system_id, true,
          [&] {
            qm::Observation system = observation(context, qm::EntityKind::system, system_id);
            system.declared = qm::DeclaredState{"linux", "", {}};
            if (!cpus.items.empty()) {
              system.declared->attributes.emplace("cpus", std::to_string(cpus.items.size()));
            }
            return system;
          }},
         {stat_path, 0}});
  }
  probes.push_back(
      {{"host:" + system_id + "/" + host_id, true, [&] { return readHost(context, proc); }},
       {proc, 0}});
  if (cpus.items.empty()) {
    probes.push_back(
        {fileProbe("device:" + parent + "cpu", stat.has_value(), cpus.error), {stat_path, 0}});
  }
  if (!interfaces.error.empty()) {
    probes.push_back(
        {fileProbe("network:" + parent + "net", net.has_value(), interfaces.error), {net_path, 0}});
  }
  addProcProbes(probes, context, stat_path, cpus, net_path, interfaces);
  addDiskProbes(probes, context, disks);
  addDrmProbes(probes, context, drm);
  addNvmlProbes(probes, missing, context, *nvml_, gpus, options_.expect_gpus,
                options_.nvml_library);
  addCgroupProbes(probes, context, cgroups_, proc);

  const qm::SnapshotBarrier barrier(distinctProbes(std::move(probes)), clock_);
  qm::RuntimeStateSnapshot snapshot =
      barrier.capture(system_id, epoch, barrier_sequence, logical_time, budget_ns);
  for (auto& [id, reason] : missing) {
    const auto subject = std::lower_bound(
        snapshot.subjects.begin(), snapshot.subjects.end(), id,
        [](const qm::SubjectResult& s, const std::string& key) { return s.id < key; });
    if (subject != snapshot.subjects.end() && subject->id == id &&
        subject->status == qm::SubjectStatus::missing) {
      subject->diagnostic = std::move(reason);
    }
  }
  // Counters of subjects gone (an interface removed, a disk unplugged) are forgotten, so that a
  // long-running serve on a host whose interfaces come and go does not grow without bound.
  std::erase_if(baselines_,
                [this](const auto& entry) { return entry.second.generation != generation_; });
  return snapshot;
}

}  // namespace Quillon::Tools::State
