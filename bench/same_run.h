// SPDX-License-Identifier: MIT
// Same-run ratios for the benchmarks. The machine is shared and its load changes from one
// second to the next, so a ratio of two separate benchmarks says little. Here the kit and
// its reference run alternately, batch by batch (the order swapped every time), each pair
// of batches timed on its own, and the ratios are the medians over the pairs, so that a
// burst of load falls on one pair and not on the result. Counters:
//   kit_ns, ref_ns  median time per unit of work (a line, a block, a byte: the caller says)
//   share           median of reference time / kit time over the pairs: the kit's
//                   throughput as a share of the reference's (higher is better)
//   cost            median of kit time / reference time (lower is better)
// Both kit and reference are timed by the calling thread's CPU clock, unless they involve
// other threads: then by the wall clock (Clock::kWall).
#ifndef KITE_BENCH_SAME_RUN_H
#define KITE_BENCH_SAME_RUN_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <vector>

namespace kite_bench {

enum class Clock { kThreadCpu, kWall };

inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

inline double seconds(Clock clock) {
  timespec t;
  clock_gettime(clock == Clock::kWall ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Each iteration runs kit() and reference() once; units is the work of one such call.
template <class Kit, class Reference>
void alternate(benchmark::State& state, double units, Kit&& kit, Reference&& reference,
               Clock clock = Clock::kThreadCpu) {
  std::vector<double> kit_seconds, reference_seconds, shares, costs;
  bool kit_first = false;
  for (auto _ : state) {
    kit_first = !kit_first;
    const double t0 = seconds(clock);
    if (kit_first) {
      kit();
    } else {
      reference();
    }
    const double t1 = seconds(clock);
    if (kit_first) {
      reference();
    } else {
      kit();
    }
    const double t2 = seconds(clock);
    const double kit = kit_first ? t1 - t0 : t2 - t1;
    const double reference = kit_first ? t2 - t1 : t1 - t0;
    kit_seconds.push_back(kit);
    reference_seconds.push_back(reference);
    shares.push_back(reference / kit);
    costs.push_back(kit / reference);
    state.SetIterationTime(t2 - t0);
  }
  state.counters["kit_ns"] = median(kit_seconds) / units * 1e9;
  state.counters["ref_ns"] = median(reference_seconds) / units * 1e9;
  state.counters["share"] = median(shares);
  state.counters["cost"] = median(costs);
}

}  // namespace kite_bench

#endif
