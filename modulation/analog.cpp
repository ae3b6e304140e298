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

// The quadrature partner of a real message: multiply positive bins by -j, negative ones by +j,
// leave DC and bin n/2 alone, and keep the real part of the inverse transform.
std::vector<double> hilbert_transform(const std::vector<double>& message) {
  Signal spectrum(message.begin(), message.end());
  spectrum = fft(std::move(spectrum), FftDirection::forward);
  const std::size_t half = spectrum.size() / 2;
  for (std::size_t k = 1; k < spectrum.size(); ++k) {
    if (k < half) {
      spectrum[k] *= Sample{-0.0, -1.0};
    } else if (k > half) {
      spectrum[k] *= Sample{0.0, 1.0};
    }
  }
  const Signal analytic = fft(std::move(spectrum), FftDirection::inverse);
  std::vector<double> transformed(analytic.size());
  for (std::size_t i = 0; i < analytic.size(); ++i) transformed[i] = analytic[i].real();
  return transformed;
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
  Signal out = zero_signal(num_samples);
  const double message_step = 2.0 * pi * message_frequency;
  std::vector<double> message(out.size());
  for (std::size_t i = 0; i < message.size(); ++i) {
    message[i] = std::sin(message_step * time_of(i, sample_rate));
  }
  const std::vector<double> quadrature = hilbert_transform(message);
  const double carrier_step = 2.0 * pi * carrier_frequency;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double angle = carrier_step * time_of(i, sample_rate);
    out[i] = {(message[i] * std::cos(angle) + quadrature[i] * std::sin(angle)) * amplitude, 0.0};
  }
  return out;
}

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
