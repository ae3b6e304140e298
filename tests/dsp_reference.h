#pragma once
// What the core's unit tests share: GoogleTest, the standard headers they use, and independent
// references (direct O(n^2) formulas and draws, no shared code with the core).

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/signal.h"

namespace quorvin::test {

inline constexpr double inf = std::numeric_limits<double>::infinity();

// n symbols drawn as the generator must draw them: the standard engine and distribution.
inline Symbols random_symbols(std::size_t n, std::int32_t alphabet, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::uniform_int_distribution<std::int32_t> draw(0, alphabet - 1);
  Symbols out(n);
  for (auto& s : out) s = draw(engine);
  return out;
}

// sum x[m] exp(j 2 pi turns(m)), in long double so that the reference outdoes the code it checks.
template <class Turns>
std::complex<long double> phasor_sum(const Signal& x, Turns turns) {
  const long double two_pi = 2.0L * std::acos(-1.0L);
  std::complex<long double> sum = 0.0L;
  for (std::size_t m = 0; m < x.size(); ++m) {
    const std::complex<long double> sample(static_cast<long double>(x[m].real()), static_cast<long double>(x[m].imag()));
    sum += sample * std::polar(1.0L, two_pi * static_cast<long double>(turns(m)));
  }
  return sum;
}

inline Signal naive_dft(const Signal& x, bool inverse) {
  const std::size_t n = x.size();
  Signal out(n);
  for (std::size_t k = 0; k < n; ++k) {
    // k m reduced modulo n first, so that the angle stays small and exact.
    std::complex<long double> sum = phasor_sum(x, [&](std::size_t m) {
      return (inverse ? 1.0L : -1.0L) * static_cast<long double>((k * m) % n) / static_cast<long double>(n);
    });
    if (inverse && n > 1) sum /= static_cast<long double>(n);
    out[k] = {static_cast<double>(sum.real()), static_cast<double>(sum.imag())};
  }
  return out;
}

// The DFT as the classic AM-SSB files were first made with it: whole vectors, a full twiddle
// table, Bluestein's three padded sequences held at once. The transforms in the code may group
// their butterflies otherwise, but must give these numbers bit for bit: the files depend on them.
inline Signal whole_vector_radix2(const Signal& x, double sign) {
  const std::size_t n = x.size();
  std::size_t bits = 0;
  while ((std::size_t{1} << bits) < n) ++bits;
  Signal v(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t reversed = 0;
    for (std::size_t b = 0; b < bits; ++b) reversed |= ((i >> b) & 1) << (bits - 1 - b);
    v[i] = x[reversed];
  }
  Signal w(n / 2);
  for (std::size_t k = 0; k < w.size(); ++k) {
    w[k] = unit_phasor(sign * 2.0 * pi * static_cast<double>(k) / static_cast<double>(n));
  }
  for (std::size_t len = 2; len <= n; len *= 2) {
    for (std::size_t start = 0; start < n; start += len) {
      for (std::size_t k = 0; k < len / 2; ++k) {
        const Sample t = w[k * (n / len)] * v[start + k + len / 2];
        v[start + k + len / 2] = v[start + k] - t;
        v[start + k] += t;
      }
    }
  }
  return v;
}

// The frequency at the centre of bin k of an n-point DFT, Hz, in -fs/2 .. fs/2.
inline double bin_frequency(std::size_t k, std::size_t n, double sample_rate) {
  const double f = static_cast<double>(k) * sample_rate / static_cast<double>(n);
  return f >= sample_rate / 2.0 ? f - sample_rate : f;
}

inline Signal whole_vector_fft(const Signal& x, bool inverse) {
  const std::size_t n = x.size();
  if (n <= 1) return x;
  const double sign = inverse ? 1.0 : -1.0;
  Signal out;
  if ((n & (n - 1)) == 0) {
    out = whole_vector_radix2(x, sign);
  } else {
    std::size_t m = 1;
    while (m < 2 * n - 1) m *= 2;
    Signal chirp(n), a(m), b(m);
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t k2 = static_cast<std::uint64_t>(k) * k % (2 * static_cast<std::uint64_t>(n));
      chirp[k] = unit_phasor(sign * pi * static_cast<double>(k2) / static_cast<double>(n));
      a[k] = x[k] * chirp[k];
      b[k] = std::conj(chirp[k]);
      if (k > 0) b[m - k] = b[k];
    }
    Signal product = whole_vector_radix2(a, -1.0);
    const Signal fb = whole_vector_radix2(b, -1.0);
    for (std::size_t k = 0; k < m; ++k) product[k] *= fb[k];
    const Signal convolved = whole_vector_radix2(product, 1.0);
    out.resize(n);
    for (std::size_t k = 0; k < n; ++k) out[k] = convolved[k] * (1.0 / static_cast<double>(m)) * chirp[k];
  }
  if (inverse) {
    for (Sample& value : out) value *= 1.0 / static_cast<double>(n);
  }
  return out;
}

