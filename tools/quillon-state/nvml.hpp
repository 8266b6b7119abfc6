// The part of NVML's public C interface that the GPU probes call, loaded at run time, so that
// building needs no driver or CUDA package and a machine without NVIDIA's driver runs as any other.
//
// Guarantees: a Nvml either holds every entry point it needs, initialised once with nvmlInit_v2,
// or says why not (the loader's error, or the call that failed and NVML's error string); it never
// half-works. Destruction calls nvmlShutdown (when the initialisation succeeded) and unloads the
// library. NVML itself is thread-safe; a Nvml is immutable once made.
#ifndef QUILLON_STATE_NVML_HPP
#define QUILLON_STATE_NVML_HPP

#include <string>
#include <string_view>

namespace Quillon::Tools::State {

// NVML's own types, as its C header declares them.
struct nvmlDevice_st;
using nvmlDevice_t = nvmlDevice_st*;
/// NVML's return code, an enumeration of int in C.
using nvmlReturn_t = int;

struct nvmlMemory_t {
  unsigned long long total = 0;
  unsigned long long free = 0;
  unsigned long long used = 0;
};

struct nvmlUtilization_t {
  unsigned int gpu = 0;
  unsigned int memory = 0;
};

inline constexpr nvmlReturn_t kNvmlSuccess = 0;
inline constexpr nvmlReturn_t kNvmlErrorNotSupported = 3;
/// nvmlTemperatureSensors_t: the GPU die.
inline constexpr int kNvmlTemperatureGpu = 0;
/// nvmlMemoryErrorType_t: uncorrected errors.
inline constexpr int kNvmlMemoryErrorUncorrected = 1;
/// nvmlEccCounterType_t: counts since the driver was loaded.
inline constexpr int kNvmlVolatileEcc = 0;
/// The buffer size that NVML guarantees large enough for a name or a UUID.
inline constexpr unsigned int kNvmlStringBuffer = 96;

/// The NVML entry points the probes call. The last one is optional (older drivers lack it) and
/// may be null; every other one is present in a loaded Nvml.
struct NvmlApi {
  nvmlReturn_t (*nvmlInit_v2)() = nullptr;
  nvmlReturn_t (*nvmlShutdown)() = nullptr;
  const char* (*nvmlErrorString)(nvmlReturn_t) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetCount_v2)(unsigned int*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetHandleByIndex_v2)(unsigned int, nvmlDevice_t*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetUUID)(nvmlDevice_t, char*, unsigned int) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetName)(nvmlDevice_t, char*, unsigned int) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetMemoryInfo)(nvmlDevice_t, nvmlMemory_t*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetUtilizationRates)(nvmlDevice_t, nvmlUtilization_t*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetTemperature)(nvmlDevice_t, int, unsigned int*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetPowerUsage)(nvmlDevice_t, unsigned int*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetTotalEccErrors)(nvmlDevice_t, int, int,
                                              unsigned long long*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetRetiredPagesPendingStatus)(nvmlDevice_t, int*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetCurrentClocksThrottleReasons)(nvmlDevice_t,
                                                            unsigned long long*) = nullptr;
  nvmlReturn_t (*nvmlDeviceGetRemappedRows)(nvmlDevice_t, unsigned int*, unsigned int*,
                                            unsigned int*, unsigned int*) = nullptr;
};

/// NVML loaded from one shared library and initialised, or the reason it is not.
class Nvml {
 public:
  /// Loads `library` (a name the dynamic loader searches for, or a path) and initialises it.
  /// Never throws for a library that is absent or broken: error() says why.
  explicit Nvml(const std::string& library);
  ~Nvml();
  Nvml(const Nvml&) = delete;
  Nvml& operator=(const Nvml&) = delete;

  /// Returns whether the entry points can be called.
  [[nodiscard]] bool loaded() const noexcept { return error_.empty(); }

  /// Returns why the library is not loaded ("libnvidia-ml.so.1: cannot open shared object file:
  /// No such file or directory", "nvmlInit_v2: Driver Not Loaded"); empty when it is.
  [[nodiscard]] const std::string& error() const noexcept { return error_; }

  /// Returns the entry points; call them only when loaded().
  [[nodiscard]] const NvmlApi& api() const noexcept { return api_; }

  /// Returns "CALL: " and NVML's error string of `code`.
  [[nodiscard]] std::string failure(std::string_view call, nvmlReturn_t code) const;

 private:
  void* handle_ = nullptr;
  bool initialised_ = false;
  NvmlApi api_;
  std::string error_;
};

}  // namespace Quillon::Tools::State

#endif  // QUILLON_STATE_NVML_HPP
