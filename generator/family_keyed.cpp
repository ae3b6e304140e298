// The keyed family: continuous-phase M-ary FSK, GFSK, MSK and GMSK with exact symbol boundaries.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/shared_cache.h"
#include "common/vector_build.h"
#include "generator/family.h"
#include "generator/pulse.h"
#include "generator/symbols.h"
#include "generator/time_base.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

bool gaussian(Route route) { return route == Route::gmsk || route == Route::gfsk; }
bool drawn_index(Route route) { return route == Route::fsk || route == Route::gfsk; }

// The FSK index and the Gaussian kinds' BT are drawn where they always were: with the symbols'
// other values, before the frame's start. The index is told as the modulation index h.
constexpr FamilyRange keyed_ranges[] = {
    {.key = "fsk_index", .label = "", .unit = "", .help = "FSK modulation index", .defaults = {1.0, 1.0}, .low = 0.0, .high = 16.0, .open_low = true,
     .slot = RangeSlot::symbols, .options_after = "--filter-span",
     .helps = {"lowest FSK modulation index drawn: tone spacing index * symbol rate (exact)", "highest FSK modulation index drawn (exact)"}},
    {.key = "gmsk_bt", .label = "BT Product", .help = "bandwidth-time product of the Gaussian-filtered names (GMSK, GFSK)",
     .defaults = {0.3, 0.3}, .low = 0.1, .high = 10.0, .slot = RangeSlot::symbols, .labelled_after = "modulation_index",
     .options_after = "--fsk-index-max",
     .helps = {"lowest bandwidth-time product of the Gaussian-filtered names (GMSK, GFSK) drawn (exact)",
               "highest bandwidth-time product of the Gaussian-filtered names (GMSK, GFSK) drawn (exact)"}},
};
enum Draw : std::size_t { fsk_index, gmsk_bt };

// The modulation index h: FSK and GFSK the drawn index, MSK and GMSK 1/2.
double modulation_index(const Waveform& w, std::span<const double> draws) {
  return drawn_index(w.variant) ? range_draw(keyed_ranges, draws, fsk_index) : 0.5;
}

double bt_product(const WaveformParameters& p) { return range_draw(keyed_ranges, p.family_draws, gmsk_bt); }

// Samples, or a sample's terms, are worked out this many at a time.
constexpr std::size_t lanes = 4;

// The symbols a sample reads at most outside the slow path: a pulse rising over `rise` symbol
// periods has that many plus one under way at an instant.
std::int64_t terms_over(double rise) { return static_cast<std::int64_t>(std::ceil(rise)) + 1; }

// The Gaussian shape regrouped for one sample's terms: the terms of consecutive symbols read the
// shape a whole period (table_points_per_symbol points) apart at the same fraction of a point, so
// row r holds the points r + p R for p from the top down, each with the step to the next, and a
// sample's terms are consecutive entries of one row. Before the table's first point an entry holds
// its first value, from its last point on its last value, each with no step: the values the
// table gives there.
struct ShapeRows {
  std::size_t terms = 0;        // a sample's terms, rounded up to whole lanes
  std::int64_t top_period = 0;  // the period p of each row's first entry
  std::size_t length = 0;       // entries a row: a period above the top to `terms` periods below the first point
  std::vector<double> value;    // row r's entry e at r * length + e: the point r + (top_period - e) R
  std::vector<double> slope;    // the next point's value minus this one's: the same double the table works out
};

ShapeRows shape_rows(const Table& table) {
  const std::vector<double>& v = table.values;
  constexpr auto per_period = static_cast<std::int64_t>(table_points_per_symbol);
  const auto top = static_cast<std::int64_t>(v.size() - 1);
  ShapeRows rows;
  rows.terms = (static_cast<std::size_t>(terms_over(table.last() - table.first)) + lanes - 1) / lanes * lanes;
  rows.top_period = top / per_period + 1;
  rows.length = static_cast<std::size_t>(rows.top_period) + rows.terms + 2;
  rows.value.reserve(rows.length * table_points_per_symbol);
  rows.slope.reserve(rows.length * table_points_per_symbol);
  for (std::int64_t r = 0; r < per_period; ++r) {
    for (std::size_t e = 0; e < rows.length; ++e) {
      const std::int64_t point = r + (rows.top_period - static_cast<std::int64_t>(e)) * per_period;
      const auto i = static_cast<std::size_t>(std::clamp<std::int64_t>(point, 0, top));
      rows.value.push_back(point < 0 ? v.front() : v[i]);
      rows.slope.push_back(point < 0 || point >= top ? 0.0 : v[i + 1] - v[i]);
    }
  }
  return rows;
}

