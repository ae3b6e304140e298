#include "generator/exact.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "channel/gaussian.h"
#include "channel/impairments.h"
#include "channel/noise.h"
#include "common/limits.h"
#include "common/vector_build.h"
#include "modulation/constellation.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

// Pulses are tabulated at this many points per symbol period and read by linear interpolation:
// the error is below 1e-6 of the peak, far under any noise a file carries, and every sample time
// is evaluated directly, so a fractional number of samples per symbol gives no jitter.
constexpr int table_points_per_symbol = 1024;

// A real function of time in symbol periods, tabulated on [first, first + (size - 1) / R].
struct Table {
  double first = 0.0;
  std::vector<double> values;

  double at(double u) const {
    const double x = (u - first) * table_points_per_symbol;
    if (!(x >= 0.0)) return values.front();
    const auto i = static_cast<std::size_t>(x);
    if (i + 1 >= values.size()) return values.back();
    const double f = x - static_cast<double>(i);
    return values[i] + f * (values[i + 1] - values[i]);
  }
  double last() const { return first + static_cast<double>(values.size() - 1) / table_points_per_symbol; }
};

template <typename Function>
Table tabulate(double first, double last, Function f) {
  Table table{first, {}};
  const auto count = static_cast<std::size_t>(std::llround((last - first) * table_points_per_symbol)) + 1;
  table.values.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    table.values[i] = f(first + static_cast<double>(i) / table_points_per_symbol);
  }
  return table;
}

// An even function tabulated on [-half, half], as tabulate(-half, half, f) would make it: points i
// and size - 1 - i are exact negatives of each other (multiples of 1/R, far inside a double's
// precision), and f must give the same double at -u as at u (the RRC does: its sine and the
// product with its cosine change sign with u, as its denominator does), so each value is worked
// out once and mirrored. That halves the sines and cosines of a thread's first pulse, a third of a
// short run's arithmetic.
template <typename Function>
Table tabulate_even(double half, Function f) {
  Table table{-half, {}};
  const auto count = static_cast<std::size_t>(std::llround(2.0 * half * table_points_per_symbol)) + 1;
  table.values.resize(count);
  for (std::size_t i = 0; i <= (count - 1) / 2; ++i) {
    const double value = f(-half + static_cast<double>(i) / table_points_per_symbol);
    table.values[i] = value;
    table.values[count - 1 - i] = value;
  }
  return table;
}

// Root-raised cosine of roll-off a at u symbol periods, unit energy over the symbol period.
double root_raised_cosine(double u, double a) {
  if (u == 0.0) return 1.0 - a + 4.0 * a / pi;
  if (a > 0.0 && std::abs(std::abs(u) - 1.0 / (4.0 * a)) < 1e-9) {
    return a / std::sqrt(2.0) * ((1.0 + 2.0 / pi) * std::sin(pi / (4.0 * a)) + (1.0 - 2.0 / pi) * std::cos(pi / (4.0 * a)));
  }
  const double x = 4.0 * a * u;
  return (std::sin(pi * u * (1.0 - a)) + x * std::cos(pi * u * (1.0 + a))) / (pi * u * (1.0 - x * x));
}

double triangle(double u) { return std::max(0.0, 1.0 - std::abs(u)); }

// The shaping pulse centred on its symbol's instant, scaled to unit energy per symbol period, so
// unit-energy symbols give unit mean power. The RRC is cut to +-span/2, as a receiver's matched
// filter of the same span is; the rectangle is exact without a table.
struct Pulse {
  PulseShape shape;
  double half_width;  // symbol periods on each side of the instant
  Table table;
  // The table regrouped by phase for the sums: row r (0 .. R) holds the points r + m R for the
  // terms m = 0 .. taps - 1, one symbol period apart, in reverse (the last term first) and padded
  // with zeros to `lanes`, so that one sample's terms run forward over its symbols in fixed-width
  // steps the compiler turns into vector arithmetic. `slopes` holds row r + 1 minus row r.
  std::size_t lanes = 0;
  std::vector<float> rows;
  std::vector<float> slopes;

