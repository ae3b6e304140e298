#include "generator/shaped_sum.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/vector_build.h"

namespace quorvin {
namespace {

// floor(v) as an integer, without a call into the maths library (which the baseline x86-64
// instruction set needs for std::floor); |v| must be below 2^63.
QUORVIN_KERNEL std::int64_t floor_index(double v) {
  const auto t = static_cast<std::int64_t>(v);
  return static_cast<double>(t) > v ? t - 1 : t;
}


// Sum of a[n] * pulse(v - n) over the symbols whose pulse reaches v, for the rectangle, which
// needs no table: at most two symbols reach any instant.
Sample rectangle_sum(const Pulse& pulse, const ShapedSymbols& symbols, double v) {
  const Signal& points = symbols.points;
  const auto lo = std::max<std::int64_t>(symbols.first, static_cast<std::int64_t>(std::ceil(v - pulse.half_width)));
  const auto hi = std::min<std::int64_t>(symbols.first + static_cast<std::int64_t>(points.size()) - 1,
                                         static_cast<std::int64_t>(std::floor(v + pulse.half_width)));
  Sample sum = 0.0;
  for (std::int64_t n = lo; n <= hi; ++n) sum += points[static_cast<std::size_t>(n - symbols.first)] * pulse.at(v - static_cast<double>(n));
  return sum;
}

// One sample's terms, term j = point j * (row j + f * slope j) over the pulse's lanes (4 Quads).
// The order of additions is fixed, so that every build gives the same bits whatever vector
// width it runs at: lane l (0 .. 7) of an eight-lane sum adds the terms l, l + 8, l + 16, ... in
// turn; lanes l and l + 4 are then added, then the odd four-lane quad if any, and last the four
// lanes as (0 + 1) + (2 + 3). GCC and Clang get it as vector arithmetic; other compilers as the
// same operations one by one.
#if defined(__GNUC__)
using Float8 = float __attribute__((vector_size(32)));
using Float4 = float __attribute__((vector_size(16)));

// Through a reference: a vector returned by value would change the calling convention between
// builds with and without AVX (or SSE).
template <class Vector>
QUORVIN_KERNEL void load_lanes(Vector& v, const float* p) {
  std::memcpy(&v, p, sizeof v);
}

// One sample's four-lane partial sums, real and imaginary.
template <std::size_t Quads>
QUORVIN_KERNEL void tabled_lanes(const float* row, const float* slope, float f, const float* re, const float* im,
                                 Float4& sum_re, Float4& sum_im) {
  if constexpr (Quads >= 2) {
    Float8 wide_re{};
    Float8 wide_im{};
    for (std::size_t c = 0; c < Quads / 2; ++c) {
      Float8 w, w_slope, p_re, p_im;
      load_lanes(w, row + 8 * c);
      load_lanes(w_slope, slope + 8 * c);
      load_lanes(p_re, re + 8 * c);
      load_lanes(p_im, im + 8 * c);
      w += f * w_slope;
      p_re *= w;
      p_im *= w;
      wide_re = c == 0 ? p_re : wide_re + p_re;
      wide_im = c == 0 ? p_im : wide_im + p_im;
    }
    sum_re = __builtin_shufflevector(wide_re, wide_re, 0, 1, 2, 3) + __builtin_shufflevector(wide_re, wide_re, 4, 5, 6, 7);
    sum_im = __builtin_shufflevector(wide_im, wide_im, 0, 1, 2, 3) + __builtin_shufflevector(wide_im, wide_im, 4, 5, 6, 7);
  }
  if constexpr (Quads % 2 == 1) {
    constexpr std::size_t j = 8 * (Quads / 2);
    Float4 w, w_slope, p_re, p_im;
    load_lanes(w, row + j);
    load_lanes(w_slope, slope + j);
    load_lanes(p_re, re + j);
    load_lanes(p_im, im + j);
    w += f * w_slope;
    p_re *= w;
    p_im *= w;
    sum_re = Quads == 1 ? p_re : sum_re + p_re;
    sum_im = Quads == 1 ? p_im : sum_im + p_im;
  }
}

// (x0 + x1) + (x2 + x3) of four vectors at once, in lanes 0 to 3 of `sums`: two samples' sums
// finish together in four additions of four lanes rather than twelve of one. (References: a
// vector passed by value would change the calling convention of builds without SSE.)
QUORVIN_KERNEL void add_across(const Float4& a, const Float4& b, const Float4& c, const Float4& d, Float4& sums) {
  const Float4 ab = __builtin_shufflevector(a, b, 0, 2, 4, 6) + __builtin_shufflevector(a, b, 1, 3, 5, 7);
  const Float4 cd = __builtin_shufflevector(c, d, 0, 2, 4, 6) + __builtin_shufflevector(c, d, 1, 3, 5, 7);
  sums = __builtin_shufflevector(ab, cd, 0, 2, 4, 6) + __builtin_shufflevector(ab, cd, 1, 3, 5, 7);
}

template <std::size_t Quads>
QUORVIN_KERNEL Sample tabled_terms(const float* row, const float* slope, float f, const float* re, const float* im) {
  Float4 sum_re{};
  Float4 sum_im{};
  tabled_lanes<Quads>(row, slope, f, re, im, sum_re, sum_im);
  return {static_cast<double>((sum_re[0] + sum_re[1]) + (sum_re[2] + sum_re[3])),
          static_cast<double>((sum_im[0] + sum_im[1]) + (sum_im[2] + sum_im[3]))};
}
#else
template <std::size_t Quads>
Sample tabled_terms(const float* row, const float* slope, float f, const float* re, const float* im) {
  std::array<float, 8> wide_re{};
  std::array<float, 8> wide_im{};
  std::array<float, 4> sum_re{};
  std::array<float, 4> sum_im{};
  for (std::size_t c = 0; c < Quads / 2; ++c) {
    for (std::size_t l = 0; l < 8; ++l) {
      const float w = row[8 * c + l] + f * slope[8 * c + l];
      wide_re[l] = c == 0 ? re[8 * c + l] * w : wide_re[l] + re[8 * c + l] * w;
      wide_im[l] = c == 0 ? im[8 * c + l] * w : wide_im[l] + im[8 * c + l] * w;
    }
  }
  for (std::size_t l = 0; l < 4; ++l) {
    sum_re[l] = Quads >= 2 ? wide_re[l] + wide_re[l + 4] : 0.0F;
    sum_im[l] = Quads >= 2 ? wide_im[l] + wide_im[l + 4] : 0.0F;
    if (Quads % 2 == 1) {
      const std::size_t j = 8 * (Quads / 2) + l;
      const float w = row[j] + f * slope[j];
      sum_re[l] = Quads == 1 ? re[j] * w : sum_re[l] + re[j] * w;
      sum_im[l] = Quads == 1 ? im[j] * w : sum_im[l] + im[j] * w;
    }
  }
  return {static_cast<double>((sum_re[0] + sum_re[1]) + (sum_re[2] + sum_re[3])),
          static_cast<double>((sum_im[0] + sum_im[1]) + (sum_im[2] + sum_im[3]))};
}
#endif

// The same terms for pulses longer than the unrolled ones, in their own fixed order: each of four
// lanes adds the terms l, l + 4, l + 8, ... in turn.
QUORVIN_KERNEL Sample long_tabled_terms(const float* row, const float* slope, float f, const float* re, const float* im, std::size_t lanes) {
  std::array<float, lane_group> sum_re{};
  std::array<float, lane_group> sum_im{};
  for (std::size_t j = 0; j < lanes; j += lane_group) {
    for (std::size_t l = 0; l < lane_group; ++l) {
      const float w = row[j + l] + f * slope[j + l];
      sum_re[l] += re[j + l] * w;
      sum_im[l] += im[j + l] * w;
    }
  }
  return {static_cast<double>((sum_re[0] + sum_re[1]) + (sum_re[2] + sum_re[3])),
          static_cast<double>((sum_im[0] + sum_im[1]) + (sum_im[2] + sum_im[3]))};
}

// Samples first .. first + out.size() - 1 of a tabled pulse's route at their instants plus `lag`
// symbol periods: the sum of a[n] * pulse(v - n) over the symbols whose pulse reaches v. Every
// term of a sample reads the table at the same fraction between its points, one symbol period (R
// points) apart, so the row and the interpolation weight are worked out once per sample: with y
// the instant's distance from the table's start in table points, floor(y) / R is the last term's
// symbol, floor(y) mod R the row and the rest the weight. `Quads` is the pulse's lanes / 4 when
// known at compile time (0: any), so the common spans' terms unroll into registers.
template <std::size_t Quads>
QUORVIN_KERNEL void tabled_samples(const Pulse& pulse, const ShapedSymbols& symbols, const TimeBase& time, std::int64_t first,
                    double lag, std::span<Sample> out) {
  static_assert(table_points_per_symbol == 1024);
  const std::size_t lanes = Quads != 0 ? Quads * lane_group : pulse.lanes;
  const float* rows = pulse.rows.data();
  const float* slopes = pulse.slopes.data();
  const float* re = symbols.lanes.re.data();
  const float* im = symbols.lanes.im.data();
  // Where a sample's first term may start in the padded lanes, so its terms stay inside them.
  const auto last_start = static_cast<std::int64_t>(symbols.lanes.re.size()) - static_cast<std::int64_t>(lanes);
  const double shift = lag - pulse.table.first;
  // Sample k's row and weight, and where its terms start; `at` is past the lanes when the sample
  // lies beyond the symbols' reach (it is then 0).
  struct Position {
    std::size_t row;
    float f;
    std::size_t at;
  };
  const auto locate = [&](std::size_t k) {
    const double y = (time.at(first + static_cast<std::int64_t>(k)) + shift) * table_points_per_symbol;
    const std::int64_t whole = std::abs(y) < 0x1p62 ? floor_index(y) : std::numeric_limits<std::int64_t>::min();
    const std::int64_t start = (whole >> 10) - symbols.first;
    if (start < 0 || start > last_start) return Position{0, 0.0F, symbols.lanes.re.size()};
    const auto r = static_cast<std::size_t>(whole & (table_points_per_symbol - 1));
    return Position{r * lanes, static_cast<float>(y - static_cast<double>(whole)), static_cast<std::size_t>(start)};
  };
  const auto inside = [&](const Position& p) { return p.at < symbols.lanes.re.size(); };
  const auto sample = [&](const Position& p) -> Sample {
    if (!inside(p)) return 0.0;
    return Quads != 0 ? tabled_terms<Quads>(rows + p.row, slopes + p.row, p.f, re + p.at, im + p.at)
                      : long_tabled_terms(rows + p.row, slopes + p.row, p.f, re + p.at, im + p.at, lanes);
  };
  std::size_t k = 0;
#if defined(__GNUC__)
  if constexpr (Quads != 0) {
    for (; k + 1 < out.size(); k += 2) {
      const Position a = locate(k);
      const Position b = locate(k + 1);
      if (!inside(a) || !inside(b)) {
        out[k] = sample(a);
        out[k + 1] = sample(b);
        continue;
      }
      Float4 a_re, a_im, b_re, b_im;
      tabled_lanes<Quads>(rows + a.row, slopes + a.row, a.f, re + a.at, im + a.at, a_re, a_im);
      tabled_lanes<Quads>(rows + b.row, slopes + b.row, b.f, re + b.at, im + b.at, b_re, b_im);
      Float4 sums;
      add_across(a_re, a_im, b_re, b_im, sums);
      out[k] = {static_cast<double>(sums[0]), static_cast<double>(sums[1])};
      out[k + 1] = {static_cast<double>(sums[2]), static_cast<double>(sums[3])};
    }
  }
#endif
  for (; k < out.size(); ++k) out[k] = sample(locate(k));
}

}  // namespace

// Samples of a linear route (see tabled_samples), the rectangle's included. With AVX2 the sums run
// eight lanes to an instruction instead of four.
QUORVIN_WIDE_CLONES void shaped_samples(const Pulse& pulse, const ShapedSymbols& symbols, const TimeBase& time, std::int64_t first,
                    double lag, std::span<Sample> out) {
  if (pulse.shape == PulseShape::rect) {
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = rectangle_sum(pulse, symbols, time.at(first + static_cast<std::int64_t>(k)) + lag);
    return;
  }
  switch (pulse.lanes / lane_group) {
    case 1: return tabled_samples<1>(pulse, symbols, time, first, lag, out);
    case 7: return tabled_samples<7>(pulse, symbols, time, first, lag, out);
    case 8: return tabled_samples<8>(pulse, symbols, time, first, lag, out);
    case 2: return tabled_samples<2>(pulse, symbols, time, first, lag, out);
    case 3: return tabled_samples<3>(pulse, symbols, time, first, lag, out);
    case 4: return tabled_samples<4>(pulse, symbols, time, first, lag, out);
    case 5: return tabled_samples<5>(pulse, symbols, time, first, lag, out);
    case 6: return tabled_samples<6>(pulse, symbols, time, first, lag, out);
    default: return tabled_samples<0>(pulse, symbols, time, first, lag, out);
  }
}

}  // namespace quorvin
