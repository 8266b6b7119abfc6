#include "host_probes.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <quillon/monitoring/observation.hpp>

namespace Quillon::Tools::State {

namespace {

namespace qm = Quillon::Core::Monitoring;

constexpr double kDegradedLoad = 0.9;
constexpr double kDegradedLoss = 0.01;
constexpr std::size_t kMinCpuTicks = 4;
// user nice system idle iowait irq softirq steal; guest time is already counted in user and nice.
constexpr std::size_t kCpuTicksUsed = 8;
constexpr std::size_t kInterfaceCounters = 16;
// net/dev opens with two lines of column headings.
constexpr std::size_t kNetHeaderLines = 2;

/// The whole content of `path`, or nothing when it cannot be opened or read.
std::optional<std::string> readFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string text;
  std::array<char, 4096> buffer{};
  // /proc files report a size of zero, so the file is read until its end rather than by size.
  for (std::size_t got = 0; (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    text.append(buffer.data(), got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return text;
}

/// One line of a source file, numbered from 1.
struct Line {
  std::size_t number = 0;
  std::string_view text;
};

std::vector<Line> splitLines(std::string_view text) {
  std::vector<Line> lines;
  for (std::size_t start = 0, number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back({number, text.substr(start, end - start)});
    start = end + 1;
  }
  return lines;
}

std::vector<std::string_view> splitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    start = text.find_first_not_of(" \t", start);
    if (start == std::string_view::npos) return fields;
    const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
    fields.push_back(text.substr(start, end - start));
    start = end;
  }
}

/// A place in a source file that a diagnostic names; line 0 names the file as a whole.
struct Where {
  std::string_view path;
  std::size_t line = 0;

