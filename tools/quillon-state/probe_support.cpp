#include "probe_support.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace Quillon::Tools::State::detail {

namespace {

constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20U;
constexpr double kMaxStallPercent = 100.0;
// "some avg10=A avg60=A avg300=A total=N"
constexpr std::array<std::string_view, 4> kStallFields = {"avg10=", "avg60=", "avg300=", "total="};

/// Closes a descriptor on every way out.
struct Descriptor {
  int fd;
  ~Descriptor() { ::close(fd); }
};

void checkStallLine(const std::vector<std::string_view>& fields, const Where& where) {
  if (fields.size() != kStallFields.size() + 1) where.fail("expected 5 fields");
  for (std::size_t at = 0; at < kStallFields.size(); ++at) {
    const std::string_view field = fields[at + 1];
    if (!field.starts_with(kStallFields[at])) {
      where.fail("expected " + std::string(kStallFields[at]) + " as field " +
                 std::to_string(at + 2));
    }
    const std::string_view value = field.substr(kStallFields[at].size());
    if (at + 1 == kStallFields.size()) {
      (void)parseCount(value, where, "total");
      continue;
    }
    double percent = 0.0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), percent);
    if (!isPlainDecimal(value) || error != std::errc{} || percent > kMaxStallPercent) {
      where.fail(std::string(kStallFields[at].substr(0, kStallFields[at].size() - 1)) +
                 " is not a percentage");
    }
  }
}

}  // namespace

std::optional<std::string> readFile(const std::string& path) {
  // Non-blocking, so that a FIFO in a tree given to us reads as empty instead of hanging.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  const Descriptor closing{fd};
  std::string text;
  std::array<char, 4096> buffer{};
  // /proc files report a size of zero, so the file is read until its end rather than by size.
  while (true) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || text.size() + static_cast<std::size_t>(got) > kMaxFileBytes) return std::nullopt;
    if (got == 0) return text;
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

DirectoryListing listDirectory(const std::string& path) {
  DirectoryListing listing;
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) {
    listing.error = errno;
    return listing;
  }
  errno = 0;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") listing.names.emplace_back(name);
  }
  listing.error = errno;
  ::closedir(directory);
  return listing;
}

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

std::string Where::describe() const {
  std::string text(path);
  if (line != 0) {
    text += " line ";
    text += std::to_string(line);
  }
  return text;
}

void Where::fail(std::string_view what) const {
  std::string message = describe();
  message += ": ";
  message += what;
  throw std::runtime_error(message);
}

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

std::uint64_t product(std::uint64_t value, std::uint64_t factor, const Where& where,
                      std::string_view what) {
  if (factor != 0 && value > std::numeric_limits<std::uint64_t>::max() / factor) {
    where.fail(std::string(what) + " is out of range");
  }
  return value * factor;
}

bool isPlainDecimal(std::string_view text) {
  const auto digits = [](std::string_view part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  const std::size_t point = text.find('.');
  if (point == std::string_view::npos) return digits(text);
  return digits(text.substr(0, point)) && digits(text.substr(point + 1));
}

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

std::optional<std::uint64_t> readValueFile(const std::string& path) {
  const std::optional<std::string> text = readFile(path);
  if (!text) return std::nullopt;
  std::string_view value = *text;
  if (value.ends_with('\n')) value.remove_suffix(1);
  const Where where{path, 1};
  if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
    where.fail("expected one plain unsigned decimal");
  }
  return parseCount(value, where, "value");
}

std::optional<std::map<std::string, std::uint64_t, std::less<>>> readKeyedFile(
    const std::string& path) {
  const std::optional<std::string> text = readFile(path);
  if (!text) return std::nullopt;
  std::map<std::string, std::uint64_t, std::less<>> values;
  for (const Line& line : splitLines(*text)) {
    const Where where{path, line.number};
    const std::vector<std::string_view> fields = splitFields(line.text);
    if (fields.size() != 2) where.fail("expected a key and a value");
    if (!values.emplace(fields[0], parseCount(fields[1], where, fields[0])).second) {
      where.fail(std::string(fields[0]) + " is listed twice");
    }
  }
  return values;
}

