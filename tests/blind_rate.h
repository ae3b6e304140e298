#pragma once
// Blind estimates shared by the exact model's tests: the strongest spectral line of a waveform
// feature (|x|^2, I^2, the squared change of the instantaneous frequency) for the symbol rate, and
// of the samples themselves for a tone, found without the labels.

#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>
#include <vector>

#include "common/signal.h"
#include "modulation/fft.h"

namespace quorvin::test {

// |sum g[k] e^{-j 2 pi f k}|, f in cycles per sample.
template <class T>
double line_at(const std::vector<T>& g, double f) {
  std::complex<double> sum = 0.0;
  const std::complex<double> step = std::polar(1.0, -6.283185307179586 * f);
  std::complex<double> w = 1.0;
  for (const T& v : g) {
    sum += v * w;
    w *= step;
  }
  return std::abs(sum);
}

// The DFT bin `best`'s line, refined on the DTFT to `precision` cycles per sample.
template <class T>
double refined_line(const std::vector<T>& g, std::size_t best, double precision) {
  double f = static_cast<double>(best) / static_cast<double>(g.size());
  for (double width = 1.0 / static_cast<double>(g.size()); width > precision; width /= 4.0) {
    double top = f;
    for (int i = -4; i <= 4; ++i) {
      if (line_at(g, f + i * width / 4.0) > line_at(g, top)) top = f + i * width / 4.0;
    }
    f = top;
  }
  return f;
}

// The strongest line between 0.05 and 0.49 cycles per sample, refined to 1e-6 cycles.
inline double strongest_line(std::vector<double> g) {
  const double mean = std::accumulate(g.begin(), g.end(), 0.0) / static_cast<double>(g.size());
  for (double& v : g) v -= mean;
  const Signal spectrum = fft(Signal(g.begin(), g.end()), FftDirection::forward);
  const std::size_t n = g.size();
  std::size_t best = n / 20;
  for (std::size_t k = n / 20; k < n * 49 / 100; ++k) {
    if (std::abs(spectrum[k]) > std::abs(spectrum[best])) best = k;
  }
  return refined_line(g, best, 1e-7);
}

// The frequency of a signal's strongest line, Hz: the largest bin of its DFT, refined to a
// thousandth of a bin.
inline double strongest_tone(const Signal& x, double sample_rate) {
  const Signal spectrum = fft(x, FftDirection::forward);
  const auto best = std::max_element(spectrum.begin(), spectrum.end(), [](Sample a, Sample b) { return std::abs(a) < std::abs(b); });
  const double f = refined_line(x, static_cast<std::size_t>(best - spectrum.begin()), 1e-3 / static_cast<double>(x.size()));
  return std::remainder(f, 1.0) * sample_rate;
}

// The feature whose line sits at the symbol rate: the envelope for linear names (I^2 for OQPSK,
// whose rails' offset cancels it in |x|^2), the squared change of the instantaneous frequency for
// keyed ones.
enum class RateFeature { envelope, in_phase, frequency_change };

inline std::vector<double> rate_feature(const Signal& x, RateFeature feature) {
  std::vector<double> g(x.size() - 2);
  for (std::size_t k = 0; k < g.size(); ++k) {
    if (feature == RateFeature::envelope) g[k] = std::norm(x[k]);
    if (feature == RateFeature::in_phase) g[k] = x[k].real() * x[k].real();
    if (feature == RateFeature::frequency_change) {
      const double w0 = std::arg(x[k + 1] * std::conj(x[k]));
      const double w1 = std::arg(x[k + 2] * std::conj(x[k + 1]));
      g[k] = (w1 - w0) * (w1 - w0);
    }
  }
  return g;
}

}  // namespace quorvin::test
