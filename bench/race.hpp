// Side-by-side timing of one operation of ours against peers and floors, inside one benchmark.
//
// The machine's speed drifts from second to second and other work shares its cores, so times
// taken minutes apart cannot be divided. A race runs every contender for one short batch per
// round, in a rotating order, and divides times of the same round only; the median over the
// rounds discards the rounds that a preemption or a frequency change landed in. Every peer is
// also timed alone, in a plain loop outside the race; a peer whose two figures disagree gets no
// ratio, since the race, not the peer, would then be measured.
#ifndef QUILLON_BENCH_RACE_HPP
#define QUILLON_BENCH_RACE_HPP

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

namespace Quillon::Bench {

/// Runs an operation `count` times and returns the nanoseconds per call.
using Batch = std::function<double(std::size_t count)>;

using BatchClock = std::chrono::steady_clock;

[[nodiscard]] inline double nanosecondsSince(BatchClock::time_point start) {
  return std::chrono::duration<double, std::nano>(BatchClock::now() - start).count();
}

/// Times `op()` in a tight loop; the loop is a template instance, so `op` is inlined into it and
/// only the batch itself goes through a std::function.
template <typename Op>
[[nodiscard]] Batch repeat(Op op) {
  return [op = std::move(op)](std::size_t count) mutable {
    const auto start = BatchClock::now();
    for (std::size_t call = 0; call < count; ++call)
      op();
    return nanosecondsSince(start) / static_cast<double>(count);
  };
}

/// Times `op(prepare())` where building each input and destroying each result are not part of
/// the operation (a barrier consumes its probe vector; a sort needs an unsorted copy).
template <typename Prepare, typename Op>
[[nodiscard]] Batch repeatPrepared(Prepare prepare, Op op) {
  return [prepare = std::move(prepare), op = std::move(op)](std::size_t count) mutable {
    using Input = decltype(prepare());
    using Output = decltype(op(std::declval<Input>()));
    std::vector<Input> inputs;
    inputs.reserve(count);
    for (std::size_t call = 0; call < count; ++call)
      inputs.push_back(prepare());
    std::vector<std::optional<Output>> outputs(count);
    const auto start = BatchClock::now();
    for (std::size_t call = 0; call < count; ++call)
      outputs[call].emplace(op(std::move(inputs[call])));
    return nanosecondsSince(start) / static_cast<double>(count);
  };
}

/// One benchmark's contenders: ours first, then peers (reported as "peer/ours", how many times
/// faster we are) and floors (reported as "ours/floor", how many times the floor we cost).
class Race {
 public:
  /// `unitsPerCall` divides every reported time (for example the subjects of one capture).
  Race(benchmark::State& state, Batch ours, double unitsPerCall = 1.0)
      : state_(state), unitsPerCall_(unitsPerCall) {
    contenders_.push_back({"ours", Role::ours, std::move(ours), {}, 0.0});
  }

  Race& peer(std::string name, Batch batch) {
    contenders_.push_back({std::move(name), Role::peer, std::move(batch), {}, 0.0});
    return *this;
  }

  Race& floor(std::string name, Batch batch) {
    contenders_.push_back({std::move(name), Role::floor, std::move(batch), {}, 0.0});
    return *this;
  }

  /// Runs the rounds that the benchmark asks for and sets the counters: "<name>_ns" (median time
  /// per unit) for every contender, "<peer>_alone_ns" for every peer timed alone, and one ratio
  /// per peer or floor (median of the per-round ratios). A peer whose time alone and time in the
  /// race differ by more than kAgreement gets no ratio but a label naming both times. The
  /// benchmark's own time is that of one whole round.
  void run() {
    const std::size_t batch = calibrate();
    std::size_t round = 0;
    for (auto _ : state_) {
      for (std::size_t turn = 0; turn < contenders_.size(); ++turn) {
        Contender& contender = contenders_[(round + turn) % contenders_.size()];
        contender.times.push_back(contender.batch(batch) / unitsPerCall_);
      }
      ++round;
    }
    timeAlone(batch, round);
    report();
  }

  /// The largest factor by which a peer's time alone and its time in the race may differ.
  static constexpr double kAgreement = 1.5;

 private:
  enum class Role { ours, peer, floor };

  struct Contender {
    std::string name;
    Role role;
    Batch batch;
    std::vector<double> times;
    double alone;  // median per unit in a loop of its own; peers only
  };

  /// Warms every contender up (caches, allocator, branch predictors) and sizes the batch so that
  /// ours runs for about 20 microseconds, far above the clock's own cost.
  std::size_t calibrate() {
    for (Contender& contender : contenders_)
      contender.batch(1);
    const double oneCall = std::max(contenders_.front().batch(1), 1.0);
    constexpr double kBatchNanoseconds = 20'000.0;
    return std::max<std::size_t>(1, static_cast<std::size_t>(kBatchNanoseconds / oneCall));
  }

  /// Times every peer in batches run back to back, with no other contender in between: as many
  /// as the race had rounds, at most kAloneBatches.
  void timeAlone(std::size_t batch, std::size_t rounds) {
    constexpr std::size_t kAloneBatches = 200;
    for (Contender& contender : contenders_) {
      if (contender.role != Role::peer) continue;
      std::vector<double> times(std::clamp<std::size_t>(rounds, 1, kAloneBatches));
      for (double& time : times)
        time = contender.batch(batch) / unitsPerCall_;
      contender.alone = median(std::move(times));
    }
  }

  static double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
  }

  void report() {
    const std::vector<double>& ours = contenders_.front().times;
    std::string disagreements;
    for (const Contender& contender : contenders_) {
      const double raced = median(contender.times);
      state_.counters[contender.name + "_ns"] = raced;
      if (contender.role == Role::ours) continue;
      if (contender.role == Role::peer) {
        state_.counters[contender.name + "_alone_ns"] = contender.alone;
        if (std::max(raced, contender.alone) > kAgreement * std::min(raced, contender.alone)) {
          disagreements += (disagreements.empty() ? "NO RATIO: " : "; ") + contender.name + " " +
                           std::to_string(std::lround(raced)) + " ns raced, " +
                           std::to_string(std::lround(contender.alone)) + " ns alone";
          continue;
        }
      }
      std::vector<double> ratios;
      ratios.reserve(ours.size());
      for (std::size_t round = 0; round < ours.size(); ++round) {
        ratios.push_back(contender.role == Role::peer ? contender.times[round] / ours[round]
                                                      : ours[round] / contender.times[round]);
      }
      const std::string name =
          contender.role == Role::peer ? contender.name + "/ours" : "ours/" + contender.name;
      state_.counters[name] = median(std::move(ratios));
    }
    if (!disagreements.empty()) state_.SetLabel(disagreements);
  }

  benchmark::State& state_;
  double unitsPerCall_;
  std::vector<Contender> contenders_;
};

/// Aborts the benchmark (the run then exits with a failure status) when a contender does not
/// produce the bytes it is compared with; returns whether the bytes agree.
[[nodiscard]] inline bool sameBytes(benchmark::State& state, std::string_view what,
                                    std::string_view actual, std::string_view expected) {
  if (actual == expected) return true;
  const std::string message = std::string(what) + " writes other bytes: " + std::string(actual);
  state.SkipWithError(message.c_str());
  return false;
}

}  // namespace Quillon::Bench

#endif  // QUILLON_BENCH_RACE_HPP
