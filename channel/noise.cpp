#include "channel/noise.h"

#include <cmath>
#include <cstddef>
#include <limits>

#include "channel/gaussian.h"

namespace quorvin {

Signal frequency_shift(Signal signal, double sample_rate, double shift_frequency) {
  const double angular = 2.0 * pi * shift_frequency;
  for (std::size_t i = 0; i < signal.size(); ++i) {
    // Recomputed from the index for every sample, so long signals do not drift.
    const Sample w = unit_phasor((static_cast<double>(i) / sample_rate) * angular);
    const Sample a = signal[i];
    signal[i] = {a.real() * w.real() - a.imag() * w.imag(),
                 a.imag() * w.real() + a.real() * w.imag()};
  }
  return signal;
}

Signal apply_frequency_offset(Signal signal, double sample_rate, double frequency_offset) {
  if (frequency_offset == 0.0 || signal.empty()) return signal;
  return frequency_shift(std::move(signal), sample_rate, frequency_offset);
}

Signal add_awgn(Signal signal, double snr_db, std::optional<Seed> seed) {
  if (signal.empty() || snr_db == std::numeric_limits<double>::infinity()) return signal;
  const double power = mean_power(signal);
  const double snr_linear = std::pow(10.0, snr_db / 10.0);
  const double sigma = std::sqrt(power / snr_linear * 0.5);
  // A silent signal gets no noise; the distribution needs a positive deviation.
  if (sigma == 0.0) return signal;
  if (!std::isfinite(sigma)) {
    // Noise of unbounded or undefined power leaves no defined sample value.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return Signal(signal.size(), Sample{nan, nan});
  }
  std::mt19937 engine = make_engine(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  for (Sample& s : signal) {
    const double q_noise = noise(engine);  // the first draw goes to Q, the second to I
    const double i_noise = noise(engine);
    s = {s.real() + i_noise, s.imag() + q_noise};
  }
  return signal;
}

double mean_power(const Signal& signal) {
  if (signal.empty()) return 0.0;
  return add_energy(0.0, signal) / static_cast<double>(signal.size());
}

double add_energy(double energy, std::span<const Sample> samples) {
  for (const Sample& s : samples) energy += s.real() * s.real() + s.imag() * s.imag();
  return energy;
}

double noise_deviation(double power, double snr_db) { return std::sqrt(power * std::pow(10.0, -snr_db / 10.0) * 0.5); }

Signal add_deviates(Signal signal, double deviation, NoiseSource& source) {
  for (Sample& s : signal) {
    double i_noise = 0.0;
    double q_noise = 0.0;
    source.next_normal_pair(i_noise, q_noise);
    s = {s.real() + deviation * i_noise, s.imag() + deviation * q_noise};
  }
  return signal;
}

Signal add_white_noise(Signal signal, double snr_db, std::uint64_t seed) {
  if (signal.empty() || snr_db == std::numeric_limits<double>::infinity()) return signal;
  NoiseSource source(seed);
  return add_deviates(std::move(signal), noise_deviation(1.0, snr_db), source);
}

}  // namespace quorvin
