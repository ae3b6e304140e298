// The keyed family: continuous-phase FSK, MSK and GMSK with exact symbol boundaries.

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "generator/family.h"
#include "generator/pulse.h"
#include "generator/time_base.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

// The modulation index h: FSK the drawn index, MSK and GMSK 1/2.
double modulation_index(const Waveform& w, double fsk_index) { return w.variant == Route::fsk ? fsk_index : 0.5; }

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

WaveformRange keyed_signal(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  Table shape = phase_pulse(w.variant, p.gmsk_bt);
  const bool ramp = w.variant != Route::gmsk;
  const double rise_start = ramp ? 0.0 : shape.first;
  const double rise_end = ramp ? 1.0 : shape.last();
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

WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, p, keyed_signal); }

// FSK (M - 1) h Rs + 2 Rs; MSK 1.5 Rs; GMSK its 99 % bandwidth, (0.6 + BT) Rs up to MSK's.
FamilyBand band(const Waveform& w, const BandLimits& x) {
  std::string options = "{--symbol-rate-max}, {--frequency-offset-min/max}, {--mix-frequency}";
  double width = 1.5;
  if (w.variant == Route::fsk) {
    width = (w.order - 1) * x.fsk_index + 2.0;
    options += ", {--fsk-index-max}";
  } else if (w.variant == Route::gmsk) {
    width = std::min(1.5, 0.6 + x.gmsk_bt);
    options += ", {--gmsk-bt-max}";
  }
  const double half = width * x.symbol_rate / 2.0;
  return {{-half, half}, options};
}

DrawnParameters draws(const Waveform& w) {
  return {.fsk_index = w.variant == Route::fsk, .gmsk_bt = w.variant == Route::gmsk};
}

}  // namespace

const SignalFamily keyed_family{"keyed", false, prepare, band, draws, modulation_index};

}  // namespace quorvin
