#include "fake_nvml.hpp"

#include <cstring>
#include <string_view>

namespace {

using namespace Quillon::Tools::State;

FakeNvml state;

/// The GPU behind a handle: handles are the addresses of the fake's GPUs.
FakeGpu& gpu(nvmlDevice_t device) {
  return *reinterpret_cast<FakeGpu*>(device);
}

/// The failure chosen for `call` on `device`, or success.
nvmlReturn_t answer(std::string_view call, nvmlDevice_t device) {
  const bool chosen =
      call == state.failing_call.data() && &gpu(device) == &state.gpus.at(state.failing_gpu);
  return chosen ? state.failing_code : kNvmlSuccess;
}

nvmlReturn_t copy(const std::array<char, kNvmlStringBuffer>& text, char* out, unsigned int size) {
  std::strncpy(out, text.data(), size);
  return kNvmlSuccess;
}

}  // namespace

extern "C" {

FakeNvml* fakeNvml() {
  return &state;
}

nvmlReturn_t nvmlInit_v2() {
  state.inits += state.init_result == kNvmlSuccess ? 1 : 0;
  return state.init_result;
}

nvmlReturn_t nvmlShutdown() {
  ++state.shutdowns;
  return kNvmlSuccess;
}

const char* nvmlErrorString(nvmlReturn_t code) {
  return code == kNvmlErrorNotSupported ? "Not Supported"
         : code == 9                    ? "Driver Not Loaded"
         : code == 15                   ? "GPU is lost"
                                        : "Unknown Error";
}

nvmlReturn_t nvmlDeviceGetCount_v2(unsigned int* count) {
  *count = state.count;
  return state.count_result;
}

nvmlReturn_t nvmlDeviceGetHandleByIndex_v2(unsigned int index, nvmlDevice_t* device) {
  *device = reinterpret_cast<nvmlDevice_t>(&state.gpus.at(index));
  return answer("nvmlDeviceGetHandleByIndex_v2", *device);
}

nvmlReturn_t nvmlDeviceGetUUID(nvmlDevice_t device, char* uuid, unsigned int size) {
  if (const nvmlReturn_t code = answer("nvmlDeviceGetUUID", device)) return code;
  return copy(gpu(device).uuid, uuid, size);
}

nvmlReturn_t nvmlDeviceGetName(nvmlDevice_t device, char* name, unsigned int size) {
  if (const nvmlReturn_t code = answer("nvmlDeviceGetName", device)) return code;
  return copy(gpu(device).name, name, size);
}

nvmlReturn_t nvmlDeviceGetMemoryInfo(nvmlDevice_t device, nvmlMemory_t* memory) {
  *memory = gpu(device).memory;
  return answer("nvmlDeviceGetMemoryInfo", device);
}

nvmlReturn_t nvmlDeviceGetUtilizationRates(nvmlDevice_t device, nvmlUtilization_t* rates) {
  *rates = {gpu(device).utilization, 0};
  return answer("nvmlDeviceGetUtilizationRates", device);
}

nvmlReturn_t nvmlDeviceGetTemperature(nvmlDevice_t device, int, unsigned int* celsius) {
  *celsius = gpu(device).temperature;
  return answer("nvmlDeviceGetTemperature", device);
}

nvmlReturn_t nvmlDeviceGetPowerUsage(nvmlDevice_t device, unsigned int* milliwatts) {
  *milliwatts = gpu(device).power_mw;
  return answer("nvmlDeviceGetPowerUsage", device);
}

nvmlReturn_t nvmlDeviceGetTotalEccErrors(nvmlDevice_t device, int, int, unsigned long long* count) {
  if (gpu(device).ecc < 0) return kNvmlErrorNotSupported;
  *count = static_cast<unsigned long long>(gpu(device).ecc);
  return answer("nvmlDeviceGetTotalEccErrors", device);
}

nvmlReturn_t nvmlDeviceGetRetiredPagesPendingStatus(nvmlDevice_t device, int* pending) {
  if (gpu(device).pages_pending < 0) return kNvmlErrorNotSupported;
  *pending = gpu(device).pages_pending;
  return answer("nvmlDeviceGetRetiredPagesPendingStatus", device);
}

nvmlReturn_t nvmlDeviceGetCurrentClocksThrottleReasons(nvmlDevice_t device,
                                                       unsigned long long* reasons) {
  *reasons = gpu(device).throttle;
  return answer("nvmlDeviceGetCurrentClocksThrottleReasons", device);
}

nvmlReturn_t nvmlDeviceGetRemappedRows(nvmlDevice_t device, unsigned int* corrected,
                                       unsigned int* uncorrected, unsigned int* pending,
                                       unsigned int* failed) {
  if (gpu(device).remap_pending < 0) return kNvmlErrorNotSupported;
  *corrected = *uncorrected = 0;
  *pending = static_cast<unsigned int>(gpu(device).remap_pending);
  *failed = 0;
  return answer("nvmlDeviceGetRemappedRows", device);
}

}  // extern "C"
