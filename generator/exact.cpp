#include "generator/exact.h"

#include "channel/impairments.h"
#include "channel/noise.h"

namespace quorvin {
namespace {

std::uint64_t noise_seed(const std::optional<Seed>& seed) { return seed ? *seed : device_seed(); }

WaveformParameters digital_parameters(const ExactDigitalParameters& p) {
  return {.sample_rate = p.sample_rate,
          .num_samples = p.num_samples,
          .pad_before = p.pad_before,
          .pad_after = p.pad_after,
          .symbol_rate = p.symbol_rate,
          .start_offset = p.start_offset,
          .timing_error = p.timing_error,
          .pulse = p.pulse,
          .rolloff = p.rolloff,
          .filter_span = p.filter_span,
          .fsk_index = p.fsk_index,
          .gmsk_bt = p.gmsk_bt,
          .symbol_seed = p.seeds.symbols};
}

WaveformParameters analog_parameters(const ExactAnalogParameters& p) {
  return {.sample_rate = p.sample_rate,
          .num_samples = p.num_samples,
          .pad_before = p.pad_before,
          .pad_after = p.pad_after,
          .amplitude = p.amplitude,
          .carrier_frequency = p.carrier_frequency,
          .message_frequency = p.message_frequency,
          .deviation = p.deviation,
          .am_index = p.am_index,
          .message_phase = p.message_phase,
          .sideband = p.sideband};
}

// Samples -pad_before .. num_samples + pad_after - 1 of a waveform.
Signal whole_range(const WaveformRange& range, std::int64_t num_samples, std::size_t pad_before, std::size_t pad_after) {
  const double count = static_cast<double>(num_samples) + static_cast<double>(pad_before) + static_cast<double>(pad_after);
  return range(-static_cast<std::int64_t>(pad_before), static_cast<std::size_t>(count));
}

}  // namespace

WaveformRange prepare_exact_digital(std::string_view name, const ExactDigitalParameters& p) {
  Waveform w = resolve_waveform(name);
  if (is_analog(w)) w.family = nullptr;
  return prepare_waveform(w, digital_parameters(p));
}

Signal exact_digital_waveform(std::string_view name, const ExactDigitalParameters& p) {
  const WaveformRange range = prepare_exact_digital(name, p);
  return p.num_samples <= 0 ? Signal{} : whole_range(range, p.num_samples, p.pad_before, p.pad_after);
}

Signal generate_exact_digital(std::string_view name, const ExactDigitalParameters& p) {
  Signal signal = exact_digital_waveform(name, p);
  signal = apply_carrier_offset(std::move(signal), p.mix_frequency + p.frequency_offset, p.sample_rate);
  return add_white_noise(std::move(signal), p.snr_db, noise_seed(p.seeds.noise));
}

WaveformRange prepare_exact_analog(const ExactAnalogParameters& p) {
  return analog_family.prepare(analog_waveform(p.route), analog_parameters(p));
}

Signal exact_analog_waveform(const ExactAnalogParameters& p) {
  return whole_range(prepare_exact_analog(p), p.num_samples, p.pad_before, p.pad_after);
}

Signal generate_exact_analog(const ExactAnalogParameters& p) {
  Signal out = exact_analog_waveform(p);
  out = apply_carrier_offset(std::move(out), p.mix_frequency + p.frequency_offset, p.sample_rate);
  return add_white_noise(std::move(out), p.snr_db, noise_seed(p.noise_seed));
}

}  // namespace quorvin
