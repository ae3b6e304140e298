#include "modulation/fft.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace quorvin {
namespace {

// Twiddle `index` of a radix-2 transform of length n: exp(sign j 2 pi index / n), each from its
// own angle, so no error accumulates. Every stage of every transform below takes its twiddles
// from here with the whole transform's index and length, so they are the same numbers however
// the butterflies are grouped.
Sample twiddle(std::size_t index, std::size_t n, double sign) {
  return unit_phasor(sign * 2.0 * pi * static_cast<double>(index) / static_cast<double>(n));
}

void butterfly(Sample& low, Sample& high, const Sample& w) {
  const Sample t = w * high;
  high = low - t;
  low += t;
}

// The butterflies of the stage of length len at places first to first + count - 1 of each group
// of len positions, their twiddles w[0], w[step], w[2 step], ...
void butterflies(std::span<Sample> values, std::size_t len, std::size_t first, std::size_t count, const Sample* w,
                 std::size_t step) {
  const std::size_t half = len / 2;
  for (std::size_t start = first; start < values.size(); start += len) {
    for (std::size_t k = 0; k < count; ++k) butterfly(values[start + k], values[start + k + half], w[k * step]);
  }
}

// The decimation-in-time stages of lengths 2 to values.size() of a radix-2 transform of length
// `total`, over the positions offset + spacing * i of its bit-reversed array (values[i]); with
// spacing 1, over a contiguous block, which those stages never leave. A stage reaches only
// positions that agree modulo `spacing`, so a transform can be finished one residue class at a
// time. Twiddles are made per stage in runs of a few thousand rather than kept in a table as long
// as half the transform.
void radix2_stages(std::span<Sample> values, std::size_t total, std::size_t offset, std::size_t spacing, double sign) {
  const std::size_t size = values.size();
  Signal w(std::min<std::size_t>(4096, size / 2));
  for (std::size_t len = 2; len <= size; len <<= 1) {
    const std::size_t half = len / 2;
    const std::size_t stride = total / (spacing * len);
    for (std::size_t first = 0; first < half; first += w.size()) {
      const std::size_t count = std::min(w.size(), half - first);
      for (std::size_t k = 0; k < count; ++k) w[k] = twiddle((offset + spacing * (first + k)) * stride, total, sign);
      butterflies(values, len, first, count, w.data(), 1);
    }
  }
}

// Every twiddle of a transform of length n, by index: for transforms short enough that a table is
// cheaper than making them again.
Signal twiddle_table(std::size_t n, double sign) {
  Signal table(n / 2);
  for (std::size_t k = 0; k < table.size(); ++k) table[k] = twiddle(k, n, sign);
  return table;
}

// The first stages over a small contiguous block, their twiddles from `table` (stage len's k-th at
// [len / 2 + k]), for stages that many blocks share.
void block_stages(std::span<Sample> values, std::span<const Sample> table) {
  for (std::size_t len = 2; len <= values.size(); len <<= 1) butterflies(values, len, 0, len / 2, &table[len / 2], 1);
}

// Position i of the bit-reversed order of `bits`-bit indices holds index reverse_bits(i).
std::size_t reverse_bits(std::size_t i, int bits) {
  std::size_t reversed = 0;
  for (int b = 0; b < bits; ++b, i >>= 1) reversed = (reversed << 1) | (i & 1);
  return reversed;
}

// Iterative radix-2 decimation in time, in place and unscaled; the length must be a power of two.
// `table`, when given, holds its twiddles (twiddle_table).
void radix2(std::span<Sample> values, double sign, std::span<const Sample> table = {}) {
  const std::size_t n = values.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j |= bit;
    if (i < j) std::swap(values[i], values[j]);
  }
  if (table.empty()) return radix2_stages(values, n, 0, 1, sign);
  // A kept table serves every stage where it lies: stage len's twiddles are every (n / len)-th.
  for (std::size_t len = 2; len <= n; len <<= 1) butterflies(values, len, 0, len / 2, table.data(), n / len);
}

// chirp[k] = exp(sign * j pi k^2 / n); k^2 is reduced modulo 2n first to keep the angle small.
// Made afresh wherever it is needed: a table of it would cost as much memory as the signal.
Sample chirp(std::size_t k, std::size_t n, double sign) {
  const auto k2 = static_cast<std::uint64_t>(k) * k % (2 * static_cast<std::uint64_t>(n));
  return unit_phasor(sign * pi * static_cast<double>(k2) / static_cast<double>(n));
}

