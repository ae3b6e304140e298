// The linear family: unit-energy constellation points (PSK, QAM, APSK, ASK, OOK, OQPSK, Pi/4-DQPSK)
// through a pulse evaluated at the exact sample times.

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "channel/noise.h"
#include "common/shared_cache.h"
#include "generator/family.h"
#include "generator/shaped_sum.h"
#include "generator/symbols.h"
#include "modulation/constellation.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

// The roll-off is drawn and labelled where it always was: with the pulse, before the frame's start.
constexpr FamilyRange linear_ranges[] = {
    {.key = "rolloff", .label = "Roll-off", .help = "roll-off of the rrc pulse", .defaults = {0.35, 0.35}, .low = 0.0,
     .high = 1.0, .slot = RangeSlot::symbols, .labelled_after = "pulse", .options_after = "--pulse",
     .helps = {"lowest roll-off of the rrc pulse drawn (exact)", "highest roll-off drawn (exact)"}, .pulse = PulseShape::rrc},
};
enum Draw : std::size_t { rolloff };

std::shared_ptr<const Pulse> file_pulse(const WaveformParameters& p) {
  return cached_pulse(p.pulse, range_draw(linear_ranges, p.family_draws, rolloff), p.filter_span);
}

// A linear route's whole alphabet at unit average energy; nothing for Pi/4-DQPSK, whose point
// depends on the symbols before it as well.
std::optional<Signal> unit_energy_alphabet(const Waveform& w) {
  if (w.variant == Route::pi4_dqpsk) return std::nullopt;
  Symbols alphabet(static_cast<std::size_t>(w.order));
  for (std::size_t s = 0; s < alphabet.size(); ++s) alphabet[s] = static_cast<std::int32_t>(s);
  Signal all;
  double mean_energy = 0.0;
  switch (w.variant) {
    case Route::qam_square:
      all = qam_square_map(alphabet, w.order);
      mean_energy = 2.0 * (w.order - 1) / 3.0;  // the odd-integer grid's, in closed form
      break;
    case Route::oqpsk: return qpsk_pi4_map(alphabet);
    case Route::psk: all = psk_map(alphabet, w.order); break;
    case Route::qam32: all = qam32_map(alphabet); break;
    case Route::qam128: all = qam128_cross_map(alphabet); break;  // the textbook cross, not the classic corners
    case Route::qam_cross: all = qam_cross_map(alphabet, w.order); break;
    case Route::ask:
      all = ask_map(alphabet, w.order);
      mean_energy = (static_cast<double>(w.order) * w.order - 1.0) / 3.0;
      break;
    case Route::ook: all = ook_map(alphabet); break;
    default: all = apsk_map(alphabet, w.rings.counts, w.rings.radii); break;
  }
  if (mean_energy == 0.0) mean_energy = mean_power(all);
  const double scale = 1.0 / std::sqrt(mean_energy);
  for (Sample& p : all) p *= scale;
  return all;
}

// unit_energy_alphabet(w), kept for the files that follow: a large alphabet (QAM4096's 4096
// points) costs a short frame as much as a third of its samples. The 8 last used of up to 4096
// points (64 KB) are kept.
std::shared_ptr<const std::optional<Signal>> shared_alphabet(const Waveform& w) {
  if (w.order > 4096) return std::make_shared<const std::optional<Signal>>(unit_energy_alphabet(w));
  struct Key {
    Route variant;
    std::int32_t order;
    std::vector<std::int32_t> counts;
    std::vector<double> radii;
    bool operator==(const Key&) const = default;
  };
  static SharedCache<Key, std::optional<Signal>> alphabets(8);
  return cached_value(alphabets, Key{w.variant, w.order, w.rings.counts, w.rings.radii}, [&w] { return unit_energy_alphabet(w); });
}

// The points of a run of symbols: each symbol's alphabet entry (a look-up, no sine or cosine), or
// for Pi/4-DQPSK, without an alphabet, the differential mapping.
Signal unit_energy_points(const std::optional<Signal>& alphabet, const Symbols& symbols) {
  if (!alphabet) return pi4_dqpsk_map(symbols, pi * 0.25);
  Signal points(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) points[i] = (*alphabet)[static_cast<std::size_t>(symbols[i])];
  return points;
}

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

