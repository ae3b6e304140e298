#include "modulation/fft.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <utility>

#include "common/shared_cache.h"
#include "common/vector_build.h"

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

// The decimation-in-time stages of lengths 2 to a block's size of a radix-2 transform of length
// `total`, over the positions offset + spacing * i of its bit-reversed array (block[i]); with
// spacing 1, over contiguous blocks of equal size at multiples of it, which those stages never
// leave. A stage reaches only positions that agree modulo `spacing`, so a transform can be
// finished one residue class at a time. Twiddles are made per stage in runs of a few thousand,
// once for all the blocks, rather than kept in a table as long as half the transform.
void radix2_stages(std::initializer_list<std::span<Sample>> blocks, std::size_t total, std::size_t offset,
                   std::size_t spacing, double sign) {
  const std::size_t size = blocks.begin()->size();
  Signal w(std::min<std::size_t>(4096, size / 2));
  for (std::size_t len = 2; len <= size; len <<= 1) {
    const std::size_t half = len / 2;
    const std::size_t stride = total / (spacing * len);
    for (std::size_t first = 0; first < half; first += w.size()) {
      const std::size_t count = std::min(w.size(), half - first);
      for (std::size_t k = 0; k < count; ++k) w[k] = twiddle((offset + spacing * (first + k)) * stride, total, sign);
      for (const std::span<Sample> block : blocks) butterflies(block, len, first, count, w.data(), 1);
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

#if defined(__GNUC__)
// One and two complex values, (re, im, re, im).
using Double2 = double __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));

// Through references: a vector passed or returned by value would change the calling convention
// between builds with and without AVX.
QUORVIN_KERNEL void load_pair(Double4& v, const double* p) { std::memcpy(&v, p, sizeof v); }
QUORVIN_KERNEL void store_pair(double* p, const Double4& v) { std::memcpy(p, &v, sizeof v); }

// x times twiddles held as (a, a, a', a') and (-b, b, -b', b') for a + j b and a' + j b', as
// FftPlan::stage_twiddles holds them: (a c - b d, a d + b c) lane by lane, the subtraction being
// the addition of (-b) d, which IEEE arithmetic makes the same number.
QUORVIN_KERNEL void turned(const Double4& re, const Double4& im, const Double4& x, Double4& out) {
  out = re * x + im * __builtin_shufflevector(x, x, 1, 0, 3, 2);
}

// w h for two complex values each, (re, im, re, im): butterfly's numbers.
QUORVIN_KERNEL void product(const Double4& w, const Double4& h, Double4& out) {
  const Double4 sign = {-1.0, 1.0, -1.0, 1.0};
  turned(__builtin_shufflevector(w, w, 0, 0, 2, 2), sign * __builtin_shufflevector(w, w, 1, 1, 3, 3), h, out);
}
#endif

// One stage's butterflies over `values` (the whole transform of n samples or a block of it), its
// twiddles every (n / len)-th of the index table, the product written out: the numbers of
// butterfly's complex product (a c - b d, a d + b c), without its checks for infinities. In time:
// (low + w high, low - w high); in frequency: (low + high, (low - high) w). Two butterflies at a
// time where the compiler has vectors, lane by lane the same operations, so the same numbers.
template <bool in_frequency>
QUORVIN_KERNEL void stage(std::span<Sample> values, std::size_t len, std::span<const Sample> table, std::size_t n) {
  const std::size_t half = len / 2;
  const std::size_t step = 2 * (n / len);
  auto* v = reinterpret_cast<double*>(values.data());
  const auto* t = reinterpret_cast<const double*>(table.data());
  for (std::size_t start = 0; start < values.size(); start += len) {
    double* low = v + 2 * start;
    double* high = low + 2 * half;
    std::size_t k = 0;
#if defined(__GNUC__)
    for (; k + 1 < half; k += 2) {
      Double2 w0, w1;
      std::memcpy(&w0, t + k * step, sizeof w0);
      std::memcpy(&w1, t + (k + 1) * step, sizeof w1);
      const Double4 w = __builtin_shufflevector(w0, w1, 0, 1, 2, 3);
      Double4 l, h, out;
      load_pair(l, low + 2 * k);
      load_pair(h, high + 2 * k);
      if constexpr (in_frequency) {
        product(w, l - h, out);
        store_pair(low + 2 * k, l + h);
        store_pair(high + 2 * k, out);
      } else {
        product(w, h, out);
        store_pair(high + 2 * k, l - out);
        store_pair(low + 2 * k, l + out);
      }
    }
#endif
    for (; k < half; ++k) {
      const double a = t[k * step], b = t[k * step + 1];
      if constexpr (in_frequency) {
        const double c = low[2 * k] - high[2 * k], d = low[2 * k + 1] - high[2 * k + 1];
        low[2 * k] += high[2 * k];
        low[2 * k + 1] += high[2 * k + 1];
        high[2 * k] = a * c - b * d;
        high[2 * k + 1] = a * d + b * c;
      } else {
        const double c = high[2 * k], d = high[2 * k + 1];
        const double re = a * c - b * d, im = a * d + b * c;
        high[2 * k] = low[2 * k] - re;
        high[2 * k + 1] = low[2 * k + 1] - im;
        low[2 * k] += re;
        low[2 * k + 1] += im;
      }
    }
  }
}

#if defined(__GNUC__)
// A stage of length len >= 4 with the plan's stage twiddles (FftPlan::stage_twiddles): the
// numbers of stage(), whose subtraction of b d is the addition of (-b) d.
template <bool in_frequency>
QUORVIN_KERNEL void split_stage(std::span<Sample> values, std::size_t len, const double* stage_twiddles) {
  const std::size_t half = len / 2;
  const double* w = stage_twiddles + 4 * (half - 2);
  auto* v = reinterpret_cast<double*>(values.data());
  for (std::size_t start = 0; start < values.size(); start += len) {
    double* low = v + 2 * start;
    double* high = low + 2 * half;
    for (std::size_t k = 0; k < half; k += 2) {
      Double4 re, im, l, h;
      load_pair(re, w + 4 * k);
      load_pair(im, w + 4 * k + 4);
      load_pair(l, low + 2 * k);
      load_pair(h, high + 2 * k);
      Double4 t;
      if constexpr (in_frequency) {
        turned(re, im, l - h, t);
        store_pair(low + 2 * k, l + h);
        store_pair(high + 2 * k, t);
      } else {
        turned(re, im, h, t);
        store_pair(high + 2 * k, l - t);
        store_pair(low + 2 * k, l + t);
      }
    }
  }
}

// The stage of length 2 (twiddle 1 + j b, b a signed zero) two pairs at a time: stage()'s numbers.
template <bool in_frequency>
QUORVIN_KERNEL void pairs_stage(std::span<Sample> values, Sample one) {
  auto* v = reinterpret_cast<double*>(values.data());
  const Double4 re = {one.real(), one.real(), one.real(), one.real()};
  const Double4 im = {-one.imag(), one.imag(), -one.imag(), one.imag()};
  std::size_t start = 0;
  for (; start + 4 <= values.size(); start += 4) {
    Double4 a, b;
    load_pair(a, v + 2 * start);
    load_pair(b, v + 2 * start + 4);
    const Double4 l = __builtin_shufflevector(a, b, 0, 1, 4, 5);
    const Double4 h = __builtin_shufflevector(a, b, 2, 3, 6, 7);
    Double4 low, high;
    if constexpr (in_frequency) {
      low = l + h;
      turned(re, im, l - h, high);
    } else {
      Double4 t;
      turned(re, im, h, t);
      high = l - t;
      low = l + t;
    }
    store_pair(v + 2 * start, __builtin_shufflevector(low, high, 0, 1, 4, 5));
    store_pair(v + 2 * start + 4, __builtin_shufflevector(low, high, 2, 3, 6, 7));
  }
}

// The stages of lengths len and len / 2 (len >= 8) in one pass over each group of len: split_stage's
// numbers, each value's operations the same and in the same order, for half the loads and stores.
// In frequency the stage of len comes first, in time the stage of len / 2.
template <bool in_frequency>
QUORVIN_KERNEL void fused_stages(std::span<Sample> values, std::size_t len, const double* stage_twiddles) {
  const std::size_t q = len / 4;
  const double* w_half = stage_twiddles + 4 * (q - 2);  // the stage of len / 2's
  const double* w_full = stage_twiddles + 4 * (2 * q - 2);  // the stage of len's
  auto* v = reinterpret_cast<double*>(values.data());
  for (std::size_t start = 0; start < values.size(); start += len) {
    double* p0 = v + 2 * start;
    double* p1 = p0 + 2 * q;
    double* p2 = p1 + 2 * q;
    double* p3 = p2 + 2 * q;
    for (std::size_t k = 0; k < q; k += 2) {
      Double4 half_re, half_im, low_re, low_im, high_re, high_im, x0, x1, x2, x3;
      load_pair(half_re, w_half + 4 * k);
      load_pair(half_im, w_half + 4 * k + 4);
      load_pair(low_re, w_full + 4 * k);
      load_pair(low_im, w_full + 4 * k + 4);
      load_pair(high_re, w_full + 4 * (q + k));
      load_pair(high_im, w_full + 4 * (q + k) + 4);
      load_pair(x0, p0 + 2 * k);
      load_pair(x1, p1 + 2 * k);
      load_pair(x2, p2 + 2 * k);
      load_pair(x3, p3 + 2 * k);
      Double4 y0, y1, y2, y3;
      if constexpr (in_frequency) {
        y0 = x0 + x2;
        turned(low_re, low_im, x0 - x2, y2);
        y1 = x1 + x3;
        turned(high_re, high_im, x1 - x3, y3);
        Double4 z1, z3;
        turned(half_re, half_im, y0 - y1, z1);
        turned(half_re, half_im, y2 - y3, z3);
        store_pair(p0 + 2 * k, y0 + y1);
        store_pair(p1 + 2 * k, z1);
        store_pair(p2 + 2 * k, y2 + y3);
        store_pair(p3 + 2 * k, z3);
      } else {
        Double4 t, u, a, b;
        turned(half_re, half_im, x1, t);
        turned(half_re, half_im, x3, u);
        y0 = x0 + t;
        y1 = x0 - t;
        y2 = x2 + u;
        y3 = x2 - u;
        turned(low_re, low_im, y2, a);
        turned(high_re, high_im, y3, b);
        store_pair(p0 + 2 * k, y0 + a);
        store_pair(p2 + 2 * k, y0 - a);
        store_pair(p1 + 2 * k, y1 + b);
        store_pair(p3 + 2 * k, y1 - b);
      }
    }
  }
}

// One stage of the unreordered pair from the plan's stage twiddles.
template <bool in_frequency>
QUORVIN_KERNEL void pair_stage(std::span<Sample> values, std::size_t len, const FftPlan& plan) {
  if (len >= 4) return split_stage<in_frequency>(values, len, plan.stage_twiddles.data());
  pairs_stage<in_frequency>(values, plan.twiddles[0]);
}
#endif

// Stages up to this length run block by block, each block's all together while it is in the
// first-level cache (16 KiB); longer ones over the whole. The butterflies are the same, in
// another order, so the numbers are too.
constexpr std::size_t cache_block = 1024;

// Every decimation-in-time stage of a transform of n = values.size() samples, bit-reversed in.
QUORVIN_WIDE_CLONES void time_stages(std::span<Sample> values, std::span<const Sample> table) {
  const std::size_t n = values.size();
  const std::size_t block = std::min(n, cache_block);
  for (std::size_t start = 0; start < n; start += block) {
    for (std::size_t len = 2; len <= block; len <<= 1) stage<false>(values.subspan(start, block), len, table, n);
  }
  for (std::size_t len = 2 * block; len <= n; len <<= 1) stage<false>(values, len, table, n);
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

// Puts the values in bit-reversed order of their indices (a power-of-two count), by swaps.
void bit_reverse(std::span<Sample> values) {
  const std::size_t n = values.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j |= bit;
    if (i < j) std::swap(values[i], values[j]);
  }
}

// Iterative radix-2 decimation in time, in place and unscaled; the length must be a power of two.
// `table`, when given, holds its twiddles (twiddle_table).
void radix2(std::span<Sample> values, double sign, std::span<const Sample> table = {}) {
  const std::size_t n = values.size();
  bit_reverse(values);
  if (table.empty()) return radix2_stages({values}, n, 0, 1, sign);
  time_stages(values, table);
}

// chirp[k] = exp(sign * j pi k^2 / n); k^2 is reduced modulo 2n first to keep the angle small.
// Made afresh wherever it is needed: a table of it would cost as much memory as the signal.
Sample chirp(std::size_t k, std::size_t n, double sign) {
  const auto k2 = static_cast<std::uint64_t>(k) * k % (2 * static_cast<std::uint64_t>(n));
  return unit_phasor(sign * pi * static_cast<double>(k2) / static_cast<double>(n));
}

// The twiddles of the first stages of a transform of length `total` over its blocks of N
// positions, stage len's k-th at [len / 2 + k] (block_stages).
template <std::size_t N>
std::array<Sample, N> first_stage_twiddles(std::size_t total, double sign) {
  std::array<Sample, N> table{};
  for (std::size_t half = 1; half < N; half <<= 1) {
    for (std::size_t k = 0; k < half; ++k) table[half + k] = twiddle(k * (total / (2 * half)), total, sign);
  }
  return table;
}

// Class r of eight (positions r + 8 c) of the m-point transform of Bluestein's second sequence,
// b[k] = conj(chirp[k]) for |k| < n (modulo m), zero elsewhere, into `part` (m / 8 samples),
// without holding that transform whole: its first three stages stay inside blocks of eight
// positions (see radix2_stages) and are made again for every class. Memory m / 8 samples instead
// of m, for eight times the work of those first stages and half as many times b's chirps.
void chirp_transform_class(std::span<Sample> part, std::size_t n, std::size_t m, double sign, std::size_t r) {
  constexpr std::size_t classes = 8;
  const std::size_t count = m / classes;  // positions per class
  const int bits = std::countr_zero(m);
  const int block_bits = std::countr_zero(classes);
  const auto b = [n, m, sign](std::size_t k) {
    if (k < n) return std::conj(chirp(k, n, sign));
    return k > m - n ? std::conj(chirp(m - k, n, sign)) : Sample{};
  };
  const auto block_twiddles = first_stage_twiddles<classes>(m, -1.0);
  std::array<Sample, classes> sequence;
  std::array<Sample, classes> block;
  // Block c of the bit-reversed array holds b at low + t count (t in bit-reversed order), low
  // being c's reversed index: its first stages, and class r's element of them into part[c].
  const auto finish_block = [&](std::size_t low, auto b_at) {
    for (std::size_t q = 0; q < classes; ++q) block[q] = b_at(reverse_bits(q, block_bits));
    block_stages(block, block_twiddles);
    part[reverse_bits(low, bits - block_bits)] = block[r];
  };
  // b[m - k] = b[k], so the block of count - low holds the numbers of the block of low in
  // reverse order: each chirp made serves two blocks.
  for (std::size_t low = 0; low <= count / 2; ++low) {
    for (std::size_t t = 0; t < classes; ++t) sequence[t] = b(t * count + low);
    finish_block(low, [&](std::size_t t) { return sequence[t]; });
    if (low != 0 && 2 * low != count) {
      finish_block(count - low, [&](std::size_t t) { return sequence[classes - 1 - t]; });
    }
  }
  radix2_stages({part}, m, r, classes, -1.0);
}

// Padded lengths up to this keep Bluestein's sequences whole and their chirps and twiddles in
// tables, which is quickest (the tables' 12 MiB at most are small beside the process); longer
// ones are convolved a quarter at a time (bluestein_by_quarters), which is where memory per
// sample counts.
constexpr std::size_t longest_with_tables = std::size_t{1} << 18;

// Bluestein's algorithm for short lengths: a DFT of any length n as a circular convolution of
// power-of-two length m, using k m = (k^2 + m^2 - (k - m)^2) / 2, in the vector's own storage
// grown to m samples; the chirps, twiddles and b's transform from the plan.
void bluestein_with_tables(const FftPlan& plan, Signal& values) {
  const std::size_t n = values.size();
  const std::size_t m = plan.chirp_transform.size();
  for (std::size_t k = 0; k < n; ++k) values[k] = values[k] * plan.chirps[k];
  values.resize(m);
  radix2(values, -1.0, plan.twiddles);
  for (std::size_t k = 0; k < m; ++k) values[k] *= plan.chirp_transform[k];
  radix2(values, 1.0, plan.inverse_twiddles);
  const double scale = 1.0 / static_cast<double>(m);
  for (std::size_t k = 0; k < n; ++k) values[k] = values[k] * scale * plan.chirps[k];
  values.resize(n);
}

// Two classes of four, r[0] and r[1] (positions r + 4 c), of the m-point transform of `input`
// padded with zeros to m, into out[0] and out[1] (m / 4 samples each), from one pass over the
// blocks of four positions of its bit-reversed array. The input is shorter than m / 2, so block
// `low` holds input[low] and input[low + m / 4] among zeros: writing out[.][low] as each block is
// finished overwrites only what no later block reads, and an output may be the input's own first
// m / 4 samples; once they are made, the input beyond them is read no more.
void padded_transform_classes(std::span<const Sample> input, std::array<std::span<Sample>, 2> out,
                              std::array<std::size_t, 2> r, std::size_t m) {
  const std::size_t quarter = m / 4;
  const auto twiddles = first_stage_twiddles<4>(m, -1.0);
  for (std::size_t low = 0; low < quarter; ++low) {
    std::array<Sample, 4> block;
    for (std::size_t q = 0; q < 4; ++q) {
      const std::size_t index = reverse_bits(q, 2) * quarter + low;
      block[q] = index < input.size() ? input[index] : Sample{};
    }
    block_stages(block, twiddles);
    out[0][low] = block[r[0]];
    out[1][low] = block[r[1]];
  }
  for (std::size_t i = 0; i < 2; ++i) {
    bit_reverse(out[i]);  // class position c comes from block reverse_bits(c)
    radix2_stages({out[i]}, m, r[i], 4, -1.0);
  }
}

// Class r of four of the padded input's transform in `spectrum` times the same class of b's
// transform (Bluestein's product), put in the order in which the inverse transform's bit-reversed
// array holds it: one contiguous quarter of that array, the one at position reverse_bits(r, 2).
// `room` holds b's classes, m / 8 samples of it.
void multiply_class_by_chirp_transform(std::span<Sample> spectrum, std::span<Sample> room, std::size_t n, std::size_t m,
                                       double sign, std::size_t r) {
  // b's classes r and r + 4 of eight are this class's even and odd positions.
  const std::span<Sample> part = room.first(m / 8);
  for (std::size_t odd = 0; odd < 2; ++odd) {
    chirp_transform_class(part, n, m, sign, r + 4 * odd);
    for (std::size_t c = 0; c < part.size(); ++c) spectrum[2 * c + odd] *= part[c];
  }
  bit_reverse(spectrum);
}

// Bluestein's algorithm for long lengths, the same numbers without ever holding a padded vector.
// The product spectrum is made two classes of four at a time from the input; each class is a
// quarter of the inverse transform's bit-reversed array, whose stages within quarters it then
// takes alone. The quarters at positions 0 and 1 are joined by the stage of length m / 2 into the
// first half, of which only the n values that become outputs are kept, before those at 2 and 3
// are made: the last in the input's own storage, whose rest then keeps the first half's values
// beyond m / 4 until the last stage adds the second half's to them. At most
// max(n + 5m / 8, 2n + m / 4) samples are held, instead of the padded vector's m and more. No
// buffer is freed before the end, the second quarter's and a spare one being used again: memory
// freed early may stay with the process, as much as if it were still held.
void bluestein_by_quarters(Signal& values, double sign) {
  const std::size_t n = values.size();
  const std::size_t m = std::bit_ceil(2 * n - 1);
  const std::size_t quarter = m / 4;  // n lies between m / 4 and m / 2
  for (std::size_t k = 0; k < n; ++k) values[k] = values[k] * chirp(k, n, sign);
  Signal first(quarter);
  Signal second(quarter);
  // b's classes, then the first half's values beyond m / 4, then b's classes again.
  Signal spare(std::max(n - quarter, m / 8));
  padded_transform_classes(values, {first, second}, {0, 2}, m);
  multiply_class_by_chirp_transform(first, spare, n, m, sign, 0);
  multiply_class_by_chirp_transform(second, spare, n, m, sign, 2);
  radix2_stages({first, second}, m, 0, 1, 1.0);
  // The stage of length m / 2 over the first half; of its upper quarter only the n - m / 4
  // values that the last stage turns into outputs below n.
  const std::span<Sample> upper = std::span(spare).first(n - quarter);
  for (std::size_t k = 0; k < quarter; ++k) {
    const Sample t = twiddle(2 * k, m, 1.0) * second[k];
    if (k < upper.size()) upper[k] = first[k] - t;
    first[k] += t;
  }
  const std::span<Sample> third = second;
  const std::span<Sample> fourth = std::span(values).first(quarter);
  padded_transform_classes(values, {third, fourth}, {1, 3}, m);
  std::copy(upper.begin(), upper.end(), values.begin() + static_cast<std::ptrdiff_t>(quarter));
  multiply_class_by_chirp_transform(third, spare, n, m, sign, 1);
  multiply_class_by_chirp_transform(fourth, spare, n, m, sign, 3);
  radix2_stages({third, fourth}, m, 0, 1, 1.0);
  for (std::size_t k = 0; k < quarter; ++k) butterfly(third[k], fourth[k], twiddle(2 * k, m, 1.0));
  // The last stage, outputs below n only: position k of the first half with k of the second,
  // those beyond m / 4 first, while the second half's upper quarter is still in values.
  for (std::size_t k = quarter; k < n; ++k) {
    const Sample t = twiddle(k, m, 1.0) * values[k - quarter];
    values[k] += t;
  }
  for (std::size_t k = 0; k < quarter; ++k) {
    const Sample t = twiddle(k, m, 1.0) * third[k];
    first[k] += t;
    values[k] = first[k];
  }
  const double scale = 1.0 / static_cast<double>(m);
  for (std::size_t k = 0; k < n; ++k) values[k] = values[k] * scale * chirp(k, n, sign);
}

}  // namespace

