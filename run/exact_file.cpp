#include "run/exact_file.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "channel/impairments.h"
#include "channel/noise.h"
#include "common/limits.h"
#include "common/splitmix.h"
#include "generator/exact.h"
#include "run/run.h"

namespace quorvin {
namespace {

// Samples of margin the band-limited interpolation reads on each side of a position.
constexpr std::size_t interpolation_margin = 17;

// A stage's own random numbers, from the file's noise seed, so that turning one stage on leaves
// the others' unchanged.
std::uint64_t stage_seed(std::uint64_t noise_seed, std::uint64_t stage) { return splitmix64(noise_seed ^ (stage << 32)); }

FadingChannel fading_of(const RunSettings& s, const PlannedFile& file) {
  const ImpairmentSettings& x = s.exact.impairments;
  return {x.fading_delays, x.fading_gains_db, x.fading == Fading::rician, file.impairments.fading_k.value_or(0.0),
          file.impairments.doppler.value_or(0.0), s.sample_rate};
}

Signal waveform(const RunSettings& s, const PlannedFile& file, std::int64_t length, std::size_t before,
                std::size_t after) {
  if (const ModulationRow* row = find_modulation(file.modulation); row != nullptr && row->family == Family::analog) {
    return exact_analog_waveform({.route = row->route,
                                  .amplitude = file.amplitude,
                                  .carrier_frequency = s.analog_carrier_frequency,
                                  .message_frequency = file.message_frequency,
                                  .deviation = s.analog_deviation,
                                  .am_index = file.am_index,
                                  .sideband = s.exact.sideband,
                                  .sample_rate = s.sample_rate,
                                  .num_samples = length,
                                  .pad_before = before,
                                  .pad_after = after});
  }
  return exact_digital_waveform(file.modulation, {.symbol_rate = file.symbol_rate,
                                                  .sample_rate = s.sample_rate,
                                                  .num_samples = length,
                                                  .start_offset = file.start_offset,
                                                  .timing_error = file.timing_error,
                                                  .pulse = s.exact.pulse,
                                                  .rolloff = file.rolloff,
                                                  .filter_span = s.exact.filter_span,
                                                  .fsk_index = file.fsk_index,
                                                  .gmsk_bt = file.gmsk_bt,
                                                  .seeds = file.seeds,
                                                  .pad_before = before,
                                                  .pad_after = after});
}

}  // namespace

Signal synthesize_exact_file(const RunSettings& s, const PlannedFile& file) {
  const double samples = exact_file_samples(s, file);
  if (samples < 0.0) throw std::invalid_argument("num_symbols must not be negative.");
  const std::size_t length = require_sample_count(samples);
  const ImpairmentDraws& d = file.impairments;
  const ImpairmentSettings& x = s.exact.impairments;
  // Margins for the stages that read outside the file: the fading's delays, the clock's drift.
  std::size_t before = 0;
  std::size_t after = 0;
  if (d.fading_k) {
    const double longest = x.fading_delays.empty() ? 0.0 : *std::max_element(x.fading_delays.begin(), x.fading_delays.end());
    before = static_cast<std::size_t>(std::ceil(std::max(0.0, longest))) + interpolation_margin;
  }
  if (d.clock_ppm) {
    before = std::max(before, interpolation_margin);
    after = static_cast<std::size_t>(std::ceil(static_cast<double>(length) * std::abs(*d.clock_ppm) * 1e-6)) + interpolation_margin;
  }
  const bool analog = is_analog_modulation(file.modulation);
  const std::uint64_t noise_seed = file.seeds.noise ? *file.seeds.noise : device_seed();
  Signal signal = waveform(s, file, static_cast<std::int64_t>(length), before, after);
  if (d.pa_backoff) signal = apply_rapp_amplifier(std::move(signal), *d.pa_backoff, x.pa_smoothness);
  if (d.fading_k) signal = apply_fading(signal, fading_of(s, file), stage_seed(noise_seed, 1));
  double offset = s.mix_frequency + (analog ? 0.0 : file.frequency_offset);
  if (d.clock_ppm && x.rf_frequency != 0.0) offset += x.rf_frequency * *d.clock_ppm * 1e-6;
  signal = apply_carrier_offset(std::move(signal), offset, s.sample_rate);
  if (d.carrier_phase || d.phase_noise) {
    signal = apply_phase_noise(std::move(signal), d.carrier_phase.value_or(0.0), d.phase_noise.value_or(0.0),
                               s.sample_rate, stage_seed(noise_seed, 3));
  }
  if (d.clock_ppm) {
    signal = resample_by_clock(signal, static_cast<double>(before), *d.clock_ppm, length);
  } else if (before != 0 || after != 0) {
    signal = Signal(signal.begin() + static_cast<std::ptrdiff_t>(before),
                    signal.begin() + static_cast<std::ptrdiff_t>(before + length));
  }
  signal = add_white_noise(std::move(signal), file.snr_db, noise_seed);
  if (d.iq_amplitude || d.dc_i) {
    signal = apply_iq_imbalance(std::move(signal), d.iq_amplitude.value_or(0.0), d.iq_phase.value_or(0.0),
                                d.dc_i.value_or(0.0), d.dc_q.value_or(0.0));
  }
  if (d.adc_bits) signal = quantise(std::move(signal), *d.adc_bits, x.adc_backoff);
  return signal;
}

std::vector<Sample> exact_fading_taps(const RunSettings& s, const PlannedFile& file) {
  if (!file.impairments.fading_k || !file.seeds.noise) return {};
  return fading_tap_gains(fading_of(s, file), stage_seed(*file.seeds.noise, 1));
}

}  // namespace quorvin