  double at(double u) const {
    if (shape == PulseShape::rect) return (u >= -0.5 && u < 0.5) ? 1.0 : 0.0;
    return (u <= -half_width || u >= half_width) ? 0.0 : table.at(u);
  }
};

// Terms are summed in groups of four single-precision lanes, one vector register on every x86-64
// processor: single precision keeps 1e-7 of the peak, far below the cf32 the files are written
// as, and doubles the terms per instruction.
constexpr std::size_t lane_group = 4;

Pulse make_pulse(PulseShape shape, double rolloff, std::int32_t span) {
  if (shape == PulseShape::rect) return {shape, 0.5, {}, 0, {}, {}};
  const double half = shape == PulseShape::rrc ? span / 2.0 : 1.0;
  Table table = shape == PulseShape::rrc
                    ? tabulate_even(half, [rolloff](double u) { return root_raised_cosine(u, rolloff); })
                    : tabulate(-half, half, triangle);
  double energy = 0.0;
  for (const double v : table.values) energy += v * v;
  const double scale = 1.0 / std::sqrt(energy / table_points_per_symbol);
  for (double& v : table.values) v *= scale;
  const std::size_t taps = table.values.size() / table_points_per_symbol + 1;
  const std::size_t lanes = (taps + lane_group - 1) / lane_group * lane_group;
  const auto point = [&table](std::size_t i) { return i < table.values.size() ? table.values[i] : 0.0; };
  std::vector<float> rows(table_points_per_symbol * lanes, 0.0F);
  std::vector<float> slopes(rows.size(), 0.0F);
  for (std::size_t r = 0; r < table_points_per_symbol; ++r) {
    for (std::size_t m = 0; m < taps; ++m) {
      const std::size_t i = r + m * table_points_per_symbol;
      const std::size_t j = r * lanes + lanes - 1 - m;
      rows[j] = static_cast<float>(point(i));
      slopes[j] = static_cast<float>(point(i + 1) - point(i));
    }
  }
  return {shape, half, std::move(table), lanes, std::move(rows), std::move(slopes)};
}

// The last pulse this thread made: files of one run mostly share their pulse, and tabulating it
// costs as much as a short frame's samples. Shared, so a prepared waveform keeps it alive.
std::shared_ptr<const Pulse> cached_pulse(PulseShape shape, double rolloff, std::int32_t span) {
  struct Key {
    PulseShape shape;
    double rolloff;
    std::int32_t span;
  };
  thread_local std::optional<Key> key;
  thread_local std::shared_ptr<const Pulse> pulse;
  if (!key || key->shape != shape || key->rolloff != rolloff || key->span != span) {
    pulse = std::make_shared<const Pulse>(make_pulse(shape, rolloff, span));
    key = Key{shape, rolloff, span};
  }
  return pulse;
}

// floor(v) as an integer, without a call into the maths library (which the baseline x86-64
// instruction set needs for std::floor); |v| must be below 2^63.
QUORVIN_KERNEL std::int64_t floor_index(double v) {
  const auto t = static_cast<std::int64_t>(v);
  return static_cast<double>(t) > v ? t - 1 : t;
}

// The instants of a file's samples in symbol periods: sample k at u0 + k * step + k / L * drift.
// Samples first .. first + count - 1 are made (the file's own are 0 .. L - 1; the others are
// margins for later stages).
struct TimeBase {
  double u0;
  double step;   // symbol periods per sample, Rs / fs
  double drift;  // the timing error spread over the file
  double length;
  std::int64_t first;
  std::size_t count;

  double at(std::int64_t k) const {
    const double kk = static_cast<double>(k);
    // Without drift the division is skipped: adding its zero would change nothing.
    return drift == 0.0 ? u0 + kk * step : u0 + kk * step + kk / length * drift;
  }
  double sample(std::size_t j) const { return at(first + static_cast<std::int64_t>(j)); }
  double earliest() const { return std::min(sample(0), sample(count - 1)); }
  double latest() const { return std::max(sample(0), sample(count - 1)); }
};

// Symbols first .. first + count - 1 from one engine, in time order.
struct SymbolRun {
  std::int64_t first;
  Symbols symbols;
};

