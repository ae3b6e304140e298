#pragma once
// Inputs shared by the micro benchmarks: deterministic, shaped like what the generator makes.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>

#include "common/signal.h"

namespace quorvin::bench {

// Noisy unit-circle samples, as a QPSK file at 20 dB SNR holds: `count` samples.
inline Signal noisy_signal(std::size_t count, std::uint32_t seed = 1) {
  std::mt19937 engine(seed);
  std::normal_distribution<double> noise(0.0, 0.07);
  std::uniform_int_distribution<int> symbol(0, 3);
  Signal out(count);
  for (Sample& s : out) {
    s = unit_phasor(symbol(engine) * (pi / 2.0) + pi / 4.0) + Sample(noise(engine), noise(engine));
  }
  return out;
}

// `count` symbols uniform in 0 .. alphabet - 1.
inline Symbols random_symbols(std::size_t count, std::int32_t alphabet, std::uint32_t seed = 2) {
  std::mt19937 engine(seed);
  std::uniform_int_distribution<std::int32_t> symbol(0, alphabet - 1);
  Symbols out(count);
  for (std::int32_t& s : out) s = symbol(engine);
  return out;
}

// Reports the run as items (samples or values) per second and as CPU time per item ("per_item",
// in seconds; the console shows it with its SI prefix, as in 42ns).
inline void count_items(benchmark::State& state, std::size_t items_per_iteration) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(items_per_iteration));
  state.counters["per_item"] =
      benchmark::Counter(static_cast<double>(items_per_iteration),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Reports the run's output as bytes per second.
inline void count_bytes(benchmark::State& state, std::size_t bytes_per_iteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes_per_iteration));
}

}  // namespace quorvin::bench