// The Gaussian phase pulse of bandwidth-time product bt, rising from 0 to 1 over the symbol's
// influence, as a table and as its rows.
struct GaussianShape {
  Table table;
  ShapeRows rows;
};

// Tabulating it costs a dozen short frames' samples, and a run mostly draws one BT (or a few), so
// the last few are kept: at most 8, each about 0.8 MB at BT 0.1 (the least the options take; the
// rows are four fifths of it) and 7 MB at BT 0.01.
std::shared_ptr<const GaussianShape> gaussian_shape(double bt) {
  static SharedCache<double, GaussianShape> shapes(8);
  return cached_value(shapes, bt, [bt] {
    // The Gaussian's tails beyond six deviations are below 1e-8 of its peak.
    const int tail = static_cast<int>(std::ceil(6.0 * gaussian_sigma(bt)));
    Table table{static_cast<double>(-tail), gaussian_phase_pulse_points(bt, tail, table_points_per_symbol)};
    ShapeRows rows = shape_rows(table);
    return GaussianShape{std::move(table), std::move(rows)};
  });
}

// The phase pulse of a CPM route: the symbol at instant n turns the phase by pi h a_n in all,
// following this shape in u - n. Nothing for a rectangular frequency pulse: its ramp over
// [n, n + 1) is exact without a table.
std::shared_ptr<const GaussianShape> phase_pulse(Route route, double bt) { return gaussian(route) ? gaussian_shape(bt) : nullptr; }

// A keyed route's phase shape, symbol levels and their running sums for the whole file.
struct KeyedTables {
  std::shared_ptr<const GaussianShape> shape;  // none for the ramp
  std::vector<double> level;  // then zeros, so that a sample may read past the last symbol
  std::vector<double> completed;
};

// What a range of a keyed file's angles is worked out from: its time base, where its symbol run
// starts, its pulse's rise and its turn per level.
struct KeyedGeometry {
  TimeBase time;
  double turn;
  std::int64_t last;  // the run's last symbol
  std::int64_t run_first;
  bool ramp;
  double rise_start;
  double rise_end;
  std::int64_t terms;  // terms_over(rise_end - rise_start)
};

// Symbols up to done_at(u) have turned the phase fully; those after it until active_at(u) partly.
std::int64_t done_at(const KeyedGeometry& g, double u) {
  return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(u - g.rise_end)) - g.run_first, -1, g.last);
}
std::int64_t active_at(const KeyedGeometry& g, double u) {
  return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::ceil(u - g.rise_start)) - g.run_first, -1, g.last);
}

// One sample's angle: the completed turns, then each symbol under way in time order.
double keyed_angle(const KeyedTables& t, const KeyedGeometry& g, double u) {
  const std::int64_t done = done_at(g, u);
  const std::int64_t active = active_at(g, u);
  double angle = t.completed[static_cast<std::size_t>(done + 1)];
  for (std::int64_t i = done + 1; i <= active; ++i) {
    const auto instant = static_cast<double>(g.run_first + i);
    const double weight = t.level[static_cast<std::size_t>(i)];
    angle += weight * (g.ramp ? std::clamp(u - instant, 0.0, 1.0) : t.shape->table.at(u - instant));
  }
  return angle * g.turn;
}

#if defined(__GNUC__)
// Four samples side by side, each reading `terms` symbols from its first one under way: a symbol
// past the last one under way lies before its pulse's rise (the table's first point, 0, or the
// ramp's 0) and adds a zero, which leaves a sum that is never -0 as it was. Each lane does the
// operations keyed_angle does, in its order, so the angles are the same doubles.
using Lanes = double __attribute__((vector_size(32)));
using Bits = std::int64_t __attribute__((vector_size(32)));
using Index = std::int32_t __attribute__((vector_size(16)));
static_assert(sizeof(Lanes) / sizeof(double) == lanes, "the lanes are filled four at a time");