// Symbol n of a file (n may be negative): output n + 1 of SplitMix64 seeded with `seed`, read by
// its number, so any stretch of a long file's symbols is drawn without those before it.
std::int32_t symbol_at(std::uint64_t seed, std::int64_t n, std::int32_t alphabet) {
  const std::uint64_t bits = splitmix64(seed + static_cast<std::uint64_t>(n) * 0x9E3779B97F4A7C15ull);
  const double uniform = static_cast<double>(bits >> 11) * 0x1.0p-53;
  return std::min(alphabet - 1, static_cast<std::int32_t>(uniform * alphabet));
}

// The symbols from floor(earliest) - 1 to about ceil(latest) + 1: every symbol whose pulse
// reaches a sample between the two instants.
struct SymbolSpan {
  std::int64_t first;
  std::size_t count;
};

SymbolSpan symbol_span(double earliest, double latest) {
  const auto first = static_cast<std::int64_t>(std::floor(earliest)) - 1;
  const double count = std::ceil(latest) + 2.0 - static_cast<double>(first);
  return {first, require_sample_count(count)};
}

SymbolRun draw_symbol_run(double earliest, double latest, std::int32_t alphabet, std::uint64_t seed) {
  const SymbolSpan span = symbol_span(earliest, latest);
  SymbolRun run{span.first, Symbols(span.count)};
  for (std::size_t i = 0; i < span.count; ++i) run.symbols[i] = symbol_at(seed, span.first + static_cast<std::int64_t>(i), alphabet);
  return run;
}

// A linear route's whole alphabet at unit average energy; nothing for Pi/4-DQPSK, whose point
// depends on the symbols before it as well.
std::optional<Signal> unit_energy_alphabet(const DigitalRoute& route) {
  if (route.modulator == Route::pi4_dqpsk) return std::nullopt;
  Symbols alphabet(static_cast<std::size_t>(route.alphabet));
  for (std::size_t s = 0; s < alphabet.size(); ++s) alphabet[s] = static_cast<std::int32_t>(s);
  Signal all;
  double mean_energy = 0.0;
  switch (route.modulator) {
    case Route::qam_square:
      all = qam_square_map(alphabet, route.alphabet);
      mean_energy = 2.0 * (route.alphabet - 1) / 3.0;  // the odd-integer grid's, in closed form
      break;
    case Route::oqpsk: return qpsk_pi4_map(alphabet);
    case Route::psk: all = psk_map(alphabet, route.alphabet); break;
    case Route::qam32: all = qam32_map(alphabet); break;
    case Route::qam128: all = qam128_cross_map(alphabet); break;  // the textbook cross, not the classic corners
    default: all = apsk_map(alphabet, route.rings.counts, route.rings.radii); break;
  }
  if (mean_energy == 0.0) mean_energy = mean_power(all);
  const double scale = 1.0 / std::sqrt(mean_energy);
  for (Sample& p : all) p *= scale;
  return all;
}

// The points of a run of symbols: each symbol's alphabet entry (a look-up, no sine or cosine), or
// for Pi/4-DQPSK, without an alphabet, the differential mapping.
Signal unit_energy_points(const std::optional<Signal>& alphabet, const Symbols& symbols) {
  if (!alphabet) return pi4_dqpsk_map(symbols, pi * 0.25);
  Signal points(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) points[i] = (*alphabet)[static_cast<std::size_t>(symbols[i])];
  return points;
}

// A run's constellation points in single precision, split into real and imaginary parts and
// padded with `pad` zeros on each side, so a sample's terms read whole lane groups without bounds
// checks; the zeros stand for the symbols outside the run, which no sample reaches.
struct PointLanes {
  std::vector<float> re;
  std::vector<float> im;
};

PointLanes point_lanes(const std::optional<Signal>& alphabet, const Symbols& symbols, std::size_t pad) {
  PointLanes lanes{std::vector<float>(symbols.size() + 2 * pad, 0.0F), std::vector<float>(symbols.size() + 2 * pad, 0.0F)};
  const auto put = [&lanes, pad](std::size_t i, Sample point) {
    lanes.re[pad + i] = static_cast<float>(point.real());
    lanes.im[pad + i] = static_cast<float>(point.imag());
  };
  // Straight from the alphabet where there is one: points are never held in double.
  if (alphabet) {
    for (std::size_t i = 0; i < symbols.size(); ++i) put(i, (*alphabet)[static_cast<std::size_t>(symbols[i])]);
  } else {
    const Signal points = unit_energy_points(alphabet, symbols);
    for (std::size_t i = 0; i < points.size(); ++i) put(i, points[i]);
  }
  return lanes;
}