// Multiplies the m-point transform in `spectrum` by the transform of Bluestein's second sequence,
// b[k] = conj(chirp[k]) for |k| < n (modulo m), zero elsewhere, without holding that transform
// whole: it is finished one residue class of `classes` at a time (its first stages stay inside
// blocks of `classes` positions; see radix2_stages), each block's first stages made again for
// every class. Memory m / classes samples instead of m, for `classes` times the work of those
// first stages and half as many times b's chirps.
void multiply_by_chirp_transform(std::span<Sample> spectrum, std::size_t n, double sign) {
  const std::size_t m = spectrum.size();
  const std::size_t classes = std::min<std::size_t>(8, m);
  const std::size_t count = m / classes;  // positions per class
  const int bits = std::countr_zero(m);
  const int block_bits = std::countr_zero(classes);
  const auto b = [n, m, sign](std::size_t k) {
    if (k < n) return std::conj(chirp(k, n, sign));
    return k > m - n ? std::conj(chirp(m - k, n, sign)) : Sample{};
  };
  std::array<Sample, 8> block_twiddles{};
  for (std::size_t half = 1; half < classes; half <<= 1) {
    for (std::size_t k = 0; k < half; ++k) block_twiddles[half + k] = twiddle(k * (m / (2 * half)), m, -1.0);
  }
  Signal part(count);
  std::array<Sample, 8> sequence;
  std::array<Sample, 8> block;
  // Block c of the bit-reversed array holds b at low + t count (t in bit-reversed order), low
  // being c's reversed index: its first stages, and class r's element of them into part[c].
  const auto finish_block = [&](std::size_t low, std::size_t r, auto b_at) {
    for (std::size_t q = 0; q < classes; ++q) block[q] = b_at(reverse_bits(q, block_bits));
    block_stages(std::span(block).first(classes), block_twiddles);
    part[reverse_bits(low, bits - block_bits)] = block[r];
  };
  for (std::size_t r = 0; r < classes; ++r) {
    // b[m - k] = b[k], so the block of count - low holds the numbers of the block of low in
    // reverse order: each chirp made serves two blocks.
    for (std::size_t low = 0; low <= count / 2; ++low) {
      for (std::size_t t = 0; t < classes; ++t) sequence[t] = b(t * count + low);
      finish_block(low, r, [&](std::size_t t) { return sequence[t]; });
      if (low != 0 && 2 * low != count) {
        finish_block(count - low, r, [&](std::size_t t) { return sequence[classes - 1 - t]; });
      }
    }
    radix2_stages(part, m, r, classes, -1.0);
    for (std::size_t c = 0; c < count; ++c) spectrum[r + classes * c] *= part[c];
  }
}

// The same product for short transforms: b and its transform whole, the twiddles from `forward`.
void multiply_by_whole_chirp_transform(std::span<Sample> spectrum, const Signal& chirps, std::span<const Sample> forward) {
  const std::size_t m = spectrum.size();
  Signal b(m);
  for (std::size_t k = 0; k < chirps.size(); ++k) {
    b[k] = std::conj(chirps[k]);
    if (k > 0) b[m - k] = b[k];
  }
  radix2(b, -1.0, forward);
  for (std::size_t k = 0; k < m; ++k) spectrum[k] *= b[k];
}

// Padded lengths up to this keep Bluestein's sequences whole and their chirps and twiddles in
// tables, which is quickest; longer ones make them afresh where they are needed and finish the
// chirp's transform class by class, which keeps their memory to the padded vector itself and an
// eighth of it more (the tables' 12 MiB at most are small beside the process; longer files are
// where memory per sample counts).
constexpr std::size_t longest_with_tables = std::size_t{1} << 18;

// Bluestein's algorithm: a DFT of any length n as a circular convolution of power-of-two length
// m, using k m = (k^2 + m^2 - (k - m)^2) / 2, in the vector's own storage grown to m samples.
void bluestein(Signal& values, double sign) {
  const std::size_t n = values.size();
  const std::size_t m = std::bit_ceil(2 * n - 1);
  const bool tables = m <= longest_with_tables;
  Signal chirps;
  if (tables) {
    chirps.resize(n);
    for (std::size_t k = 0; k < n; ++k) chirps[k] = chirp(k, n, sign);
  }
  const auto chirp_at = [&](std::size_t k) { return tables ? chirps[k] : chirp(k, n, sign); };
  for (std::size_t k = 0; k < n; ++k) values[k] = values[k] * chirp_at(k);
  values.resize(m);
  if (tables) {
    const Signal forward = twiddle_table(m, -1.0);
    radix2(values, -1.0, forward);
    multiply_by_whole_chirp_transform(values, chirps, forward);
  } else {
    radix2(values, -1.0);
    multiply_by_chirp_transform(values, n, sign);
  }
  radix2(values, 1.0, tables ? twiddle_table(m, 1.0) : Signal{});
  const double scale = 1.0 / static_cast<double>(m);
  for (std::size_t k = 0; k < n; ++k) values[k] = values[k] * scale * chirp_at(k);
  values.resize(n);
}

}  // namespace

std::size_t fft_storage(std::size_t n) { return n <= 1 || std::has_single_bit(n) ? n : std::bit_ceil(2 * n - 1); }

double fft_peak_samples(std::size_t n) {
  const std::size_t m = fft_storage(n);
  const bool tables = m <= longest_with_tables;
  if (m == n) return static_cast<double>(n) * (tables ? 1.5 : 1.0);  // a power of two, and its twiddles
  // Short: the chirps, b's transform and a twiddle table beside the padded vector; long: a class.
  return tables ? 2.5 * static_cast<double>(m) + static_cast<double>(n) : 1.125 * static_cast<double>(m);
}

void fft_in_place(Signal& values, FftDirection direction) {
  const bool inverse = direction == FftDirection::inverse;
  const std::size_t n = values.size();
  if (n <= 1) return;
  const double sign = inverse ? 1.0 : -1.0;
  if (std::has_single_bit(n)) {
    radix2(values, sign, n <= longest_with_tables ? twiddle_table(n, sign) : Signal{});
  } else {
    bluestein(values, sign);
  }
  if (inverse) {
    const double scale = 1.0 / static_cast<double>(n);
    for (Sample& value : values) value *= scale;
  }
}

Signal fft(Signal values, FftDirection direction) {
  fft_in_place(values, direction);
  values.shrink_to_fit();
  return values;
}

}  // namespace quorvin
