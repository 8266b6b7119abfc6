// GPUs: the cards that the kernel's DRM drivers describe in sysfs, and NVIDIA's through NVML.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "probe_sources.hpp"

namespace Quillon::Tools::State::detail {

namespace {

constexpr std::uint64_t kMaxPercent = 100;
// Clock throttle reasons that mean heat or power holds the GPU back (NVML's bit values):
// SwPowerCap, HwSlowdown, SwThermalSlowdown, HwThermalSlowdown, HwPowerBrakeSlowdown.
constexpr unsigned long long kThrottledByHeatOrPower =
    0x04ULL | 0x08ULL | 0x20ULL | 0x40ULL | 0x80ULL;

bool isCardName(std::string_view name) {
  return name.size() > 4 && name.starts_with("card") &&
         name.find_first_not_of("0123456789", 4) == std::string_view::npos;
}

bool isPrintableAscii(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
  });
}

/// Returns the memory share of a card or GPU, failing as `fail` when it cannot be one.
template <typename Fail>
Share memoryShare(std::uint64_t used, std::uint64_t total, Fail fail) {
  if (total == 0) fail("memory total is zero");
  if (used > total) fail("memory used is above memory total");
  return {used, total};
}

/// Reads one GPU of NVML into attributes and health.
class GpuReader {
 public:
  GpuReader(const Nvml& nvml, nvmlDevice_t device) : nvml_(nvml), device_(device) {}

  /// Calls `call` as `name`; throws NVML's failure, or returns false for "not supported".
  template <typename Call>
  bool optional(const char* name, Call call) const {
    const nvmlReturn_t code = call();
    if (code == kNvmlErrorNotSupported) return false;
    if (code != kNvmlSuccess) throw std::runtime_error(nvml_.failure(name, code));
    return true;
  }

  /// Calls `call` as `name`; throws NVML's failure, "not supported" included.
  template <typename Call>
  void required(const char* name, Call call) const {
    const nvmlReturn_t code = call();
    if (code != kNvmlSuccess) throw std::runtime_error(nvml_.failure(name, code));
  }

  [[nodiscard]] const NvmlApi& api() const { return nvml_.api(); }
  [[nodiscard]] nvmlDevice_t device() const { return device_; }

 private:
  const Nvml& nvml_;
  nvmlDevice_t device_;
};

std::string flag(unsigned int value) {
  return value != 0 ? "true" : "false";
}

