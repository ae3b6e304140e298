#pragma once
// Independent references for the tests: direct O(n^2) formulas, no shared code with the core.

#include <cmath>
#include <complex>
#include <cstddef>
#include <string>

#include "common/signal.h"

namespace quorvin::test {

inline Signal naive_dft(const Signal& x, bool inverse) {
  const std::size_t n = x.size();
  const long double sign = inverse ? 1.0L : -1.0L;
  const long double two_pi = 2.0L * std::acos(-1.0L);
  Signal out(n);
  for (std::size_t k = 0; k < n; ++k) {
    std::complex<long double> sum = 0.0L;
    for (std::size_t m = 0; m < n; ++m) {
      const long double angle = sign * two_pi * static_cast<long double>((k * m) % n) /
                                static_cast<long double>(n);
      sum += std::complex<long double>(x[m].real(), x[m].imag()) *
             std::complex<long double>(std::cos(angle), std::sin(angle));
    }
    if (inverse && n > 1) sum /= static_cast<long double>(n);
    out[k] = {static_cast<double>(sum.real()), static_cast<double>(sum.imag())};
  }
  return out;
}

// Power of the component at `frequency` Hz: |sum x[i] exp(-j 2 pi f i / fs)|^2 / n^2.
inline double tone_power(const Signal& x, double frequency, double sample_rate) {
  std::complex<long double> sum = 0.0L;
  const long double two_pi = 2.0L * std::acos(-1.0L);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const long double angle = -two_pi * frequency * static_cast<long double>(i) / sample_rate;
    sum += std::complex<long double>(x[i].real(), x[i].imag()) *
           std::complex<long double>(std::cos(angle), std::sin(angle));
  }
  const long double n = static_cast<long double>(x.size());
  return static_cast<double>(std::norm(sum) / (n * n));
}

inline double mean_power(const Signal& x) {
  double sum = 0.0;
  for (const Sample& s : x) sum += std::norm(s);
  return x.empty() ? 0.0 : sum / static_cast<double>(x.size());
}

inline double max_abs_difference(const Signal& a, const Signal& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

// Bit-for-bit equality, so that -0.0 and 0.0 differ and NaNs compare by their bits.
inline bool same_bits(const Signal& a, const Signal& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::signbit(a[i].real()) != std::signbit(b[i].real()) ||
        std::signbit(a[i].imag()) != std::signbit(b[i].imag()))
      return false;
    const bool re_equal = a[i].real() == b[i].real() || (std::isnan(a[i].real()) && std::isnan(b[i].real()));
    const bool im_equal = a[i].imag() == b[i].imag() || (std::isnan(a[i].imag()) && std::isnan(b[i].imag()));
    if (!re_equal || !im_equal) return false;
  }
  return true;
}

}  // namespace quorvin::test

namespace quorvin::test {

// Names parameterised cases after their `name` field.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& case_info) const {
    return case_info.param.name;
  }
};

}  // namespace quorvin::test