// The share of x's power, over its whole-vector spectrum at `sample_rate`, from low to high Hz.
inline double band_share(const Signal& x, double sample_rate, double low, double high) {
  const Signal spectrum = whole_vector_fft(x, false);
  double total = 0.0;
  double inside = 0.0;
  for (std::size_t k = 0; k < spectrum.size(); ++k) {
    const double f = bin_frequency(k, spectrum.size(), sample_rate);
    total += std::norm(spectrum[k]);
    if (f >= low && f <= high) inside += std::norm(spectrum[k]);
  }
  return inside / total;
}

// Averaged Hann-windowed periodograms of n bins (a power of two) at half overlap, bin 0 at -fs/2.
inline std::vector<double> centred_psd(const Signal& x, std::size_t n) {
  std::vector<double> psd(n, 0.0);
  for (std::size_t start = 0; start + n <= x.size(); start += n / 2) {
    Signal segment(x.begin() + static_cast<std::ptrdiff_t>(start), x.begin() + static_cast<std::ptrdiff_t>(start + n));
    for (std::size_t k = 0; k < n; ++k) segment[k] *= 0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(k) / static_cast<double>(n));
    const Signal spectrum = whole_vector_radix2(segment, -1.0);
    for (std::size_t k = 0; k < n; ++k) psd[(k + n / 2) % n] += std::norm(spectrum[k]);
  }
  return psd;
}

// The textbook root-raised cosine of roll-off a at t symbol periods (T = 1).
inline double reference_rrc(double t, double a) {
  if (std::abs(t) < 1e-12) return 1.0 + a * (4.0 / pi - 1.0);
  if (std::abs(std::abs(t) - 1.0 / (4.0 * a)) < 1e-9) {
    return a / std::sqrt(2.0) * ((1 + 2 / pi) * std::sin(pi / (4 * a)) + (1 - 2 / pi) * std::cos(pi / (4 * a)));
  }
  return (std::sin(pi * t * (1 - a)) + 4 * a * t * std::cos(pi * t * (1 + a))) / (pi * t * (1 - 16 * a * a * t * t));
}

// Power of the component at `frequency` Hz: |sum x[i] exp(-j 2 pi f i / fs)|^2 / n^2.
inline double tone_power(const Signal& x, double frequency, double sample_rate) {
  const auto n = static_cast<long double>(x.size());
  return static_cast<double>(std::norm(phasor_sum(x, [&](std::size_t i) {
                               return -static_cast<long double>(frequency) * static_cast<long double>(i) /
                                      static_cast<long double>(sample_rate);
                             })) / (n * n));
}

inline double max_abs_difference(const Signal& a, const Signal& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

// Bit-for-bit equality, so that -0.0 and 0.0 differ and NaNs compare by their bits.
inline bool same_bits(const Signal& a, const Signal& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Sample)) == 0);
}

// The text of the E that f throws; a failure, and "", when it throws nothing.
template <class E, class F>
std::string thrown_message(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

// Names parameterised cases after their `name` field.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& case_info) const {
    return case_info.param.name;
  }
};

// Names catalogue cases after their row, other characters than letters and digits as '_'.
struct RowName {
  template <class Info>
  std::string operator()(const Info& info) const {
    std::string name;
    for (const char c : info.param.name) name.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
    return name;
  }
};

}  // namespace quorvin::test
