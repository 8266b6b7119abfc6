// Counts the heap allocations of this benchmark binary: every operator new goes through a
// replacement that bumps a per-thread counter before calling malloc, as the default one does.
#ifndef QUILLON_BENCH_ALLOCATION_COUNT_HPP
#define QUILLON_BENCH_ALLOCATION_COUNT_HPP

#include <cstdint>

namespace Quillon::Bench {

/// Returns how many times operator new has run on this thread so far.
[[nodiscard]] std::uint64_t allocationsSoFar() noexcept;

/// Returns how many allocations one call of `op` makes (the result's own included).
template <typename Op>
[[nodiscard]] double allocationsOf(Op op) {
  const std::uint64_t before = allocationsSoFar();
  op();
  return static_cast<double>(allocationsSoFar() - before);
}

}  // namespace Quillon::Bench

#endif  // QUILLON_BENCH_ALLOCATION_COUNT_HPP
