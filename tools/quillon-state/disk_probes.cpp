// Whole disks from diskstats: bytes moved, I/Os in flight, and the share of the interval busy.
#include <algorithm>
#include <cerrno>

#include "host_probes.hpp"
#include "probe_sources.hpp"

namespace Quillon::Tools::State::detail {

namespace {

// major minor name, then at least the eleven statistics every kernel since 2.6 prints.
constexpr std::size_t kDiskFields = 14;
constexpr std::size_t kSectorsRead = 5;
constexpr std::size_t kSectorsWritten = 9;
constexpr std::size_t kInFlight = 11;
constexpr std::size_t kIoTicks = 12;
// diskstats counts sectors of 512 bytes whatever the device's own sector size.
constexpr std::uint64_t kSectorBytes = 512;
constexpr std::uint64_t kNsPerMs = 1'000'000;
// io_ticks advance by the kernel's tick, up to 10 ms at once (HZ=100), and the window is timed by
// our clock, not by that tick: a disk busy throughout the window may count up to one tick more.
constexpr std::uint64_t kTickNs = 10 * kNsPerMs;
constexpr std::uint64_t kMsPerSecond = 1000;
constexpr std::size_t kUptimeDecimals = 2;

bool isVirtual(std::string_view name) {
  return name.starts_with("loop") || name.starts_with("ram") || name.starts_with("zram");
}

/// The milliseconds since boot that PATH (proc's uptime, "12345.67 ...") gives, or nothing when
/// it cannot be read.
std::optional<std::uint64_t> uptimeMs(const std::string& path) {
  const std::optional<std::string> text = readFile(path);
  if (!text) return std::nullopt;
  const Where where{path, 1};
  const std::vector<std::string_view> fields =
      splitFields(std::string_view(*text).substr(0, text->find('\n')));
  const std::size_t point = fields.empty() ? 0 : fields[0].find('.');
  if (fields.empty() || !isPlainDecimal(fields[0]) || point == std::string_view::npos ||
      fields[0].size() - point - 1 != kUptimeDecimals) {
    where.fail("expected the uptime in seconds with two decimals");
  }
  const std::uint64_t seconds = parseCount(fields[0].substr(0, point), where, "uptime");
  const std::uint64_t hundredths = parseCount(fields[0].substr(point + 1), where, "uptime");
  return sum({product(seconds, kMsPerSecond, where, "uptime"), hundredths * 10}, where, "uptime");
}

/// The disk's busy share: of the interval since the previous capture, or since boot.
Share busyShare(const std::optional<Rise>& since, std::uint64_t io_ticks, const DiskSource& disks,
                const Where& where) {
  if (!since) {
    const std::optional<std::uint64_t> uptime = uptimeMs(disks.uptime_path);
    if (!uptime) return {};
    if (*uptime == 0 || io_ticks > *uptime) where.fail("io_ticks is above the uptime");
    return {io_ticks, *uptime};
  }
  const std::uint64_t busy_ms = since->values[2];
  const Share share{product(busy_ms, kNsPerMs, where, "io_ticks"), since->ns};
  if (share.part <= share.whole) return share;
  // Within one tick of the window the disk was busy all of it, as far as the kernel can tell.
  if (share.part - share.whole <= kTickNs) return {share.whole, share.whole};
  where.fail("io_ticks rose by " + std::to_string(busy_ms) + " ms in a window of " +
             std::to_string(share.whole) + " ns");
}

}  // namespace

DiskSource::DiskSource(const std::string& proc, const std::string& sys, const qm::Clock& clock)
    : path(proc + "/diskstats"), uptime_path(proc + "/uptime"), text(readFile(path)) {
  at_ns = clock();
  DirectoryListing whole = listDirectory(sys + "/block");
  block_listed = whole.error == 0;
  std::sort(whole.names.begin(), whole.names.end());
  for (const Line& line : text ? splitLines(*text) : std::vector<Line>()) {
    const std::vector<std::string_view> fields = splitFields(line.text);
    if (fields.size() < 3) {
      disks.error = path + " line " + std::to_string(line.number) + ": expected a device name";
      continue;
    }
    const std::string name(fields[2]);
    if (isVirtual(name) || !std::binary_search(whole.names.begin(), whole.names.end(), name)) {
      continue;
    }
    addItem(disks, hostToken(name), line, line.text, path);
  }
}

void addDiskProbes(std::vector<Candidate>& probes, const Context& context,
                   const DiskSource& disks) {
  if (!disks.text || !disks.block_listed || !disks.disks.error.empty()) {
    probes.push_back({fileProbe("device:" + context.host_id + "/disk",
                                disks.text && disks.block_listed, disks.disks.error),
                      {disks.path, 0}});
    if (!disks.text || !disks.block_listed) return;
  }
  for (const Item& disk : disks.disks.items) {
    std::string id = "device:" + context.host_id + "/" + disk.name;
    const Where where{disks.path, disk.line.number};
    probes.push_back(
        {{id, true,
          [&context, &disks, &disk, where, id]() -> std::optional<qm::Observation> {
            if (!disk.error.empty()) throw std::runtime_error(disk.error);
            const std::vector<std::string_view> fields = splitFields(disk.rest);
            if (fields.size() < kDiskFields) where.fail("expected at least 11 statistics");
            const std::vector<std::uint64_t> stats = parseCounts(
                std::vector(fields.begin() + 3, fields.begin() + kDiskFields), where, "statistic");
            const auto stat = [&](std::size_t field) { return stats[field - 3]; };
            const std::uint64_t read_bytes =
                product(stat(kSectorsRead), kSectorBytes, where, "sectors read");
            const std::uint64_t write_bytes =
                product(stat(kSectorsWritten), kSectorBytes, where, "sectors written");
            const std::optional<Rise> since = rise(
                context.baselines, id, {stat(kSectorsRead), stat(kSectorsWritten), stat(kIoTicks)},
                disks.at_ns, context.generation, where, "statistics");
            // No time passed: an empty interval holds no share, so the disk shows its boot share.
            const std::optional<Rise> interval = since && since->ns > 0 ? since : std::nullopt;
            const Share busy = busyShare(interval, stat(kIoTicks), disks, where);
            if (busy.whole == 0) return std::nullopt;
            qm::Observation device = observation(context, qm::EntityKind::device, disk.name);
            const double pressure = fraction(busy);
            observe(device, pressure, loadHealth(pressure, kDegradedLoad),
                    {{"in_flight", std::to_string(stat(kInFlight))},
                     {"read_bytes", std::to_string(read_bytes)},
                     {"window", windowOf(interval)},
                     {"write_bytes", std::to_string(write_bytes)}});
            return device;
          }},
         where});
  }
}

}  // namespace Quillon::Tools::State::detail
