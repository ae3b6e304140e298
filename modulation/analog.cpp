#include "modulation/analog.h"

#include <cmath>
#include <cstddef>

#include "common/limits.h"
#include "modulation/fft.h"

namespace quorvin {
namespace {

// A zero-filled signal of `num_samples`, refused above the per-file ceiling.
Signal zero_signal(std::uint32_t num_samples) {
  return Signal(require_sample_count(static_cast<double>(num_samples)));
}

double time_of(std::size_t i, double sample_rate) {
  return static_cast<double>(i) / sample_rate;
}

// Replaces the real message held in `signal` (Q zero) by its quadrature partner (in I): multiply
// positive bins by -j, negative ones by +j, leave DC and bin n/2 alone, and keep the real part of
// the inverse transform. Both transforms work in the signal's own storage.
void hilbert_transform_in_place(Signal& signal) {
  fft_in_place(signal, FftDirection::forward);
  const std::size_t half = signal.size() / 2;
  for (std::size_t k = 1; k < signal.size(); ++k) {
    if (k < half) {
      signal[k] *= Sample{-0.0, -1.0};
    } else if (k > half) {
      signal[k] *= Sample{0.0, 1.0};
    }
  }
  fft_in_place(signal, FftDirection::inverse);
}

}  // namespace

Signal am_modulate(double carrier_frequency, double message_frequency, double amplitude,
                   double sample_rate, std::uint32_t num_samples) {
  Signal out = zero_signal(num_samples);
  const double carrier_step = 2.0 * pi * carrier_frequency;
  const double message_step = 2.0 * pi * message_frequency;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = time_of(i, sample_rate);
    out[i] = {(std::sin(message_step * t) + 1.0) * amplitude * std::cos(carrier_step * t), 0.0};
  }
  return out;
}

Signal fm_modulate(double carrier_frequency, double message_frequency,
                   double frequency_deviation, double amplitude, double sample_rate,
                   std::uint32_t num_samples) {
  Signal out = zero_signal(num_samples);
  const double message_step = 2.0 * pi * message_frequency;
  double phase = 0.0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = time_of(i, sample_rate);
    phase = phase + 2.0 * pi * carrier_frequency / sample_rate +
            2.0 * pi * frequency_deviation * std::sin(message_step * t) / sample_rate;
    out[i] = {amplitude * std::cos(phase), 0.0};
  }
  return out;
}

Signal am_ssb_modulate(double carrier_frequency, double message_frequency, double amplitude,
                       double sample_rate, std::uint32_t num_samples) {
  const std::size_t n = require_sample_count(static_cast<double>(num_samples));
  const double message_step = 2.0 * pi * message_frequency;
  // Made again where it is needed rather than kept: the same call gives the same number.
  const auto message = [&](std::size_t i) { return std::sin(message_step * time_of(i, sample_rate)); };
  // One vector carries the message, its spectrum, its quadrature partner and at last the output,
  // with room reserved for the transform, so that no second copy of the signal is ever held.
  Signal out;
  out.reserve(fft_storage(n));
  for (std::size_t i = 0; i < n; ++i) out.emplace_back(message(i));
  hilbert_transform_in_place(out);
  const double carrier_step = 2.0 * pi * carrier_frequency;
  for (std::size_t i = 0; i < n; ++i) {
    const double angle = carrier_step * time_of(i, sample_rate);
    out[i] = {(message(i) * std::cos(angle) + out[i].real() * std::sin(angle)) * amplitude, 0.0};
  }
  return out;
}

double am_ssb_peak_samples(std::uint32_t num_samples) { return fft_peak_samples(num_samples); }

Signal cw_tone(double carrier_frequency, double amplitude, double sample_rate,
               std::uint32_t num_samples) {
  Signal out = zero_signal(num_samples);
  const double carrier_step = 2.0 * pi * carrier_frequency;
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = {std::sin(carrier_step * time_of(i, sample_rate)) * amplitude, 0.0};
  }
  return out;
}

}  // namespace quorvin