std::optional<Stall> readStall(const std::string& path) {
  const std::optional<std::string> text = readFile(path);
  if (!text) return std::nullopt;
  Stall stall;
  for (const Line& line : splitLines(*text)) {
    const Where where{path, line.number};
    const std::vector<std::string_view> fields = splitFields(line.text);
    std::string* average = nullptr;
    if (!fields.empty() && fields[0] == "some") average = &stall.some_avg10;
    if (!fields.empty() && fields[0] == "full") average = &stall.full_avg10;
    if (average == nullptr) where.fail("expected a some or full line");
    if (!average->empty()) where.fail(std::string(fields[0]) + " is listed twice");
    checkStallLine(fields, where);
    average->assign(fields[1].substr(kStallFields[0].size()));
  }
  if (stall.some_avg10.empty()) Where{path, 0}.fail("expected a some line");
  return stall;
}

double fraction(Share share) {
  return share.whole == 0 ? 0.0
                          : static_cast<double>(share.part) / static_cast<double>(share.whole);
}

std::optional<Rise> rise(Baselines& baselines, std::string_view key,
                         const std::vector<std::uint64_t>& now, std::uint64_t at_ns,
                         std::uint64_t generation, const Where& where, std::string_view counters) {
  const auto found = baselines.find(key);
  if (found == baselines.end()) {
    baselines.emplace(std::string(key), Baseline{now, at_ns, generation});
    return std::nullopt;
  }
  const Baseline before = std::exchange(found->second, Baseline{now, at_ns, generation});
  if (before.values.size() != now.size()) {
    where.fail(std::string(counters) + " changed in number since the previous capture");
  }
  Rise result{now, at_ns - std::min(at_ns, before.at_ns)};
  for (std::size_t field = 0; field < now.size(); ++field) {
    if (now[field] < before.values[field]) {
      where.fail(std::string(counters) + " went backwards since the previous capture");
    }
    result.values[field] -= before.values[field];
  }
  return result;
}

std::string windowOf(const std::optional<Rise>& rise) {
  return rise ? std::to_string(rise->ns) : std::string("boot");
}

qm::Observation observation(const Context& context, qm::EntityKind kind, std::string id) {
  qm::Observation record;
  record.system_id = context.system_id;
  record.epoch = context.epoch;
  record.sequence = context.sequence;
  record.observed_at_ns = context.clock();
  record.entity = {kind, std::move(id), std::nullopt};
  if (kind == qm::EntityKind::host) record.entity.parent = context.system_id;
  if (kind != qm::EntityKind::host && kind != qm::EntityKind::system) {
    record.entity.parent = context.host_id;
  }
  return record;
}

qm::HealthState loadHealth(double pressure, double degraded_at) {
  return pressure >= degraded_at ? qm::HealthState::degraded : qm::HealthState::healthy;
}

void observe(qm::Observation& record, double pressure, qm::HealthState health,
             qm::AttributeMap attributes, qm::LifecycleState lifecycle) {
  qm::ObservedState& observed = record.observed.emplace();
  observed.lifecycle = lifecycle;
  observed.pressure = pressure;
  observed.health = health;
  observed.ready = lifecycle == qm::LifecycleState::running;
  observed.last_observed_ns = record.observed_at_ns;
  observed.attributes = std::move(attributes);
}

std::vector<qm::SnapshotProbe> distinctProbes(std::vector<Candidate> candidates) {
  // Stable, so that a diagnostic names the two sources in the order the capture added them.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.probe.id < b.probe.id; });
  std::vector<qm::SnapshotProbe> probes;
  probes.reserve(candidates.size());
  for (std::size_t at = 0; at < candidates.size(); ++at) {
    if (probes.empty() || candidates[at].probe.id != probes.back().id) {
      probes.push_back(std::move(candidates[at].probe));
      continue;
    }
    std::string error = probes.back().id + " is named by " + candidates[at - 1].source.describe() +
                        " and " + candidates[at].source.describe();
    probes.back() = fileProbe(std::move(probes.back().id), true, std::move(error));
  }
  return probes;
}

qm::SnapshotProbe fileProbe(std::string id, bool readable, std::string error) {
  return {std::move(id), true,
          [readable, error = std::move(error)]() -> std::optional<qm::Observation> {
            if (!readable) return std::nullopt;
            throw std::runtime_error(error);
          }};
}

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

}  // namespace Quillon::Tools::State::detail