// A linear route's symbols ready for the sums: the first symbol's number, and the points as lanes
// (or, for the rectangle, which needs no table, as they are).
struct ShapedSymbols {
  std::int64_t first;
  Signal points;
  PointLanes lanes;
};

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

// A linear route's symbols drawn and mapped for the whole file; samples of any range of it.
// The shaped symbols a linear route's samples from `earliest` to `latest` (symbol periods) read.
// Lanes start `lanes - 1` before the first symbol, so a sample's first term is at index
// hi - first for its last symbol hi; the rectangle alone reads the points themselves.
ShapedSymbols shaped_symbols(const DigitalRoute& route, const std::optional<Signal>& alphabet, const Pulse& pulse,
                             std::uint64_t seed, double earliest, double latest) {
  const SymbolRun run = draw_symbol_run(earliest, latest, route.alphabet, seed);
  Signal points = pulse.shape == PulseShape::rect ? unit_energy_points(alphabet, run.symbols) : Signal{};
  return {run.first, std::move(points), point_lanes(alphabet, run.symbols, pulse.lanes == 0 ? 0 : pulse.lanes - 1)};
}

WaveformRange linear_signal(const DigitalRoute& route, const ExactDigitalParameters& p, const TimeBase& time) {
  std::shared_ptr<const Pulse> pulse = cached_pulse(p.pulse, p.rolloff, p.filter_span);
  // OQPSK's Q rail is half a symbol late.
  const bool offset = route.modulator == Route::oqpsk;
  const double before = pulse->half_width + (offset ? 0.5 : 0.0);
  const double after = pulse->half_width;
  const std::uint64_t seed = *p.seeds.symbols;
  const std::optional<Signal> alphabet = unit_energy_alphabet(route);
  // Pi/4-DQPSK's points depend on every symbol before, so its whole file is mapped at once; every
  // other route draws and maps the symbols of each range as it is asked for, from their numbers.
  std::shared_ptr<const ShapedSymbols> whole;
  if (route.modulator == Route::pi4_dqpsk) {
    whole = std::make_shared<const ShapedSymbols>(shaped_symbols(route, alphabet, *pulse, seed, time.earliest() - before, time.latest() + after));
  }
  return [=](std::int64_t first, std::size_t count) {
    Signal out(count);
    if (count == 0) return out;
    const double start = time.at(first);
    const double end = time.at(first + static_cast<std::int64_t>(count) - 1);
    const ShapedSymbols symbols =
        whole ? ShapedSymbols{} : shaped_symbols(route, alphabet, *pulse, seed, std::min(start, end) - before, std::max(start, end) + after);
    const ShapedSymbols& read = whole ? *whole : symbols;
    shaped_samples(*pulse, read, time, first, 0.0, out);
    if (offset) {
      Signal late(count);
      shaped_samples(*pulse, read, time, first, -0.5, late);
      for (std::size_t k = 0; k < count; ++k) out[k].imag(late[k].imag());
    }
    return out;
  };
}

// The phase pulse of a CPM route, rising from 0 to 1 over the symbol's influence: the symbol at
// instant n turns the phase by pi h a_n in all, following this shape in u - n.
Table phase_pulse(Route route, double bt) {
  if (route != Route::gmsk) return {};  // a rectangular frequency pulse: the ramp over [n, n + 1), exact
  // The Gaussian's tails beyond six deviations are below 1e-8 of its peak.
  const double sigma = std::sqrt(std::log(2.0)) / (2.0 * pi * bt);
  const int tail = static_cast<int>(std::ceil(6.0 * sigma));
  return tabulate(-tail, 1.0 + tail, [bt, tail](double u) { return gaussian_phase_pulse(u, bt, tail); });
}