template <class To, class From>
QUORVIN_KERNEL void same_bits(const From& from, To& to) {
  std::memcpy(&to, &from, sizeof to);
}

// Lane by lane `yes` where `mask` (a comparison's lanes) is all ones, else `no`.
template <class Mask>
QUORVIN_KERNEL void select(const Mask& mask, const Lanes& yes, const Lanes& no, Lanes& out) {
  Bits m;
  Bits y;
  Bits n;
  same_bits(mask, m);
  same_bits(yes, y);
  same_bits(no, n);
  const Bits chosen = (y & m) | (n & ~m);
  same_bits(chosen, out);
}

// Each lane's floor, exact for |y| < 2^51 (the callers refuse the lanes beyond it): adding and
// taking off 1.5 * 2^52 rounds to the nearest whole number, which is then stepped down if above y.
QUORVIN_KERNEL void floor_lanes(const Lanes& y, Lanes& out) {
  constexpr double shift = 0x1.8p52;
  const Lanes nearest = (y + shift) - shift;
  Lanes above;
  select(y < nearest, Lanes{1.0, 1.0, 1.0, 1.0}, Lanes{0.0, 0.0, 0.0, 0.0}, above);
  out = nearest - above;
}

// One sample's four consecutive terms: each level times the row's value plus the fraction of its
// step, as the table interpolates.
QUORVIN_KERNEL void sample_terms(const double* value, const double* slope, const double* level, double fraction, Lanes& out) {
  Lanes v;
  Lanes d;
  Lanes w;
  std::memcpy(&v, value, sizeof v);
  std::memcpy(&d, slope, sizeof d);
  std::memcpy(&w, level, sizeof w);
  out = w * (v + fraction * d);
}

// The instants of samples first .. first + 3, as TimeBase::at works each out.
QUORVIN_KERNEL void instants(const TimeBase& time, std::int64_t first, Lanes& u) {
  const Lanes kk = {static_cast<double>(first), static_cast<double>(first + 1), static_cast<double>(first + 2),
                    static_cast<double>(first + 3)};
  u = time.drift == 0.0 ? time.u0 + kk * time.step : time.u0 + kk * time.step + kk / time.length * time.drift;
}

QUORVIN_KERNEL void ramp_at(const Lanes& v, Lanes& out) {
  Lanes upper;
  select(1.0 < v, Lanes{1.0, 1.0, 1.0, 1.0}, v, upper);
  select(v < 0.0, Lanes{0.0, 0.0, 0.0, 0.0}, upper, out);
}

// The ramp's samples first .. first + count - 1 into `angle`, four at a time where every one of
// the four lies within the symbol run and reads at most `terms` symbols.
QUORVIN_KERNEL void ramp_angles(const KeyedTables& t, const KeyedGeometry& g, std::int64_t first, std::span<double> angle) {
  const double* level = t.level.data();
  const double* completed = t.completed.data();
  const auto terms = static_cast<std::size_t>(g.terms);
  std::size_t k = 0;
  for (; k + lanes <= angle.size(); k += lanes) {
    std::array<double, lanes> at{};
    std::array<std::size_t, lanes> next{};
    bool slow = false;
    for (std::size_t l = 0; l < lanes; ++l) {
      at[l] = g.time.at(first + static_cast<std::int64_t>(k + l));
      const std::int64_t done = static_cast<std::int64_t>(std::floor(at[l] - g.rise_end)) - g.run_first;
      const std::int64_t active = static_cast<std::int64_t>(std::ceil(at[l] - g.rise_start)) - g.run_first;
      slow = slow || done < -1 || done > g.last || active - done > g.terms;
      next[l] = static_cast<std::size_t>(done + 1);
    }
    if (slow) {
      for (std::size_t l = 0; l < lanes; ++l) angle[k + l] = keyed_angle(t, g, at[l]);
      continue;
    }
    const Lanes u = {at[0], at[1], at[2], at[3]};
    Lanes sum = {completed[next[0]], completed[next[1]], completed[next[2]], completed[next[3]]};
    Lanes instant = {static_cast<double>(g.run_first + static_cast<std::int64_t>(next[0])),
                     static_cast<double>(g.run_first + static_cast<std::int64_t>(next[1])),
                     static_cast<double>(g.run_first + static_cast<std::int64_t>(next[2])),
                     static_cast<double>(g.run_first + static_cast<std::int64_t>(next[3]))};
    for (std::size_t m = 0; m < terms; ++m) {
      const Lanes weight = {level[next[0] + m], level[next[1] + m], level[next[2] + m], level[next[3] + m]};
      Lanes shape;
      ramp_at(u - instant, shape);
      sum += weight * shape;
      instant += 1.0;
    }
    sum *= g.turn;
    std::memcpy(angle.data() + k, &sum, sizeof sum);
  }
  for (; k < angle.size(); ++k) angle[k] = keyed_angle(t, g, g.time.at(first + static_cast<std::int64_t>(k)));
}