  [[noreturn]] void fail(std::string_view what) const {
    std::string message(path);
    if (line != 0) {
      message += " line ";
      message += std::to_string(line);
    }
    message += ": ";
    message += what;
    throw std::runtime_error(message);
  }
};

std::uint64_t parseCount(std::string_view field, const Where& where, std::string_view what) {
  std::uint64_t value = 0;
  const char* end = field.data() + field.size();
  const auto [stop, error] = std::from_chars(field.data(), end, value);
  if (error == std::errc::result_out_of_range && stop == end) {
    where.fail(std::string(what) + " is out of range");
  }
  if (error != std::errc{} || stop != end) {
    where.fail(std::string(what) + " is not a plain unsigned decimal");
  }
  return value;
}

std::vector<std::uint64_t> parseCounts(const std::vector<std::string_view>& fields,
                                       const Where& where, std::string_view what) {
  std::vector<std::uint64_t> values;
  values.reserve(fields.size());
  for (const std::string_view field : fields) {
    values.push_back(
        parseCount(field, where, std::string(what) + " " + std::to_string(values.size() + 1)));
  }
  return values;
}

std::uint64_t sum(std::initializer_list<std::uint64_t> values, const Where& where,
                  std::string_view what) {
  std::uint64_t total = 0;
  for (const std::uint64_t value : values) {
    if (value > std::numeric_limits<std::uint64_t>::max() - total)
      where.fail(std::string(what) + " is out of range");
    total += value;
  }
  return total;
}

bool isPlainDecimal(std::string_view text) {
  const auto digits = [](std::string_view part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  const std::size_t point = text.find('.');
  if (point == std::string_view::npos) return digits(text);
  return digits(text.substr(0, point)) && digits(text.substr(point + 1));
}

/// A share of something counted: `part` out of `whole`.
struct Share {
  std::uint64_t part = 0;
  std::uint64_t whole = 0;
};
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

/// Returns the share of `now` over the interval since the previous reading of `key`, and records
/// `now` as the next capture's baseline even when it fails, so that a counter reset (a CPU that
/// came back online) spoils one capture only.
Windowed windowed(std::map<std::string, CounterReading, std::less<>>& previous,
                  const std::string& key, std::vector<std::uint64_t> now, std::uint64_t at_ns,
                  ShareOf shareOf, const Where& where, std::string_view counters) {
  const Share since_boot = shareOf(now, where);
  const auto found = previous.find(key);
  if (found == previous.end()) {
    previous.emplace(key, CounterReading{std::move(now), at_ns});
    return {since_boot, "boot"};
  }
  CounterReading before = std::exchange(found->second, CounterReading{now, at_ns});
  if (before.values.size() != now.size()) {
    where.fail(std::string(counters) + " changed in number since the previous capture");
  }
  for (std::size_t field = 0; field < now.size(); ++field) {
    if (now[field] < before.values[field]) {
      where.fail(std::string(counters) + " went backwards since the previous capture");
    }
    now[field] -= before.values[field];
  }
  const Share interval = shareOf(now, where);
  if (interval.whole == 0) return {since_boot, "boot"};
  return {interval, std::to_string(at_ns - before.at_ns)};
}

/// Returns `part` / `whole`; 0 for an empty whole, which only a count of losses can have (an
/// interface that has carried no packet has lost none).
double fraction(Share share) {
  return share.whole == 0 ? 0.0
                          : static_cast<double>(share.part) / static_cast<double>(share.whole);
}

/// A subject named by a line of stat or net/dev; `error` says why that line cannot stand for it.
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

void addItem(Listing& listing, std::string name, Line line, std::string_view rest,
             std::string_view path) {
  for (Item& item : listing.items) {
    if (item.name != name) continue;
    item.error = std::string(path) + " line " + std::to_string(line.number) + ": " + name +
                 " is listed twice";
    return;
  }
  listing.items.push_back({std::move(name), line, rest, {}});
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

/// What every observation of one capture shares.
struct Context {
  const std::string& system_id;
  std::uint64_t epoch;
  std::uint64_t sequence;
  const qm::Clock& clock;
};

qm::Observation observation(const Context& context, qm::EntityKind kind, std::string id) {
  qm::Observation record;
  record.system_id = context.system_id;
  record.epoch = context.epoch;
  record.sequence = context.sequence;
  record.observed_at_ns = context.clock();
  record.entity = {kind, std::move(id), std::nullopt};
  if (kind != qm::EntityKind::system) record.entity.parent = context.system_id;
  return record;
}

/// Adds what was observed: running and ready, degraded from `degraded_at` pressure on.
void observe(qm::Observation& record, Share share, double degraded_at,
             qm::AttributeMap attributes) {
  qm::ObservedState& observed = record.observed.emplace();
  observed.lifecycle = qm::LifecycleState::running;
  observed.pressure = fraction(share);
  observed.health =
      observed.pressure >= degraded_at ? qm::HealthState::degraded : qm::HealthState::healthy;
  observed.ready = true;
  observed.last_observed_ns = record.observed_at_ns;
  observed.attributes = std::move(attributes);
}

/// The value in kB of the meminfo line whose first field is `key` ("MemTotal:").
std::uint64_t meminfoValue(const std::vector<Line>& lines, std::string_view key,
                           std::string_view path) {
  for (const Line& line : lines) {
    const std::vector<std::string_view> fields = splitFields(line.text);
    if (fields.empty() || fields[0] != key) continue;
    const Where where{path, line.number};
    if (fields.size() != 3 || fields[2] != "kB") where.fail("expected a value in kB");
    return parseCount(fields[1], where, key.substr(0, key.size() - 1));
  }
  Where{path, 0}.fail("expected a " + std::string(key.substr(0, key.size() - 1)) + " line");
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
  qm::Observation host = observation(context, qm::EntityKind::host, context.system_id);
  observe(host, {total - available, total}, kDegradedLoad,
          {{"load1", std::string(loads[0])},
           {"load5", std::string(loads[1])},
           {"load15", std::string(loads[2])},
           {"mem_available_kib", std::to_string(available)},
           {"mem_total_kib", std::to_string(total)}});
  return host;
}

/// A probe that stands for a whole file: missing when the file cannot be read, otherwise
/// invalid with `error`.
qm::SnapshotProbe fileProbe(std::string id, bool readable, std::string error) {
  return {std::move(id), true,
          [readable, error = std::move(error)]() -> std::optional<qm::Observation> {
            if (!readable) return std::nullopt;
            throw std::runtime_error(error);
          }};
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

HostProbes::HostProbes(std::string proc_root, std::string system_id, qm::Clock clock)
    : proc_root_(std::move(proc_root)),
      system_id_(std::move(system_id)),
      clock_(clock ? std::move(clock) : qm::Clock(qm::defaultClock)) {}

qm::RuntimeStateSnapshot HostProbes::capture(std::uint64_t epoch, std::uint64_t barrier_sequence,
                                             std::int64_t logical_time, std::uint64_t budget_ns) {
  // Each file is read once per capture, so that every subject of one file sees the same text.
  const std::string stat_path = proc_root_ + "/stat";
  const std::string net_path = proc_root_ + "/net/dev";
  const std::optional<std::string> stat = readFile(stat_path);
  const std::optional<std::string> net = readFile(net_path);
  const std::vector<Line> stat_lines = stat ? splitLines(*stat) : std::vector<Line>();
  const std::vector<Line> net_lines = net ? splitLines(*net) : std::vector<Line>();
  const Listing cpus = listCpus(stat_lines, stat_path);
  const Listing interfaces = listInterfaces(net_lines, net_path);
  const Context context{system_id_, epoch, barrier_sequence, clock_};
  const std::string parent = system_id_ + "/";

  std::vector<qm::SnapshotProbe> probes;
  probes.push_back(
      {"system:" + system_id_, true, [&] {
         qm::Observation system = observation(context, qm::EntityKind::system, system_id_);
         system.declared = qm::DeclaredState{"linux", "", {}};
         if (!cpus.items.empty()) {
           system.declared->attributes.emplace("cpus", std::to_string(cpus.items.size()));
         }
         return system;
       }});
  probes.push_back(
      {"host:" + parent + system_id_, true, [&] { return readHost(context, proc_root_); }});
  if (cpus.items.empty())
    probes.push_back(fileProbe("device:" + parent + "cpu", stat.has_value(), cpus.error));
  if (!interfaces.error.empty()) {
    probes.push_back(fileProbe("network:" + parent + "net", net.has_value(), interfaces.error));
  }
  for (const Item& cpu : cpus.items) {
    std::string id = "device:" + parent + cpu.name;
    probes.push_back({id, true, [&, id] {
                        if (!cpu.error.empty()) throw std::runtime_error(cpu.error);
                        const Where where{stat_path, cpu.line.number};
                        const std::vector<std::string_view> fields = splitFields(cpu.rest);
                        if (fields.size() < kMinCpuTicks) {
                          where.fail("expected at least 4 tick counts");
                        }
                        std::vector<std::uint64_t> ticks = parseCounts(fields, where, "tick count");
                        ticks.resize(std::min(ticks.size(), kCpuTicksUsed));
                        qm::Observation device =
                            observation(context, qm::EntityKind::device, cpu.name);
                        const Windowed load =
                            windowed(previous_, id, std::move(ticks), device.observed_at_ns,
                                     cpuShare, where, "tick counts");
                        if (load.share.whole == 0) where.fail("total of zero ticks");
                        observe(device, load.share, kDegradedLoad,
                                {{"busy_ticks", std::to_string(load.share.part)},
                                 {"total_ticks", std::to_string(load.share.whole)},
                                 {"window", load.window}});
                        return std::optional<qm::Observation>(std::move(device));
                      }});
  }
  for (const Item& interface : interfaces.items) {
    std::string id = "network:" + parent + interface.name;
    probes.push_back({id, true, [&, id] {
                        if (!interface.error.empty()) throw std::runtime_error(interface.error);
                        const Where where{net_path, interface.line.number};
                        const std::vector<std::string_view> fields = splitFields(interface.rest);
                        if (fields.size() < kInterfaceCounters) where.fail("expected 16 counters");
                        std::vector<std::uint64_t> counters = parseCounts(fields, where, "counter");
                        counters.resize(kInterfaceCounters);
                        const std::string rx_bytes = std::to_string(counters[0]);
                        const std::string tx_bytes = std::to_string(counters[8]);
                        qm::Observation network =
                            observation(context, qm::EntityKind::network, interface.name);
                        const Windowed loss =
                            windowed(previous_, id, std::move(counters), network.observed_at_ns,
                                     lossShare, where, "counters");
                        observe(network, loss.share, kDegradedLoss,
                                {{"lost_packets", std::to_string(loss.share.part)},
                                 {"packets", std::to_string(loss.share.whole)},
                                 {"rx_bytes", rx_bytes},
                                 {"tx_bytes", tx_bytes},
                                 {"window", loss.window}});
                        return std::optional<qm::Observation>(std::move(network));
                      }});
  }
  const qm::SnapshotBarrier barrier(std::move(probes), clock_);
  return barrier.capture(system_id_, epoch, barrier_sequence, logical_time, budget_ns);
}

}  // namespace Quillon::Tools::State