std::optional<qm::Observation> readGpu(const Context& context, const Nvml& nvml, const NvmlGpu& gpu,
                                       const std::string& id, std::string name) {
  if (!gpu.error.empty()) throw std::runtime_error(gpu.error);
  const GpuReader reader(nvml, gpu.device);
  const NvmlApi& api = reader.api();
  std::array<char, kNvmlStringBuffer> model{};
  reader.required("nvmlDeviceGetName", [&] {
    return api.nvmlDeviceGetName(gpu.device, model.data(), kNvmlStringBuffer);
  });
  const std::string_view model_name(model.data(), ::strnlen(model.data(), model.size() - 1));
  if (!isPrintableAscii(model_name)) {
    throw std::runtime_error("nvmlDeviceGetName: name is not printable ASCII");
  }
  nvmlMemory_t memory;
  reader.required("nvmlDeviceGetMemoryInfo",
                  [&] { return api.nvmlDeviceGetMemoryInfo(gpu.device, &memory); });
  const Share used = memoryShare(memory.used, memory.total, [](std::string_view what) {
    throw std::runtime_error("nvmlDeviceGetMemoryInfo: " + std::string(what));
  });
  qm::AttributeMap attributes{{"memory_total_bytes", std::to_string(memory.total)},
                              {"memory_used_bytes", std::to_string(memory.used)},
                              {"name", std::string(model_name)},
                              {"uuid", gpu.uuid}};
  nvmlUtilization_t utilization;
  if (reader.optional("nvmlDeviceGetUtilizationRates", [&] {
        return api.nvmlDeviceGetUtilizationRates(gpu.device, &utilization);
      })) {
    if (utilization.gpu > kMaxPercent) {
      throw std::runtime_error("nvmlDeviceGetUtilizationRates: utilization " +
                               std::to_string(utilization.gpu) + " is above 100");
    }
    attributes.emplace("utilization_percent", std::to_string(utilization.gpu));
  }
  unsigned int value = 0;
  if (reader.optional("nvmlDeviceGetTemperature", [&] {
        return api.nvmlDeviceGetTemperature(gpu.device, kNvmlTemperatureGpu, &value);
      })) {
    attributes.emplace("temperature_c", std::to_string(value));
  }
  if (reader.optional("nvmlDeviceGetPowerUsage",
                      [&] { return api.nvmlDeviceGetPowerUsage(gpu.device, &value); })) {
    attributes.emplace("power_mw", std::to_string(value));
  }
  bool unhealthy = false;
  std::vector<std::uint64_t> counters;
  unsigned long long ecc = 0;
  if (reader.optional("nvmlDeviceGetTotalEccErrors", [&] {
        return api.nvmlDeviceGetTotalEccErrors(gpu.device, kNvmlMemoryErrorUncorrected,
                                               kNvmlVolatileEcc, &ecc);
      })) {
    attributes.emplace("ecc_uncorrected_volatile", std::to_string(ecc));
    counters.push_back(ecc);
  }
  int pending = 0;
  if (reader.optional("nvmlDeviceGetRetiredPagesPendingStatus", [&] {
        return api.nvmlDeviceGetRetiredPagesPendingStatus(gpu.device, &pending);
      })) {
    attributes.emplace("retired_pages_pending", flag(static_cast<unsigned int>(pending)));
    unhealthy = unhealthy || pending != 0;
  }
  std::array<unsigned int, 4> rows{};
  if (api.nvmlDeviceGetRemappedRows != nullptr && reader.optional("nvmlDeviceGetRemappedRows", [&] {
        return api.nvmlDeviceGetRemappedRows(gpu.device, &rows[0], &rows[1], &rows[2], &rows[3]);
      })) {
    attributes.emplace("row_remap_pending", flag(rows[2]));
    attributes.emplace("row_remap_failed", flag(rows[3]));
    unhealthy = unhealthy || rows[2] != 0 || rows[3] != 0;
  }
  unsigned long long reasons = 0;
  bool throttled = false;
  if (reader.optional("nvmlDeviceGetCurrentClocksThrottleReasons", [&] {
        return api.nvmlDeviceGetCurrentClocksThrottleReasons(gpu.device, &reasons);
      })) {
    std::array<char, 19> hex{};
    std::snprintf(hex.data(), hex.size(), "0x%016llx", reasons);
    attributes.emplace("throttle_reasons", hex.data());
    throttled = (reasons & kThrottledByHeatOrPower) != 0;
  }
  qm::Observation device = observation(context, qm::EntityKind::device, std::move(name));
  // Keyed by UUID too: another GPU at this index after a driver reload has counts of its own.
  const std::optional<Rise> since =
      rise(context.baselines, id + " " + gpu.uuid, counters, device.observed_at_ns,
           context.generation, {"nvmlDeviceGetTotalEccErrors", 0}, "uncorrected ECC errors");
  const std::uint64_t ecc_rise = counters.empty() ? 0 : since ? since->values[0] : counters[0];
  unhealthy = unhealthy || ecc_rise > 0;
  attributes.emplace("window", windowOf(since));
  const qm::HealthState health = unhealthy   ? qm::HealthState::unhealthy
                                 : throttled ? qm::HealthState::degraded
                                             : qm::HealthState::healthy;
  observe(device, fraction(used), health, std::move(attributes));
  return device;
}

}  // namespace

DrmSource readDrm(const std::string& sys) {
  DrmSource drm{sys + "/class/drm", {}, 0};
  DirectoryListing listing = listDirectory(drm.dir);
  drm.error = listing.error == ENOENT ? 0 : listing.error;
  for (std::string& name : listing.names) {
    if (isCardName(name) && exists(drm.dir + "/" + name + "/device/gpu_busy_percent")) {
      drm.cards.push_back(std::move(name));
    }
  }
  return drm;
}