// The Gaussian shape's samples, each from one row. A symbol's instant is a whole number, so where
// |u| is large beside the terms (|u| >= 64 terms) u - instant and that less the table's first
// instant are exact, and each later symbol's table position is the first one's less exactly R: the
// same point a period lower at the same fraction, whose value the table reads as the row does.
QUORVIN_KERNEL void gaussian_angles(const KeyedTables& t, const KeyedGeometry& g, std::int64_t first, std::span<double> angle) {
  const ShapeRows& rows = t.shape->rows;
  const double shape_first = t.shape->table.first;
  // From this |u| on its multiples of ulp(u) reach past every term's u - instant and that less
  // the table's first instant, so both are exact.
  const double exact_from = 2.0 * (static_cast<double>(rows.top_period + static_cast<std::int64_t>(rows.terms)) + 2.0);
  const auto run_first = static_cast<double>(g.run_first);
  const auto last = static_cast<double>(g.last);
  const auto most_terms = static_cast<double>(g.terms);
  const auto top_period = static_cast<double>(rows.top_period);
  const auto row_length = static_cast<double>(rows.length);
  std::size_t k = 0;
  for (; k + lanes <= angle.size(); k += lanes) {
    // Each sample's first symbol under way, its place in the rows and its fraction of a point,
    // the four side by side: the same operations as keyed_angle's, whole numbers as doubles.
    Lanes u;
    instants(g.time, first + static_cast<std::int64_t>(k), u);
    Lanes done_floor;
    Lanes active_ceiling;
    floor_lanes(u - g.rise_end, done_floor);
    floor_lanes(g.rise_start - u, active_ceiling);
    active_ceiling = -active_ceiling;
    const Lanes done = done_floor - run_first;
    const Lanes x = (u - (done_floor + 1.0) - shape_first) * static_cast<double>(table_points_per_symbol);
    Lanes point;
    floor_lanes(x, point);
    Lanes period;
    floor_lanes(point * (1.0 / static_cast<double>(table_points_per_symbol)), period);
    const Lanes entry = top_period - period;
    const Lanes row_at = (point - period * static_cast<double>(table_points_per_symbol)) * row_length + entry;
    const Lanes fraction = x - point;
    const auto slow = (done < -1.0) | (done > last) | (active_ceiling - done_floor > most_terms) | ((u < exact_from) & (u > -exact_from)) |
                      (u >= 0x1p50) | (u <= -0x1p50) | (u != u) | (x < 0.0) | (x >= 0x1p40) | (x != x) | (entry < 0.0) |
                      (entry + static_cast<double>(rows.terms) > row_length);
    if ((slow[0] | slow[1] | slow[2] | slow[3]) != 0) {
      for (std::size_t l = 0; l < lanes; ++l) angle[k + l] = keyed_angle(t, g, u[l]);
      continue;
    }
    const std::size_t next0 = static_cast<std::size_t>(done[0] + 1.0);
    const std::size_t next1 = static_cast<std::size_t>(done[1] + 1.0);
    const std::size_t next2 = static_cast<std::size_t>(done[2] + 1.0);
    const std::size_t next3 = static_cast<std::size_t>(done[3] + 1.0);
    const double* value = rows.value.data();
    const double* slope = rows.slope.data();
    const double* level = t.level.data();
    const auto at0 = static_cast<std::size_t>(row_at[0]);
    const auto at1 = static_cast<std::size_t>(row_at[1]);
    const auto at2 = static_cast<std::size_t>(row_at[2]);
    const auto at3 = static_cast<std::size_t>(row_at[3]);
    Lanes sum = {t.completed[next0], t.completed[next1], t.completed[next2], t.completed[next3]};
    for (std::size_t m = 0; m < rows.terms; m += lanes) {
      // Sample l's terms m .. m + 3 in one vector, then turned so that each vector holds one term
      // of the four samples, which are added in the symbols' order, as keyed_angle adds them.
      Lanes terms0;
      Lanes terms1;
      Lanes terms2;
      Lanes terms3;
      sample_terms(value + at0 + m, slope + at0 + m, level + next0 + m, fraction[0], terms0);
      sample_terms(value + at1 + m, slope + at1 + m, level + next1 + m, fraction[1], terms1);
      sample_terms(value + at2 + m, slope + at2 + m, level + next2 + m, fraction[2], terms2);
      sample_terms(value + at3 + m, slope + at3 + m, level + next3 + m, fraction[3], terms3);
      const Lanes low01 = __builtin_shufflevector(terms0, terms1, 0, 4, 2, 6);
      const Lanes high01 = __builtin_shufflevector(terms0, terms1, 1, 5, 3, 7);
      const Lanes low23 = __builtin_shufflevector(terms2, terms3, 0, 4, 2, 6);
      const Lanes high23 = __builtin_shufflevector(terms2, terms3, 1, 5, 3, 7);
      sum += __builtin_shufflevector(low01, low23, 0, 1, 4, 5);
      sum += __builtin_shufflevector(high01, high23, 0, 1, 4, 5);
      sum += __builtin_shufflevector(low01, low23, 2, 3, 6, 7);
      sum += __builtin_shufflevector(high01, high23, 2, 3, 6, 7);
    }
    sum *= g.turn;
    std::memcpy(angle.data() + k, &sum, sizeof sum);
  }
  for (; k < angle.size(); ++k) angle[k] = keyed_angle(t, g, g.time.at(first + static_cast<std::int64_t>(k)));
}