std::size_t fft_storage(std::size_t n) {
  if (n <= 1 || std::has_single_bit(n)) return n;
  const std::size_t m = std::bit_ceil(2 * n - 1);
  return m <= longest_with_tables ? m : n;
}

double fft_peak_samples(std::size_t n) {
  const std::size_t padded = n <= 1 || std::has_single_bit(n) ? n : std::bit_ceil(2 * n - 1);
  const bool tables = padded <= longest_with_tables;
  if (padded == n) return static_cast<double>(n) * (tables ? 1.5 : 1.0);  // a power of two, and its twiddles
  const auto m = static_cast<double>(padded);
  // Short: the chirps, b's transform and a twiddle table beside the padded vector. Long: the
  // input and, while the first half is made, two quarters and a class of b's transform; then the
  // first half's kept n values and the next two quarters, as they are made from the input.
  if (tables) return 2.5 * m + static_cast<double>(n);
  return std::max(static_cast<double>(n) + 0.625 * m, 2.0 * static_cast<double>(n) + 0.25 * m);
}

namespace {

// The plan; `once`: for a single transform, whose Bluestein inverse makes its twiddles as it goes
// rather than holding a second table (the memory fft_peak_samples counts).
FftPlan plan_of(std::size_t n, FftDirection direction, bool once) {
  FftPlan plan;
  plan.n = n;
  plan.direction = direction;
  const double sign = direction == FftDirection::inverse ? 1.0 : -1.0;
  if (n <= 1) return plan;
  if (std::has_single_bit(n)) {
    if (n <= longest_with_tables) plan.twiddles = twiddle_table(n, sign);
    return plan;
  }
  const std::size_t m = std::bit_ceil(2 * n - 1);
  if (m > longest_with_tables) return plan;
  plan.chirps.resize(n);
  for (std::size_t k = 0; k < n; ++k) plan.chirps[k] = chirp(k, n, sign);
  plan.twiddles = twiddle_table(m, -1.0);
  if (!once) plan.inverse_twiddles = twiddle_table(m, 1.0);
  // b[k] = conj(chirp[k]) for |k| < n (modulo m), zero elsewhere, and its transform.
  Signal& b = plan.chirp_transform;
  b.assign(m, Sample{});
  for (std::size_t k = 0; k < n; ++k) {
    b[k] = std::conj(plan.chirps[k]);
    if (k > 0) b[m - k] = b[k];
  }
  radix2(b, -1.0, plan.twiddles);
  return plan;
}

}  // namespace