// The shaped symbols a linear route's samples from `earliest` to `latest` (symbol periods) read.
// Lanes start `lanes - 1` before the first symbol, so a sample's first term is at index
// hi - first for its last symbol hi; the rectangle alone reads the points themselves.
ShapedSymbols shaped_symbols(std::int32_t order, const std::optional<Signal>& alphabet, const Pulse& pulse, std::uint64_t seed,
                             double earliest, double latest) {
  const SymbolRun run = draw_symbol_run(earliest, latest, order, seed);
  Signal points = pulse.shape == PulseShape::rect ? unit_energy_points(alphabet, run.symbols) : Signal{};
  return {run.first, std::move(points), point_lanes(alphabet, run.symbols, pulse.lanes == 0 ? 0 : pulse.lanes - 1)};
}

WaveformRange linear_signal(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  std::shared_ptr<const Pulse> pulse = file_pulse(p);
  // OQPSK's Q rail is half a symbol late.
  const bool offset = w.variant == Route::oqpsk;
  const double before = pulse->half_width + (offset ? 0.5 : 0.0);
  const double after = pulse->half_width;
  const std::shared_ptr<const std::optional<Signal>> alphabet = shared_alphabet(w);
  const std::int32_t order = w.order;
  // Pi/4-DQPSK's points depend on every symbol before, so its whole file is mapped at once; every
  // other route draws and maps the symbols of each range as it is asked for, from their numbers.
  std::shared_ptr<const ShapedSymbols> whole;
  if (w.variant == Route::pi4_dqpsk) {
    whole = std::make_shared<const ShapedSymbols>(shaped_symbols(order, *alphabet, *pulse, seed, time.earliest() - before, time.latest() + after));
  }
  return [=](std::int64_t first, std::size_t count) {
    Signal out(count);
    if (count == 0) return out;
    const double start = time.at(first);
    const double end = time.at(first + static_cast<std::int64_t>(count) - 1);
    const ShapedSymbols symbols =
        whole ? ShapedSymbols{} : shaped_symbols(order, *alphabet, *pulse, seed, std::min(start, end) - before, std::max(start, end) + after);
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

WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, p, linear_signal); }

// The symbols whose pulse (OQPSK's Q rail's, half a period later) reaches `reach`, from the run the
// samples read: the same symbols, and Pi/4-DQPSK's points from the same first one.
TransmittedSymbols linear_symbols(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                  const SymbolReach& reach) {
  std::shared_ptr<const Pulse> pulse = file_pulse(p);
  const double lag = w.variant == Route::oqpsk ? 0.5 : 0.0;
  const auto [low, high] = reach_periods(time, reach);
  const SymbolSource source{static_cast<std::int64_t>(std::ceil(low - pulse->half_width - lag)),
                            static_cast<std::int64_t>(std::floor(high + pulse->half_width)), 0.0};
  const std::shared_ptr<const std::optional<Signal>> shared = shared_alphabet(w);
  const std::optional<Signal>& alphabet = *shared;
  if (alphabet) {
    const SymbolRun run = draw_symbol_run(static_cast<double>(source.first), static_cast<double>(source.last), w.order, seed);
    return collect_symbols(w, time, run, source, [&](std::size_t, std::int32_t s) { return (*alphabet)[static_cast<std::size_t>(s)]; });
  }
  const SymbolRun run = draw_symbol_run(time.earliest() - pulse->half_width - lag, time.latest() + pulse->half_width, w.order, seed);
  const Signal points = unit_energy_points(alphabet, run.symbols);
  return collect_symbols(w, time, run, source, [&](std::size_t i, std::int32_t) { return points[i]; });
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, p, reach, linear_symbols);
}

// (1 + rolloff) Rs with the RRC, the main lobe 2 Rs with the rectangle and the triangle.
FamilyBand band(const Waveform&, const BandLimits& x) {
  const auto [low, high] = range_ends(x.family_ranges != nullptr ? *x.family_ranges : FamilyRanges{}, linear_ranges[rolloff]);
  const double half = (x.pulse == PulseShape::rrc ? 1.0 + std::max(low, high) : 2.0) * x.symbol_rate / 2.0;
  return {{-half, half}, std::string("{--symbol-rate-max}, {--frequency-offset-min/max}, {--mix-frequency}") +
                             (x.pulse == PulseShape::rrc ? ", {--rolloff-max}" : ", {--pulse rrc}")};
}

DrawnParameters draws(const Waveform&) { return {.pulse = true, .ranges = 1U << rolloff}; }

}  // namespace

const SignalFamily linear_family{.name = "linear", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                                 .modulation_index = nullptr, .ranges = linear_ranges, .symbols = symbols};

}  // namespace quorvin
