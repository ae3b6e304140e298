// Each stage of the signal chain, per output sample, at a short (1000) and a long (65536)
// length: a cost per sample that grows with the length would show a stage that is not linear.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "bench_support.h"
#include "channel/noise.h"
#include "channel/timing.h"
#include "generator/fsk.h"
#include "generator/generator.h"
#include "modulation/analog.h"
#include "modulation/constellation.h"
#include "modulation/fft.h"
#include "modulation/keying.h"

namespace quorvin::bench {
namespace {

// The reference batch's kind of rates: 10 kHz sampling, a symbol rate that does not divide it.
constexpr double sample_rate = 10000.0;
constexpr double symbol_rate = 3000.0;
constexpr double samples_per_symbol = sample_rate / symbol_rate;

std::size_t length_of(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

// Symbols enough for about `samples` output samples at samples_per_symbol.
std::size_t symbols_for(std::size_t samples) {
  return static_cast<std::size_t>(std::ceil(static_cast<double>(samples) / samples_per_symbol));
}

// Times `stage` applied to a fresh copy of `input`; the copy itself is not timed, since in the
// generator every stage receives its input by move.
template <class Stage>
void time_stage(benchmark::State& state, const Signal& input, Stage stage) {
  std::size_t produced = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Signal work = input;
    state.ResumeTiming();
    const Signal out = stage(std::move(work));
    produced = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  count_items(state, produced);
}

// Times a modulator that draws nothing from an input signal.
template <class Make>
void time_maker(benchmark::State& state, Make make) {
  std::size_t produced = 0;
  for (auto _ : state) {
    const Signal out = make();
    produced = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  count_items(state, produced);
}

// --- mapping and keying ---------------------------------------------------------------------

void map_qpsk(benchmark::State& state) {
  const Symbols symbols = random_symbols(length_of(state), 4);
  time_maker(state, [&] { return psk_map(symbols, 4); });
}

void map_qam16(benchmark::State& state) {
  const Symbols symbols = random_symbols(length_of(state), 16);
  time_maker(state, [&] { return qam_square_map(symbols, 16); });
}

void map_apsk32(benchmark::State& state) {
  const Symbols symbols = random_symbols(length_of(state), 32);
  const std::vector<std::int32_t> counts{4, 12, 16};
  const std::vector<double> radii{0.3, 0.7, 1.2};
  time_maker(state, [&] { return apsk_map(symbols, counts, radii); });
}

void fsk4(benchmark::State& state) {
  const Symbols symbols = random_symbols(symbols_for(length_of(state)), 4);
  time_maker(state, [&] { return fsk_modulate(symbols, 4, symbol_rate, sample_rate); });
}

void msk(benchmark::State& state) {
  const Symbols symbols = random_symbols(symbols_for(length_of(state)), 2);
  time_maker(state, [&] { return msk_modulate(symbols, samples_per_symbol); });
}

void gmsk(benchmark::State& state) {
  const Symbols symbols = random_symbols(symbols_for(length_of(state)), 2);
  time_maker(state, [&] { return gmsk_modulate(symbols, samples_per_symbol); });
}

void oqpsk(benchmark::State& state) {
  const Symbols symbols = random_symbols(symbols_for(length_of(state)), 4);
  time_maker(state, [&] { return oqpsk_modulate(symbols, samples_per_symbol); });
}

// --- analog ---------------------------------------------------------------------------------

std::uint32_t analog_length(const benchmark::State& state) {
  return static_cast<std::uint32_t>(state.range(0));
}

void am(benchmark::State& state) {
  const std::uint32_t n = analog_length(state);
  time_maker(state, [n] { return am_modulate(1000.0, 50.0, 0.8, sample_rate, n); });
}

void fm(benchmark::State& state) {
  const std::uint32_t n = analog_length(state);
  time_maker(state, [n] { return fm_modulate(1000.0, 50.0, 500.0, 0.8, sample_rate, n); });
}

void am_ssb(benchmark::State& state) {
  const std::uint32_t n = analog_length(state);
  time_maker(state, [n] { return am_ssb_modulate(1000.0, 50.0, 0.8, sample_rate, n); });
}

// --- channel --------------------------------------------------------------------------------

void resample(benchmark::State& state) {
  const Signal points = psk_map(random_symbols(symbols_for(length_of(state)), 4), 4);
  time_stage(state, points, [](Signal s) {
    return resample_to_sample_rate(std::move(s), symbol_rate, sample_rate);
  });
}

void mix(benchmark::State& state) {
  time_stage(state, noisy_signal(length_of(state)),
             [](Signal s) { return frequency_shift(std::move(s), sample_rate, 1500.0); });
}

void timing_error(benchmark::State& state) {
  time_stage(state, noisy_signal(length_of(state)), [](Signal s) {
    return apply_timing_error(std::move(s), 0.05, symbol_rate, sample_rate);
  });
}

void frequency_offset(benchmark::State& state) {
  time_stage(state, noisy_signal(length_of(state)),
             [](Signal s) { return apply_frequency_offset(std::move(s), sample_rate, 37.5); });
}

void noise(benchmark::State& state) {
  time_stage(state, noisy_signal(length_of(state)),
             [](Signal s) { return add_awgn(std::move(s), 20.0, Seed{5}); });
}

// The stages' "nothing to do" values: these should cost next to nothing per sample.
void skipped_stages(benchmark::State& state) {
  time_stage(state, noisy_signal(length_of(state)), [](Signal s) {
    s = resample_to_sample_rate(std::move(s), sample_rate, sample_rate);
    s = apply_timing_error(std::move(s), 0.0, symbol_rate, sample_rate);
    s = apply_frequency_offset(std::move(s), sample_rate, 0.0);
    return add_awgn(std::move(s), std::numeric_limits<double>::infinity());
  });
}

// The whole digital chain of one QPSK file, symbols drawn to noise added.
void qpsk_file(benchmark::State& state) {
  const auto symbols = static_cast<std::int32_t>(symbols_for(length_of(state)));
  time_maker(state, [symbols] {
    return generate_digital_signal("QPSK", {.num_symbols = symbols,
                                            .symbol_rate = symbol_rate,
                                            .sample_rate = sample_rate,
                                            .snr_db = 20.0,
                                            .mix_frequency = 0.0,
                                            .timing_error = 0.05,
                                            .frequency_offset = 37.5,
                                            .seeds = {Seed{1}, Seed{2}}});
  });
}

// --- transform ------------------------------------------------------------------------------

void fft_forward(benchmark::State& state) {
  time_stage(state, noisy_signal(length_of(state)),
             [](Signal s) { return fft(std::move(s), FftDirection::forward); });
}

#define QUORVIN_PER_SAMPLE(stage) BENCHMARK(stage)->Arg(1000)->Arg(65536)->Unit(benchmark::kMicrosecond)

QUORVIN_PER_SAMPLE(map_qpsk);
QUORVIN_PER_SAMPLE(map_qam16);
QUORVIN_PER_SAMPLE(map_apsk32);
QUORVIN_PER_SAMPLE(resample);
QUORVIN_PER_SAMPLE(mix);
QUORVIN_PER_SAMPLE(timing_error);
QUORVIN_PER_SAMPLE(frequency_offset);
QUORVIN_PER_SAMPLE(noise);
QUORVIN_PER_SAMPLE(skipped_stages);
QUORVIN_PER_SAMPLE(fsk4);
QUORVIN_PER_SAMPLE(msk);
QUORVIN_PER_SAMPLE(gmsk);
QUORVIN_PER_SAMPLE(oqpsk);
QUORVIN_PER_SAMPLE(am);
QUORVIN_PER_SAMPLE(fm);
QUORVIN_PER_SAMPLE(am_ssb);
QUORVIN_PER_SAMPLE(qpsk_file);
BENCHMARK(fft_forward)->Arg(1000)->Arg(1024)->Arg(65536)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvin::bench
