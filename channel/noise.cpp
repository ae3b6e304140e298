#include "channel/noise.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "channel/gaussian.h"
#include "common/vector_build.h"

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

namespace {

// values[i] + deviation * deviates[i] for each i, four at a time where the vector unit has them.
QUORVIN_WIDE_CLONES void add_scaled(double* values, std::span<const double> deviates, double deviation) {
  std::size_t i = 0;
#if defined(__GNUC__)
  using Lanes = double __attribute__((vector_size(32)));
  for (; i + 4 <= deviates.size(); i += 4) {
    Lanes v;
    Lanes d;
    std::memcpy(&v, values + i, sizeof v);
    std::memcpy(&d, deviates.data() + i, sizeof d);
    v = v + deviation * d;
    std::memcpy(values + i, &v, sizeof v);
  }
#endif
  for (; i < deviates.size(); ++i) values[i] = values[i] + deviation * deviates[i];
}

}  // namespace

Signal add_deviates(Signal signal, double deviation, NoiseSource& source) {
  // A sample's I and Q lie side by side, as the deviates come: a batch of them at a time.
  auto* values = reinterpret_cast<double*>(signal.data());
  const std::size_t total = 2 * signal.size();
  for (std::size_t at = 0; at < total;) {
    const std::span<const double> deviates = source.next_deviates(total - at);
    add_scaled(values + at, deviates, deviation);
    at += deviates.size();
  }
  return signal;
}

Signal add_white_noise(Signal signal, double snr_db, std::uint64_t seed) {
  if (signal.empty() || snr_db == std::numeric_limits<double>::infinity()) return signal;
  NoiseSource source(seed);
  return add_deviates(std::move(signal), noise_deviation(1.0, snr_db), source);
}

}  // namespace quorvin
