#pragma once
// What the core's unit tests share: GoogleTest, the standard headers they use, and independent
// references (direct O(n^2) formulas and draws, no shared code with the core).

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <algorithm>
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
    sum += std::complex<long double>(x[m].real(), x[m].imag()) * std::polar(1.0L, two_pi * turns(m));
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

// Power of the component at `frequency` Hz: |sum x[i] exp(-j 2 pi f i / fs)|^2 / n^2.
inline double tone_power(const Signal& x, double frequency, double sample_rate) {
  const auto n = static_cast<long double>(x.size());
  return static_cast<double>(std::norm(phasor_sum(x, [&](std::size_t i) {
                               return -frequency * static_cast<long double>(i) / sample_rate;
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

}  // namespace quorvin::test
