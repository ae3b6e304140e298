#include "modulation/fft.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace quorvin {
namespace {

// Twiddles w[k] = exp(sign * j 2 pi k / n) for k < n / 2, computed once per transform rather
// than once per butterfly; each comes from its own angle, so no error accumulates.
Signal twiddles(std::size_t n, double sign) {
  Signal table(n / 2);
  for (std::size_t k = 0; k < table.size(); ++k) {
    table[k] = unit_phasor(sign * 2.0 * pi * static_cast<double>(k) / static_cast<double>(n));
  }
  return table;
}

// Iterative radix-2 decimation in time, unscaled; n must be a power of two.
Signal radix2(Signal values, double sign) {
  const std::size_t n = values.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j |= bit;
    if (i < j) std::swap(values[i], values[j]);
  }
  const Signal w = twiddles(n, sign);
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const std::size_t half = len / 2;
    const std::size_t stride = n / len;
    for (std::size_t start = 0; start < n; start += len) {
      for (std::size_t k = 0; k < half; ++k) {
        const Sample t = w[k * stride] * values[start + k + half];
        values[start + k + half] = values[start + k] - t;
        values[start + k] += t;
      }
    }
  }
  return values;
}

// Bluestein's algorithm: a DFT of any length n as a circular convolution of power-of-two length,
// using k m = (k^2 + m^2 - (k - m)^2) / 2.
Signal bluestein(const Signal& values, double sign) {
  const std::size_t n = values.size();
  const std::size_t m = std::bit_ceil(2 * n - 1);
  // chirp[k] = exp(sign * j pi k^2 / n); k^2 is reduced modulo 2n first to keep the angle small.
  Signal chirp(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto k2 = static_cast<std::uint64_t>(k) * k % (2 * static_cast<std::uint64_t>(n));
    chirp[k] = unit_phasor(sign * pi * static_cast<double>(k2) / static_cast<double>(n));
  }
  Signal a(m);
  Signal b(m);
  for (std::size_t k = 0; k < n; ++k) {
    a[k] = values[k] * chirp[k];
    b[k] = std::conj(chirp[k]);
    if (k > 0) b[m - k] = b[k];
  }
  // The product overwrites a's transform and b's is released at once, so that at most two
  // sequences of the padded length m are held at a time rather than three.
  Signal product = radix2(std::move(a), -1.0);
  {
    const Signal fb = radix2(std::move(b), -1.0);
    for (std::size_t k = 0; k < m; ++k) product[k] *= fb[k];
  }
  const Signal convolved = radix2(std::move(product), 1.0);
  const double scale = 1.0 / static_cast<double>(m);
  Signal result(n);
  for (std::size_t k = 0; k < n; ++k) result[k] = convolved[k] * scale * chirp[k];
  return result;
}

}  // namespace

Signal fft(Signal values, FftDirection direction) {
  const bool inverse = direction == FftDirection::inverse;
  const std::size_t n = values.size();
  if (n <= 1) return values;
  const double sign = inverse ? 1.0 : -1.0;
  Signal result = std::has_single_bit(n) ? radix2(std::move(values), sign) : bluestein(values, sign);
  if (inverse) {
    const double scale = 1.0 / static_cast<double>(n);
    for (Sample& value : result) value *= scale;
  }
  return result;
}

}  // namespace quorvin