FftPlan fft_plan(std::size_t n, FftDirection direction) {
  FftPlan plan = plan_of(n, direction, false);
  if (!std::has_single_bit(n) || plan.twiddles.empty()) return plan;
  // Stage len = 2 half's twiddle k is the table's k n / len.
  for (std::size_t half = 2; half < n; half *= 2) {
    const std::size_t step = n / (2 * half);
    for (std::size_t k = 0; k < half; k += 2) {
      const Sample a = plan.twiddles[k * step];
      const Sample b = plan.twiddles[(k + 1) * step];
      plan.stage_twiddles.insert(plan.stage_twiddles.end(), {a.real(), a.real(), b.real(), b.real(), -a.imag(), a.imag(), -b.imag(), b.imag()});
    }
  }
  return plan;
}

std::shared_ptr<const FftPlan> cached_fft_plan(std::size_t n, FftDirection direction) {
  // Longer transforms are rare (an OFDM symbol of over 60000 samples), and their samples cost
  // far more than their plan.
  constexpr std::size_t largest_kept = std::size_t{1} << 16;
  if (n > largest_kept) return std::make_shared<const FftPlan>(fft_plan(n, direction));
  static SharedCache<std::pair<std::size_t, FftDirection>, FftPlan> plans(8);
  return cached_value(plans, std::pair{n, direction}, [n, direction] { return fft_plan(n, direction); });
}

