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

// The modulation index h: FSK and GFSK the drawn index, MSK and GMSK 1/2.
double modulation_index(const Waveform& w, double fsk_index) { return drawn_index(w.variant) ? fsk_index : 0.5; }

// The Gaussian phase pulse of bandwidth-time product bt as a table, rising from 0 to 1 over the
// symbol's influence. Tabulating it costs a dozen short frames' samples, and a run mostly draws
// one BT (or a few), so the last few are kept: at most 8, each under 1.3 MB (BT 0.01).
std::shared_ptr<const Table> gaussian_table(double bt) {
  static SharedCache<double, Table> tables(8);
  return cached_value(tables, bt, [bt] {
    // The Gaussian's tails beyond six deviations are below 1e-8 of its peak.
    const int tail = static_cast<int>(std::ceil(6.0 * gaussian_sigma(bt)));
    return Table{static_cast<double>(-tail), gaussian_phase_pulse_points(bt, tail, table_points_per_symbol)};
  });
}

// The phase pulse of a CPM route: the symbol at instant n turns the phase by pi h a_n in all,
// following this shape in u - n. Nothing for a rectangular frequency pulse: its ramp over
// [n, n + 1) is exact without a table.
std::shared_ptr<const Table> phase_pulse(Route route, double bt) { return gaussian(route) ? gaussian_table(bt) : nullptr; }

// A keyed route's phase shape, symbol levels and their running sums for the whole file, and the
// shape's points paired with the step to the next, the interpolation's operands side by side.
struct Knot {
  double value;
  double slope;  // the next point's value minus this one's: the same double the table works out
};

// A sample in the symbol run reads the shape at most two symbol periods before its first point
// or after its last: the knots go on four periods either side.
constexpr std::size_t knot_margin = 4 * table_points_per_symbol;

struct KeyedTables {
  std::shared_ptr<const Table> shape;
  std::vector<double> level;  // then `terms` zeros, so that a sample may read past the last symbol
  std::vector<double> completed;
  std::vector<Knot> knots;  // knot_margin of the first value, the points but the last, knot_margin of the last value
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
  // Symbols a sample reads at most outside the slow path: a pulse rising over rise_end - rise_start
  // symbol periods has that many plus one under way at an instant.
  std::int64_t terms;
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
    angle += weight * (g.ramp ? std::clamp(u - instant, 0.0, 1.0) : t.shape->at(u - instant));
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
constexpr std::size_t lanes = sizeof(Lanes) / sizeof(double);
static_assert(lanes == 4, "the lanes are filled four at a time");

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

// The shape at v in each lane, as Table::at reads it. Past the table's last point the knots hold
// its last value with no slope, which adds a zero to it; before its first point (where truncation
// is not the floor) the first value is chosen.
QUORVIN_KERNEL void shape_at(const Knot* knots, double first, const Lanes& v, Lanes& out) {
  const Lanes x = (v - first) * static_cast<double>(table_points_per_symbol);
  const Index index = __builtin_convertvector(x, Index);
  const Lanes f = x - __builtin_convertvector(index, Lanes);
  // Built whole from scalars: lanes written one by one through memory and read back as a vector
  // would wait for the stores.
  const Knot& k0 = knots[index[0]];
  const Knot& k1 = knots[index[1]];
  const Knot& k2 = knots[index[2]];
  const Knot& k3 = knots[index[3]];
  const Lanes value = {k0.value, k1.value, k2.value, k3.value};
  const Lanes slope = {k0.slope, k1.slope, k2.slope, k3.slope};
  const double front = knots[0].value;
  select(x >= 0.0, value + f * slope, Lanes{front, front, front, front}, out);
}

QUORVIN_KERNEL void ramp_at(const Lanes& v, Lanes& out) {
  Lanes upper;
  select(1.0 < v, Lanes{1.0, 1.0, 1.0, 1.0}, v, upper);
  select(v < 0.0, Lanes{0.0, 0.0, 0.0, 0.0}, upper, out);
}

// Samples first .. first + count - 1's angles into `angle`, four at a time where every one of
// the four lies within the symbol run and reads at most `terms` symbols.
template <bool ramp>
QUORVIN_KERNEL void keyed_lanes(const KeyedTables& t, const KeyedGeometry& g, std::int64_t first, std::span<double> angle) {
  const Knot* knots = t.knots.data() + knot_margin;
  const double* level = t.level.data();
  const double* completed = t.completed.data();
  const auto terms = static_cast<std::size_t>(g.terms);
  const double shape_first = ramp ? 0.0 : t.shape->first;
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
      if constexpr (ramp) {
        ramp_at(u - instant, shape);
      } else {
        shape_at(knots, shape_first, u - instant, shape);
      }
      sum += weight * shape;
      instant += 1.0;
    }
    sum *= g.turn;
    std::memcpy(angle.data() + k, &sum, sizeof sum);
  }
  for (; k < angle.size(); ++k) angle[k] = keyed_angle(t, g, g.time.at(first + static_cast<std::int64_t>(k)));
}

