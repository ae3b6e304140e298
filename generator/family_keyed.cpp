// The keyed family: continuous-phase M-ary FSK, GFSK, MSK and GMSK with exact symbol boundaries.

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/shared_cache.h"
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

// A keyed route's phase shape, symbol levels and their running sums for the whole file.
struct KeyedTables {
  std::shared_ptr<const Table> shape;
  std::vector<double> level;
  std::vector<double> completed;
};

WaveformRange keyed_signal(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  std::shared_ptr<const Table> shape = phase_pulse(w.variant, p.gmsk_bt);
  const bool ramp = shape == nullptr;
  const double rise_start = ramp ? 0.0 : shape->first;
  const double rise_end = ramp ? 1.0 : shape->last();
  const SymbolRun run = draw_symbol_run(time.earliest() - rise_end, time.latest() - rise_start, w.order, seed);
  // Levels +-1, +-3, ..., and their running sums for the symbols whose turn is complete.
  std::vector<double> level(run.symbols.size());
  std::vector<double> completed(run.symbols.size() + 1, 0.0);
  for (std::size_t i = 0; i < level.size(); ++i) {
    level[i] = 2.0 * run.symbols[i] - (w.order - 1);
    completed[i + 1] = completed[i] + level[i];
  }
  const double turn = pi * modulation_index(w, p.fsk_index);
  const auto last = static_cast<std::int64_t>(level.size()) - 1;
  const std::int64_t run_first = run.first;
  return [time, turn, last, run_first, ramp, rise_start, rise_end, phasors = p.phasors,
          shared = std::make_shared<const KeyedTables>(KeyedTables{std::move(shape), std::move(level), std::move(completed)})](
             std::int64_t first, std::size_t count) {
    const KeyedTables& t = *shared;
    // Symbols up to `done` have turned the phase fully; those after it until `active` partly.
    const auto done_at = [&](double u) {
      return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(u - rise_end)) - run_first, -1, last);
    };
    const auto active_at = [&](double u) {
      return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::ceil(u - rise_start)) - run_first, -1, last);
    };
    std::vector<double> u(count);
    for (std::size_t k = 0; k < count; ++k) u[k] = time.at(first + static_cast<std::int64_t>(k));
    // Sample by sample the sums of the symbols' turns, taken over each stretch of samples that
    // the same symbols turn: symbol after symbol, the stretch's samples are independent sums.
    std::vector<double> angle(count);
    for (std::size_t k = 0; k < count;) {
      const std::int64_t done = done_at(u[k]);
      const std::int64_t active = active_at(u[k]);
      std::size_t end = k + 1;
      while (end < count && done_at(u[end]) == done && active_at(u[end]) == active) ++end;
      std::fill(angle.begin() + static_cast<std::ptrdiff_t>(k), angle.begin() + static_cast<std::ptrdiff_t>(end),
                t.completed[static_cast<std::size_t>(done + 1)]);
      for (std::int64_t i = done + 1; i <= active; ++i) {
        const auto instant = static_cast<double>(run_first + i);
        const double weight = t.level[static_cast<std::size_t>(i)];
        if (ramp) {
          for (std::size_t j = k; j < end; ++j) angle[j] += weight * std::clamp(u[j] - instant, 0.0, 1.0);
        } else {
          for (std::size_t j = k; j < end; ++j) angle[j] += weight * t.shape->at(u[j] - instant);
        }
      }
      for (std::size_t j = k; j < end; ++j) angle[j] *= turn;
      k = end;
    }
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