// A keyed route's phase shape, symbol levels and their running sums for the whole file.
struct KeyedTables {
  Table shape;
  std::vector<double> level;
  std::vector<double> completed;
};

WaveformRange keyed_signal(const DigitalRoute& route, const ExactDigitalParameters& p, const TimeBase& time) {
  Table shape = phase_pulse(route.modulator, p.gmsk_bt);
  const bool ramp = route.modulator != Route::gmsk;
  const double rise_start = ramp ? 0.0 : shape.first;
  const double rise_end = ramp ? 1.0 : shape.last();
  const SymbolRun run = draw_symbol_run(time.earliest() - rise_end, time.latest() - rise_start, route.alphabet,
                                        *p.seeds.symbols);
  // Levels +-1, +-3, ..., and their running sums for the symbols whose turn is complete.
  std::vector<double> level(run.symbols.size());
  std::vector<double> completed(run.symbols.size() + 1, 0.0);
  for (std::size_t i = 0; i < level.size(); ++i) {
    level[i] = 2.0 * run.symbols[i] - (route.alphabet - 1);
    completed[i + 1] = completed[i] + level[i];
  }
  const double turn = pi * keyed_modulation_index(route.modulator, p.fsk_index);
  const auto last = static_cast<std::int64_t>(level.size()) - 1;
  const std::int64_t run_first = run.first;
  return [time, turn, last, run_first, ramp, rise_start, rise_end,
          shared = std::make_shared<const KeyedTables>(KeyedTables{std::move(shape), std::move(level), std::move(completed)})](
             std::int64_t first, std::size_t count) {
    const KeyedTables& t = *shared;
    Signal out(count);
    for (std::size_t k = 0; k < count; ++k) {
      const double u = time.at(first + static_cast<std::int64_t>(k));
      // Symbols up to `done` have turned the phase fully; those after it until `active` partly.
      const auto done = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(u - rise_end)) - run_first, -1, last);
      const auto active = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::ceil(u - rise_start)) - run_first, -1, last);
      double phase = t.completed[static_cast<std::size_t>(done + 1)];
      for (std::int64_t i = done + 1; i <= active; ++i) {
        const double v = u - static_cast<double>(run_first + i);
        phase += t.level[static_cast<std::size_t>(i)] * (ramp ? std::clamp(v, 0.0, 1.0) : t.shape.at(v));
      }
      out[k] = unit_phasor(turn * phase);
    }
    return out;
  };
}

void require_rate(double rate, const char* what) {
  if (!(rate > 0.0) || !std::isfinite(rate)) {
    throw std::invalid_argument(std::string(what) + " must be positive and finite.");
  }
}

std::size_t require_length(std::int64_t num_samples) {
  if (num_samples < 0) throw std::invalid_argument("the number of samples must not be negative.");
  return require_sample_count(static_cast<double>(num_samples));
}

std::uint64_t noise_seed(const std::optional<Seed>& seed) { return seed ? *seed : device_seed(); }

// A route that makes nothing: every range is empty.
Signal nothing(std::int64_t, std::size_t) { return {}; }

}  // namespace

double keyed_modulation_index(Route route, double fsk_index) {
  switch (route) {
    case Route::fsk: return fsk_index;
    case Route::msk:
    case Route::gmsk: return 0.5;
    default: return 0.0;
  }
}

WaveformRange prepare_exact_digital(std::string_view name, const ExactDigitalParameters& p) {
  const std::optional<DigitalRoute> route = find_digital_route(name);
  if (!route || route->alphabet <= 0) return nothing;
  const std::size_t length = require_length(p.num_samples);
  require_rate(p.symbol_rate, "the symbol rate");
  require_rate(p.sample_rate, "the sample rate");
  if (length == 0) return nothing;
  const std::size_t count = require_sample_count(static_cast<double>(length) + static_cast<double>(p.pad_before) + static_cast<double>(p.pad_after));
  ExactDigitalParameters q = p;
  if (!q.seeds.symbols) q.seeds.symbols = device_seed();
  const TimeBase time{p.start_offset, p.symbol_rate / p.sample_rate, p.timing_error, static_cast<double>(length),
                      -static_cast<std::int64_t>(p.pad_before), count};
  return is_keyed(route->modulator) ? keyed_signal(*route, q, time) : linear_signal(*route, q, time);
}