QUORVIN_WIDE_CLONES void keyed_angles(const KeyedTables& t, const KeyedGeometry& g, std::int64_t first, std::span<double> angle) {
  if (g.ramp) {
    ramp_angles(t, g, first, angle);
  } else {
    gaussian_angles(t, g, first, angle);
  }
}
#else
void keyed_angles(const KeyedTables& t, const KeyedGeometry& g, std::int64_t first, std::span<double> angle) {
  for (std::size_t k = 0; k < angle.size(); ++k) angle[k] = keyed_angle(t, g, g.time.at(first + static_cast<std::int64_t>(k)));
}
#endif

WaveformRange keyed_signal(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  std::shared_ptr<const GaussianShape> shape = phase_pulse(w.variant, bt_product(p));
  const bool ramp = shape == nullptr;
  const double rise_start = ramp ? 0.0 : shape->table.first;
  const double rise_end = ramp ? 1.0 : shape->table.last();
  const SymbolRun run = draw_symbol_run(time.earliest() - rise_end, time.latest() - rise_start, w.order, seed);
  const std::int64_t terms = terms_over(rise_end - rise_start);
  // Levels +-1, +-3, ..., and their running sums for the symbols whose turn is complete; then
  // zeros for the terms a sample past the last symbol reads.
  const std::size_t reads = ramp ? static_cast<std::size_t>(terms) : shape->rows.terms;
  std::vector<double> level(run.symbols.size() + reads, 0.0);
  std::vector<double> completed(run.symbols.size() + 1, 0.0);
  for (std::size_t i = 0; i < run.symbols.size(); ++i) {
    level[i] = 2.0 * run.symbols[i] - (w.order - 1);
    completed[i + 1] = completed[i] + level[i];
  }
  const double turn = pi * modulation_index(w, p.family_draws);
  const KeyedGeometry geometry{time, turn, static_cast<std::int64_t>(run.symbols.size()) - 1, run.first, ramp, rise_start, rise_end, terms};
  // The angles become phasors by the vector phasors in every file, not only in scenes: a keyed
  // file is its phasors alone, and the library's sine and cosine were half its cost.
  return [geometry, shared = std::make_shared<const KeyedTables>(KeyedTables{std::move(shape), std::move(level), std::move(completed)})](
             std::int64_t first, std::size_t count) {
    // Every angle is written before it is read: no zeros first.
    const auto angle = std::make_unique_for_overwrite<double[]>(count);
    keyed_angles(*shared, geometry, first, std::span<double>(angle.get(), count));
    Signal out(count);
    unit_phasors(std::span<const double>(angle.get(), count), out, PhasorMath::polynomial);
    return out;
  };
}

WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, p, keyed_signal); }

// The symbols whose phase pulse rises within `reach` (those before have only turned the phase by
// a constant), centred on their keyed intervals; each one's value is its tone, h a / 2 Rs.
TransmittedSymbols keyed_symbols(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                 const SymbolReach& reach) {
  const std::shared_ptr<const GaussianShape> shape = phase_pulse(w.variant, bt_product(p));
  const double rise_start = shape ? shape->table.first : 0.0;
  const double rise_end = shape ? shape->table.last() : 1.0;
  const auto [low, high] = reach_periods(time, reach);
  const SymbolSource source{static_cast<std::int64_t>(std::ceil(low - rise_end)),
                            static_cast<std::int64_t>(std::floor(high - rise_start)), 0.5};
  const SymbolRun run = draw_symbol_run(static_cast<double>(source.first), static_cast<double>(source.last), w.order, seed);
  const double h = modulation_index(w, p.family_draws);
  return collect_symbols(w, time, run, source, [&](std::size_t, std::int32_t s) {
    return Sample(h * (2.0 * s - (w.order - 1)) / 2.0, 0.0);
  });
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, p, reach, keyed_symbols);
}

// The outer tones' spacing (M - 1) h Rs plus a tone's own width: FSK's 2 Rs; M-ary MSK's 1.5 Rs
// and binary MSK's Rs (1.5 Rs in all, its 99 % band being narrower); a Gaussian kind's, narrower
// with its BT, (0.2 + BT) Rs at index 1/2 and (0.3 + BT) Rs at a drawn index, up to its
// rectangular twin's. Each holds the kind's measured 99 % band for BT 0.1 to 1 and h up to 3
// (GMSK at BT 0.3 needs 0.92 Rs: 0.1 + BT left its scene boxes at 98.9 %).
FamilyBand band(const Waveform& w, const BandLimits& x) {
  std::string options = "{--symbol-rate-max}, {--frequency-offset-min/max}, {--mix-frequency}";
  const bool indexed = drawn_index(w.variant);
  const FamilyRanges& given = x.family_ranges != nullptr ? *x.family_ranges : FamilyRanges{};
  const auto widest = [&given](Draw i) {
    const std::array<double, 2> ends = range_ends(given, keyed_ranges[i]);
    return std::max(ends[0], ends[1]);
  };
  const double spacing = (w.order - 1) * (indexed ? widest(fsk_index) : 0.5);
  double width = spacing + (indexed ? 2.0 : w.order == 2 ? 1.0 : 1.5);
  if (indexed) options += ", {--fsk-index-max}";
  if (gaussian(w.variant)) {
    width = std::min(width, spacing + (indexed ? 0.3 : 0.2) + widest(gmsk_bt));
    options += ", {--gmsk-bt-max}";
  }
  const double half = width * x.symbol_rate / 2.0;
  return {{-half, half}, options};
}

DrawnParameters draws(const Waveform& w) {
  return {.ranges = (drawn_index(w.variant) ? 1U << fsk_index : 0U) | (gaussian(w.variant) ? 1U << gmsk_bt : 0U)};
}

}  // namespace

const SignalFamily keyed_family{.name = "keyed", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                                .modulation_index = modulation_index, .ranges = keyed_ranges, .symbols = symbols};

}  // namespace quorvin