void addDrmProbes(std::vector<Candidate>& probes, const Context& context, const DrmSource& drm) {
  if (drm.error != 0) {
    probes.push_back({fileProbe("device:" + context.host_id + "/card", false, {}), {drm.dir, 0}});
    return;
  }
  for (const std::string& card : drm.cards) {
    probes.push_back({{"device:" + context.host_id + "/" + card, true,
                       [&context, &drm, &card]() -> std::optional<qm::Observation> {
                         const std::string device = drm.dir + "/" + card + "/device/";
                         const std::string busy_path = device + "gpu_busy_percent";
                         const std::optional<std::uint64_t> busy = readValueFile(busy_path);
                         const std::optional<std::uint64_t> used =
                             readValueFile(device + "mem_info_vram_used");
                         const std::optional<std::uint64_t> total =
                             readValueFile(device + "mem_info_vram_total");
                         if (!busy || !used || !total) return std::nullopt;
                         if (*busy > kMaxPercent)
                           Where{busy_path, 1}.fail("busy percentage is above 100");
                         const Share vram = memoryShare(*used, *total, [&](std::string_view what) {
                           Where{device + "mem_info_vram_total", 1}.fail(what);
                         });
                         qm::Observation record =
                             observation(context, qm::EntityKind::device, card);
                         // The files hold no sign of the card's health, so none is claimed.
                         observe(record, fraction(vram), qm::HealthState::unknown,
                                 {{"memory_total_bytes", std::to_string(*total)},
                                  {"memory_used_bytes", std::to_string(*used)},
                                  {"utilization_percent", std::to_string(*busy)}});
                         return record;
                       }},
                      {drm.dir, 0}});
  }
}

NvmlSource readNvml(const Nvml& nvml) {
  NvmlSource source;
  if (!nvml.loaded()) {
    source.error = nvml.error();
    return source;
  }
  const NvmlApi& api = nvml.api();
  unsigned int count = 0;
  if (const nvmlReturn_t code = api.nvmlDeviceGetCount_v2(&count); code != kNvmlSuccess) {
    source.error = nvml.failure("nvmlDeviceGetCount_v2", code);
    return source;
  }
  source.gpus.resize(count);
  for (unsigned int index = 0; index < count; ++index) {
    NvmlGpu& gpu = source.gpus[index];
    gpu.index = index;
    nvmlReturn_t code = api.nvmlDeviceGetHandleByIndex_v2(index, &gpu.device);
    if (code != kNvmlSuccess) {
      gpu.error = nvml.failure("nvmlDeviceGetHandleByIndex_v2", code);
      continue;
    }
    std::array<char, kNvmlStringBuffer> uuid{};
    code = api.nvmlDeviceGetUUID(gpu.device, uuid.data(), kNvmlStringBuffer);
    gpu.uuid.assign(uuid.data(), ::strnlen(uuid.data(), uuid.size() - 1));
    if (code != kNvmlSuccess) gpu.error = nvml.failure("nvmlDeviceGetUUID", code);
    if (code == kNvmlSuccess && !isPrintableAscii(gpu.uuid)) {
      gpu.error = "nvmlDeviceGetUUID: uuid is not printable ASCII";
    }
    for (unsigned int before = 0; before < index && gpu.error.empty(); ++before) {
      NvmlGpu& other = source.gpus[before];
      if (other.uuid != gpu.uuid) continue;
      gpu.error = other.error = "gpu" + std::to_string(other.index) + " and gpu" +
                                std::to_string(index) + " report the same uuid " + gpu.uuid;
    }
  }
  return source;
}

void addNvmlProbes(std::vector<Candidate>& probes, std::vector<MissingReason>& missing,
                   const Context& context, const Nvml& nvml, const NvmlSource& source,
                   std::uint64_t expected, const std::string& library) {
  const std::string parent = "device:" + context.host_id + "/";
  for (const NvmlGpu& gpu : source.gpus) {
    std::string name = "gpu" + std::to_string(gpu.index);
    std::string id = parent + name;
    probes.push_back(
        {{id, true,
          [&context, &nvml, &gpu, id, name] { return readGpu(context, nvml, gpu, id, name); }},
         {library, 0}});
  }
  if (expected == 0 && nvml.loaded() && !source.error.empty()) {
    probes.push_back({fileProbe(parent + "gpu", true, source.error), {library, 0}});
  }
  const std::string reason = source.error.empty()
                                 ? std::to_string(source.gpus.size()) + " of " +
                                       std::to_string(expected) + " expected GPUs visible"
                                 : source.error;
  for (std::uint64_t index = source.gpus.size(); index < expected; ++index) {
    std::string id = parent + "gpu" + std::to_string(index);
    missing.emplace_back(id, reason);
    probes.push_back({fileProbe(std::move(id), false, {}), {library, 0}});
  }
}

}  // namespace Quillon::Tools::State::detail
