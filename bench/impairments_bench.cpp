// The exact model's waveform and each channel impairment, per output sample, on 65536 samples.

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "channel/impairments.h"
#include "channel/noise.h"
#include "generator/family.h"

namespace quorvin::bench {
namespace {

constexpr std::size_t length = 65536;

template <class Stage>
void time_impairment(benchmark::State& state, Stage stage) {
  const Signal input = noisy_signal(length);
  for (auto _ : state) {
    state.PauseTiming();
    Signal work = input;
    state.ResumeTiming();
    const Signal out = stage(std::move(work));
    benchmark::DoNotOptimize(out.data());
  }
  count_items(state, length);
}

void exact_qpsk_rrc(benchmark::State& state) {
  const WaveformParameters p{.sample_rate = 37000.0, .num_samples = static_cast<std::int64_t>(length),
                             .symbol_rate = 10000.0, .symbol_seed = 1};
  for (auto _ : state) benchmark::DoNotOptimize(prepare_waveform(resolve_waveform("QPSK"), p)(0, length).data());
  count_items(state, length);
}

void white_noise(benchmark::State& state) {
  time_impairment(state, [](Signal s) { return add_white_noise(std::move(s), 20.0, 3); });
}
void carrier_offset(benchmark::State& state) {
  time_impairment(state, [](Signal s) { return apply_carrier_offset(std::move(s), 37.0, 37000.0); });
}
void rapp_amplifier(benchmark::State& state) {
  time_impairment(state, [](Signal s) { return apply_rapp_amplifier(std::move(s), 3.0, 2.0); });
}
void rician_fading(benchmark::State& state) {
  const FadingChannel channel{{0.0, 1.8, 3.4}, {0.0, -2.0, -10.0}, true, 4.0, 50.0, 37000.0};
  time_impairment(state, [&](Signal s) { return apply_fading(s, channel, 4); });
}
void phase_noise(benchmark::State& state) {
  time_impairment(state, [](Signal s) { return apply_phase_noise(std::move(s), 0.5, 5.0, 37000.0, 5); });
}
void clock_offset(benchmark::State& state) {
  time_impairment(state, [](Signal s) { return resample_by_clock(s, 17.0, 20.0, length - 64); });
}
void iq_imbalance(benchmark::State& state) {
  time_impairment(state, [](Signal s) { return apply_iq_imbalance(std::move(s), 1.0, 5.0, 0.05, -0.05); });
}
void adc(benchmark::State& state) {
  time_impairment(state, [](Signal s) { return quantise(std::move(s), 10, 0.0); });
}

BENCHMARK(exact_qpsk_rrc)->Unit(benchmark::kMicrosecond);
BENCHMARK(white_noise)->Unit(benchmark::kMicrosecond);
BENCHMARK(carrier_offset)->Unit(benchmark::kMicrosecond);
BENCHMARK(rapp_amplifier)->Unit(benchmark::kMicrosecond);
BENCHMARK(rician_fading)->Unit(benchmark::kMicrosecond);
BENCHMARK(phase_noise)->Unit(benchmark::kMicrosecond);
BENCHMARK(clock_offset)->Unit(benchmark::kMicrosecond);
BENCHMARK(iq_imbalance)->Unit(benchmark::kMicrosecond);
BENCHMARK(adc)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvin::bench
