#include "nvml.hpp"

#include <dlfcn.h>

namespace Quillon::Tools::State {

namespace {

/// Sets `entry` to the symbol `name` of `handle`; false when the library lacks it.
template <typename Function>
bool bind(void* handle, const char* name, Function& entry) {
  // POSIX guarantees that dlsym's object pointer converts to a function pointer.
  entry = reinterpret_cast<Function>(::dlsym(handle, name));
  return entry != nullptr;
}

/// The loader's last error; dlerror() is null when the loader recorded none.
std::string loaderError() {
  const char* error = ::dlerror();
  return error != nullptr ? error : "the dynamic loader gave no reason";
}

}  // namespace

Nvml::Nvml(const std::string& library) {
  handle_ = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    error_ = loaderError();
    return;
  }
  NvmlApi& a = api_;
  const bool bound =
      bind(handle_, "nvmlInit_v2", a.nvmlInit_v2) &&
      bind(handle_, "nvmlShutdown", a.nvmlShutdown) &&
      bind(handle_, "nvmlErrorString", a.nvmlErrorString) &&
      bind(handle_, "nvmlDeviceGetCount_v2", a.nvmlDeviceGetCount_v2) &&
      bind(handle_, "nvmlDeviceGetHandleByIndex_v2", a.nvmlDeviceGetHandleByIndex_v2) &&
      bind(handle_, "nvmlDeviceGetUUID", a.nvmlDeviceGetUUID) &&
      bind(handle_, "nvmlDeviceGetName", a.nvmlDeviceGetName) &&
      bind(handle_, "nvmlDeviceGetMemoryInfo", a.nvmlDeviceGetMemoryInfo) &&
      bind(handle_, "nvmlDeviceGetUtilizationRates", a.nvmlDeviceGetUtilizationRates) &&
      bind(handle_, "nvmlDeviceGetTemperature", a.nvmlDeviceGetTemperature) &&
      bind(handle_, "nvmlDeviceGetPowerUsage", a.nvmlDeviceGetPowerUsage) &&
      bind(handle_, "nvmlDeviceGetTotalEccErrors", a.nvmlDeviceGetTotalEccErrors) &&
      bind(handle_, "nvmlDeviceGetRetiredPagesPendingStatus",
           a.nvmlDeviceGetRetiredPagesPendingStatus) &&
      bind(handle_, "nvmlDeviceGetCurrentClocksThrottleReasons",
           a.nvmlDeviceGetCurrentClocksThrottleReasons);
  if (!bound) {
    error_ = loaderError();
    return;
  }
  // Row remapping came with later drivers: without it, the attributes are absent.
  (void)bind(handle_, "nvmlDeviceGetRemappedRows", a.nvmlDeviceGetRemappedRows);
  if (const nvmlReturn_t code = a.nvmlInit_v2(); code != kNvmlSuccess) {
    error_ = failure("nvmlInit_v2", code);
    return;
  }
  initialised_ = true;
}

Nvml::~Nvml() {
  if (initialised_) (void)api_.nvmlShutdown();
  if (handle_ != nullptr) ::dlclose(handle_);
}

std::string Nvml::failure(std::string_view call, nvmlReturn_t code) const {
  std::string text(call);
  text += ": ";
  const char* reason = api_.nvmlErrorString(code);
  text += reason != nullptr ? reason : "unknown error " + std::to_string(code);
  return text;
}

}  // namespace Quillon::Tools::State
