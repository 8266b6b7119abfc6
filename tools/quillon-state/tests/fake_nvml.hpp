// A stand-in for NVML's shared library in the tests: the entry points the GPU probes call, each
// answering from the state below, which a test sets through fakeNvml() after loading the library.
#ifndef QUILLON_STATE_FAKE_NVML_HPP
#define QUILLON_STATE_FAKE_NVML_HPP

#include <array>

#include "nvml.hpp"

namespace Quillon::Tools::State {

/// One GPU; a negative optional reading stands for NVML's "not supported".
struct FakeGpu {
  std::array<char, kNvmlStringBuffer> uuid{};
  std::array<char, kNvmlStringBuffer> name{};
  nvmlMemory_t memory;
  unsigned int utilization = 0;
  unsigned int temperature = 0;
  unsigned int power_mw = 0;
  long long ecc = -1;
  int pages_pending = -1;
  int remap_pending = -1;
  unsigned long long throttle = 0;
};

/// The library's whole state: what nvmlInit_v2 and nvmlDeviceGetCount_v2 answer, the GPUs, and
/// one call (by name, on one GPU) made to fail with `failing_code`.
struct FakeNvml {
  nvmlReturn_t init_result = kNvmlSuccess;
  nvmlReturn_t count_result = kNvmlSuccess;
  unsigned int count = 0;
  std::array<FakeGpu, 4> gpus{};
  std::array<char, 64> failing_call{};
  unsigned int failing_gpu = 0;
  nvmlReturn_t failing_code = 0;
  int inits = 0;
  int shutdowns = 0;
};

}  // namespace Quillon::Tools::State

extern "C" Quillon::Tools::State::FakeNvml* fakeNvml();

#endif  // QUILLON_STATE_FAKE_NVML_HPP