void fft_in_place(const FftPlan& plan, Signal& values) {
  const std::size_t n = values.size();
  if (n <= 1) return;
  if (std::has_single_bit(n) && !plan.twiddles.empty()) {
    radix2(values, plan.direction == FftDirection::inverse ? 1.0 : -1.0, plan.twiddles);
  } else if (!plan.chirp_transform.empty()) {
    bluestein_with_tables(plan, values);
  } else {
    const double sign = plan.direction == FftDirection::inverse ? 1.0 : -1.0;
    if (std::has_single_bit(n)) {
      radix2(values, sign);
    } else {
      bluestein_by_quarters(values, sign);
    }
  }
  if (plan.direction == FftDirection::inverse) {
    const double scale = 1.0 / static_cast<double>(n);
    for (Sample& value : values) value *= scale;
  }
}

void fft_in_place(Signal& values, FftDirection direction) {
  const std::size_t n = values.size();
  // Long lengths plan nothing, so their memory stays as fft_peak_samples counts it.
  fft_in_place(plan_of(n, direction, true), values);
}

namespace {

// The stages of lengths `low` to `high` over `values` (a transform of n samples or a block of
// it), going down in frequency and up in time, two at a time where they can be fused.
template <bool in_frequency>
QUORVIN_KERNEL void pair_stages(std::span<Sample> values, std::size_t low, std::size_t high, const FftPlan& plan, std::size_t n) {
#if defined(__GNUC__)
  if (!plan.stage_twiddles.empty() && values.size() % 4 == 0) {
    const double* w = plan.stage_twiddles.data();
    if constexpr (in_frequency) {
      for (; high >= 8 && high / 2 >= low; high /= 4) fused_stages<true>(values, high, w);
      for (; high >= low; high /= 2) pair_stage<true>(values, high, plan);
    } else {
      for (; low < 4 && low <= high; low *= 2) pair_stage<false>(values, low, plan);
      for (; 2 * low <= high; low *= 4) fused_stages<false>(values, 2 * low, w);
      for (; low <= high; low *= 2) pair_stage<false>(values, low, plan);
    }
    return;
  }
#endif
  if constexpr (in_frequency) {
    for (; high >= low; high /= 2) stage<true>(values, high, plan.twiddles, n);
  } else {
    for (; low <= high; low *= 2) stage<false>(values, low, plan.twiddles, n);
  }
}

// Every decimation-in-frequency stage of a transform of n = values.size() samples, natural order in.
QUORVIN_WIDE_CLONES void frequency_stages(std::span<Sample> values, const FftPlan& plan) {
  const std::size_t n = values.size();
  const std::size_t block = std::min(n, cache_block);
  if (n > block) pair_stages<true>(values, 2 * block, n, plan, n);
  for (std::size_t start = 0; start < n; start += block) pair_stages<true>(values.subspan(start, block), 2, block, plan, n);
}

// Every decimation-in-time stage of the pair's inverse, bit-reversed in: time_stages's numbers.
QUORVIN_WIDE_CLONES void pair_time_stages(std::span<Sample> values, const FftPlan& plan) {
  const std::size_t n = values.size();
  const std::size_t block = std::min(n, cache_block);
  for (std::size_t start = 0; start < n; start += block) pair_stages<false>(values.subspan(start, block), 2, block, plan, n);
  if (n > block) pair_stages<false>(values, 2 * block, n, plan, n);
}

// The product of the spectra into `out`, then the inverse's stages.
QUORVIN_WIDE_CLONES void product_time_stages(const FftPlan& inverse, std::span<const Sample> spectrum, std::span<const Sample> factor,
                                             std::span<Sample> out) {
  std::size_t k = 0;
#if defined(__GNUC__)
  const auto* a = reinterpret_cast<const double*>(spectrum.data());
  const auto* b = reinterpret_cast<const double*>(factor.data());
  auto* o = reinterpret_cast<double*>(out.data());
  for (; k + 2 <= out.size(); k += 2) {
    Double4 x, y, xy;
    load_pair(x, a + 2 * k);
    load_pair(y, b + 2 * k);
    product(x, y, xy);
    store_pair(o + 2 * k, xy);
  }
#endif
  for (; k < out.size(); ++k) out[k] = times(spectrum[k], factor[k]);
  pair_time_stages(out, inverse);
}

}  // namespace

void fft_to_bit_reversed(const FftPlan& forward, std::span<Sample> values) { frequency_stages(values, forward); }

void fft_product_from_bit_reversed(const FftPlan& inverse, std::span<const Sample> spectrum, std::span<const Sample> factor,
                                   std::span<Sample> out) {
  product_time_stages(inverse, spectrum, factor, out);
}

Signal fft(Signal values, FftDirection direction) {
  fft_in_place(values, direction);
  values.shrink_to_fit();
  return values;
}

double held_half_band(Signal& x, double share) {
  const std::size_t n = x.size();
  if (n == 0) return 0.0;
  fft_in_place(x, FftDirection::forward);
  double total = 0.0;
  for (const Sample& v : x) total += std::norm(v);
  double held = std::norm(x[0]);
  std::size_t k = 1;
  for (; k < n / 2 && held < share * total; ++k) held += std::norm(x[k]) + std::norm(x[n - k]);
  return std::min(0.5, static_cast<double>(k) / static_cast<double>(n));
}

}  // namespace quorvin