Signal exact_digital_waveform(std::string_view name, const ExactDigitalParameters& p) {
  const WaveformRange range = prepare_exact_digital(name, p);
  const double count = static_cast<double>(p.num_samples) + static_cast<double>(p.pad_before) + static_cast<double>(p.pad_after);
  return p.num_samples <= 0 ? Signal{} : range(-static_cast<std::int64_t>(p.pad_before), static_cast<std::size_t>(count));
}

Signal generate_exact_digital(std::string_view name, const ExactDigitalParameters& p) {
  Signal signal = exact_digital_waveform(name, p);
  signal = apply_carrier_offset(std::move(signal), p.mix_frequency + p.frequency_offset, p.sample_rate);
  return add_white_noise(std::move(signal), p.snr_db, noise_seed(p.seeds.noise));
}

WaveformRange prepare_exact_analog(const ExactAnalogParameters& p) {
  require_length(p.num_samples);
  require_rate(p.sample_rate, "the sample rate");
  require_sample_count(static_cast<double>(p.num_samples) + static_cast<double>(p.pad_before) + static_cast<double>(p.pad_after));
  return [p](std::int64_t first, std::size_t count) {
    Signal out(count);
    const double fm = p.message_frequency;
    const double phi = p.message_phase;
    const double sign = p.sideband == Sideband::lower ? -1.0 : 1.0;
    for (std::size_t j = 0; j < out.size(); ++j) {
      const double t = static_cast<double>(first + static_cast<std::int64_t>(j)) / p.sample_rate;
      const double carrier = 2.0 * pi * p.carrier_frequency * t;
      const double message = 2.0 * pi * fm * t + phi;
      switch (p.route) {
        case Route::am: out[j] = p.amplitude * (1.0 + p.am_index * std::sin(message)) * unit_phasor(carrier); break;
        case Route::am_ssb: out[j] = p.amplitude * unit_phasor(carrier + sign * message); break;
        case Route::fm:
          out[j] = p.amplitude * unit_phasor(carrier + p.deviation / fm * (std::cos(phi) - std::cos(message)));
          break;
        default: out[j] = p.amplitude * unit_phasor(carrier); break;
      }
    }
    return out;
  };
}

Signal exact_analog_waveform(const ExactAnalogParameters& p) {
  const WaveformRange range = prepare_exact_analog(p);
  const double count = static_cast<double>(p.num_samples) + static_cast<double>(p.pad_before) + static_cast<double>(p.pad_after);
  return range(-static_cast<std::int64_t>(p.pad_before), static_cast<std::size_t>(count));
}

Signal generate_exact_analog(const ExactAnalogParameters& p) {
  Signal out = exact_analog_waveform(p);
  out = apply_carrier_offset(std::move(out), p.mix_frequency + p.frequency_offset, p.sample_rate);
  return add_white_noise(std::move(out), p.snr_db, noise_seed(p.noise_seed));
}

double digital_bandwidth(const DigitalRoute& route, double symbol_rate, PulseShape pulse, double rolloff,
                         double fsk_index, double gmsk_bt) {
  switch (route.modulator) {
    case Route::fsk: return ((route.alphabet - 1) * fsk_index + 2.0) * symbol_rate;
    case Route::msk: return 1.5 * symbol_rate;
    case Route::gmsk: return std::min(1.5, 0.6 + gmsk_bt) * symbol_rate;
    default: return (pulse == PulseShape::rrc ? 1.0 + rolloff : 2.0) * symbol_rate;
  }
}

BandEdges analog_band(Route route, double message_frequency, double deviation, Sideband sideband) {
  const double fm = std::abs(message_frequency);
  switch (route) {
    case Route::am: return {-fm, fm};
    case Route::am_ssb: return sideband == Sideband::lower ? BandEdges{-fm, 0.0} : BandEdges{0.0, fm};
    case Route::fm: return {-(std::abs(deviation) + fm), std::abs(deviation) + fm};  // Carson's rule
    default: return {};
  }
}

}  // namespace quorvin