QUORVIN_WIDE_CLONES void keyed_angles(const KeyedTables& t, const KeyedGeometry& g, std::int64_t first, std::span<double> angle) {
  if (g.ramp) {
    keyed_lanes<true>(t, g, first, angle);
  } else {
    keyed_lanes<false>(t, g, first, angle);
  }
}
#else
void keyed_angles(const KeyedTables& t, const KeyedGeometry& g, std::int64_t first, std::span<double> angle) {
  for (std::size_t k = 0; k < angle.size(); ++k) angle[k] = keyed_angle(t, g, g.time.at(first + static_cast<std::int64_t>(k)));
}
#endif

WaveformRange keyed_signal(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  std::shared_ptr<const Table> shape = phase_pulse(w.variant, p.gmsk_bt);
  const bool ramp = shape == nullptr;
  const double rise_start = ramp ? 0.0 : shape->first;
  const double rise_end = ramp ? 1.0 : shape->last();
  const SymbolRun run = draw_symbol_run(time.earliest() - rise_end, time.latest() - rise_start, w.order, seed);
  const auto terms = static_cast<std::int64_t>(std::ceil(rise_end - rise_start)) + 1;
  // Levels +-1, +-3, ..., and their running sums for the symbols whose turn is complete.
  std::vector<double> level(run.symbols.size() + static_cast<std::size_t>(terms), 0.0);
  std::vector<double> completed(run.symbols.size() + 1, 0.0);
  for (std::size_t i = 0; i < run.symbols.size(); ++i) {
    level[i] = 2.0 * run.symbols[i] - (w.order - 1);
    completed[i + 1] = completed[i] + level[i];
  }
  std::vector<Knot> knots;
  if (!ramp) {
    const std::vector<double>& v = shape->values;
    knots.assign(knot_margin, Knot{v.front(), 0.0});
    for (std::size_t i = 0; i + 1 < v.size(); ++i) knots.push_back({v[i], v[i + 1] - v[i]});
    knots.resize(knots.size() + knot_margin, Knot{v.back(), 0.0});
  }
  const KeyedGeometry geometry{time,       pi * modulation_index(w, p.fsk_index), static_cast<std::int64_t>(run.symbols.size()) - 1,
                               run.first,  ramp,
                               rise_start, rise_end,
                               terms};
  return [geometry, phasors = p.phasors, shared = std::make_shared<const KeyedTables>(
                        KeyedTables{std::move(shape), std::move(level), std::move(completed), std::move(knots)})](
             std::int64_t first, std::size_t count) {
    std::vector<double> angle(count);
    keyed_angles(*shared, geometry, first, angle);
    Signal out(count);
    unit_phasors(angle, out, phasors);
    return out;
  };
}

WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, p, keyed_signal); }

// The symbols whose phase pulse rises within `reach` (those before have only turned the phase by
// a constant), centred on their keyed intervals; each one's value is its tone, h a / 2 Rs.
TransmittedSymbols keyed_symbols(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                 const SymbolReach& reach) {
  const std::shared_ptr<const Table> shape = phase_pulse(w.variant, p.gmsk_bt);
  const double rise_start = shape ? shape->first : 0.0;
  const double rise_end = shape ? shape->last() : 1.0;
  const auto [low, high] = reach_periods(time, reach);
  const SymbolSource source{static_cast<std::int64_t>(std::ceil(low - rise_end)),
                            static_cast<std::int64_t>(std::floor(high - rise_start)), 0.5};
  const SymbolRun run = draw_symbol_run(static_cast<double>(source.first), static_cast<double>(source.last), w.order, seed);
  const double h = modulation_index(w, p.fsk_index);
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
  const double spacing = (w.order - 1) * (indexed ? x.fsk_index : 0.5);
  double width = spacing + (indexed ? 2.0 : w.order == 2 ? 1.0 : 1.5);
  if (indexed) options += ", {--fsk-index-max}";
  if (gaussian(w.variant)) {
    width = std::min(width, spacing + (indexed ? 0.3 : 0.2) + x.gmsk_bt);
    options += ", {--gmsk-bt-max}";
  }
  const double half = width * x.symbol_rate / 2.0;
  return {{-half, half}, options};
}

DrawnParameters draws(const Waveform& w) { return {.fsk_index = drawn_index(w.variant), .gmsk_bt = gaussian(w.variant)}; }

}  // namespace

const SignalFamily keyed_family{.name = "keyed", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                                .modulation_index = modulation_index, .symbols = symbols};

}  // namespace quorvin
