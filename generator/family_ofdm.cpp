// The OFDM family: K active subcarriers (the name's number) placed symmetrically around an empty DC
// subcarrier of an inverse DFT of N points, each OFDM symbol led by a cyclic prefix of its last CP
// samples. N is drawn through the occupancy K / N, so the subcarrier spacing fs / N is realised
// exactly at any sample rate and the symbol lasts a whole number of samples (N + CP).

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "common/splitmix.h"
#include "generator/family.h"
#include "generator/time_base.h"
#include "modulation/constellation.h"
#include "modulation/fft.h"

namespace quorvin {
namespace {

constexpr std::string_view subcarrier_schemes[] = {"BPSK", "QPSK", "QAM16", "QAM64", "QAM256"};
constexpr std::int32_t subcarrier_orders[] = {2, 4, 16, 64, 256};

constexpr FamilyRange ofdm_ranges[] = {
    {.key = "ofdm_occupancy", .label = "OFDM Occupancy", .unit = "", .help = "OFDM occupancy (active subcarriers over N)",
     .defaults = {0.5, 0.85}, .low = 0.0, .high = 0.95, .open_low = true},
    {.key = "cyclic_prefix", .label = "Cyclic Prefix Fraction", .unit = "", .help = "cyclic prefix, fraction of N",
     .defaults = {0.0625, 0.25}, .low = 0.0, .high = 1.0},
    {.key = "subcarrier_modulation", .label = "Subcarrier Modulation", .unit = "", .help = "subcarrier modulation",
     .defaults = {0.0, 4.0}, .low = 0.0, .high = 4.0, .whole = true, .choices = subcarrier_schemes},
};
enum Draw : std::size_t { occupancy, cyclic_prefix, subcarrier_modulation };

// What a file's draws make of its symbol, in samples.
constexpr FamilyRange ofdm_labels[] = {
    {.key = "fft_size", .label = "FFT Size", .unit = " samples", .whole = true},
    {.key = "active_subcarriers", .label = "Active Subcarriers", .whole = true},
    {.key = "subcarrier_spacing", .label = "Subcarrier Spacing", .unit = " Hz"},
    {.key = "cyclic_prefix_samples", .label = "Cyclic Prefix", .unit = " samples", .whole = true},
};

struct Shape {
  std::int64_t active;  // K, even
  std::int64_t size;    // N
  std::int64_t prefix;  // CP
  std::int32_t order;   // of the subcarriers' constellation
};

double draw(std::span<const double> draws, Draw i) { return i < draws.size() ? draws[i] : 0.0; }

// N = ceil(K / occupancy), at least K + 2 so the DC subcarrier and the Nyquist one stay empty.
std::int64_t fft_size(std::int64_t active, double occupancy) {
  return std::max<std::int64_t>(active + 2, static_cast<std::int64_t>(std::ceil(static_cast<double>(active) / occupancy - 1e-9)));
}

Shape shape_of(const Waveform& w, std::span<const double> draws) {
  const std::int64_t n = fft_size(w.order, draw(draws, occupancy));
  const auto choice = std::min<std::size_t>(std::size(subcarrier_orders) - 1, static_cast<std::size_t>(draw(draws, subcarrier_modulation)));
  return {w.order, n, static_cast<std::int64_t>(std::round(draw(draws, cyclic_prefix) * static_cast<double>(n))),
          subcarrier_orders[choice]};
}

// Subcarrier i of K at DFT bin -K/2 .. -1, 1 .. K/2.
std::int64_t subcarrier_bin(std::int64_t i, std::int64_t active) { return i < active / 2 ? i - active / 2 : i - active / 2 + 1; }

// OFDM symbol n's K points at unit average energy, from its own engine.
Signal symbol_points(const Shape& s, std::uint64_t seed, std::int64_t n) {
  const SymbolRun run =
      draw_symbol_run(1.0, static_cast<double>(s.active) - 2.0, s.order, splitmix64(seed + static_cast<std::uint64_t>(n) * 0xD1B54A32D192ED03ull));
  const Symbols symbols(run.symbols.begin(), run.symbols.begin() + static_cast<std::ptrdiff_t>(s.active));
  if (s.order == 2) return psk_map(symbols, 2);
  Signal points = qam_square_map(symbols, s.order);
  const double scale = 1.0 / std::sqrt(2.0 * (s.order - 1) / 3.0);
  for (Sample& p : points) p *= scale;
  return points;
}

// The m-th derivative's factor of each active bin's phasor, (j 2 pi b / N)^m, times `points` and
// `ramp`, placed in the DFT's bins and taken back to time: the body's m-th derivative, in samples,
// at the grid's points plus the ramp's fraction.
Signal body_derivative(const Shape& s, const Signal& points, const Signal& ramp, int m) {
  Signal body(static_cast<std::size_t>(s.size), Sample{});
  for (std::int64_t i = 0; i < s.active; ++i) {
    const std::int64_t bin = subcarrier_bin(i, s.active);
    Sample v = points[static_cast<std::size_t>(i)] * ramp[static_cast<std::size_t>(i)];
    for (int d = 0; d < m; ++d) v *= Sample{0.0, 2.0 * pi * static_cast<double>(bin) / static_cast<double>(s.size)};
    body[static_cast<std::size_t>(bin < 0 ? bin + s.size : bin)] = v;
  }
  fft_in_place(body, FftDirection::inverse);
  for (Sample& v : body) v *= static_cast<double>(s.size);
  return body;
}

// The phase ramp that moves every subcarrier `fraction` samples later, with the 1/sqrt K gain.
Signal subcarrier_ramp(const Shape& s, double fraction) {
  Signal ramp(static_cast<std::size_t>(s.active));
  const double gain = 1.0 / std::sqrt(static_cast<double>(s.active));
  for (std::int64_t i = 0; i < s.active; ++i) {
    ramp[static_cast<std::size_t>(i)] =
        gain * unit_phasor(2.0 * pi * static_cast<double>(subcarrier_bin(i, s.active)) * fraction / static_cast<double>(s.size));
  }
  return ramp;
}

WaveformRange ofdm_signal(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const Shape s = shape_of(w, p.family_draws);
  const auto length = s.size + s.prefix;
  const auto symbol_length = static_cast<double>(length);
  // Without drift, sample j sits at u0 (N + CP) + j samples into the symbols: a whole number plus
  // one fraction for the file, which each subcarrier's phase ramp carries exactly.
  const double base = time.u0 * symbol_length;
  const auto start = static_cast<std::int64_t>(std::floor(base));
  const Signal ramp = subcarrier_ramp(s, base - std::floor(base));
  const Signal plain = subcarrier_ramp(s, 0.0);
  // With drift a sample strays e samples from the grid of its run's first: the body's Taylor
  // series in e, each derivative one inverse DFT, runs kept to pi (K/N) |e| <= 2 (24 terms reach
  // below 1e-16 of the points).
  const double stray_limit = 2.0 / (pi * static_cast<double>(s.active) / static_cast<double>(s.size));
  return [=](std::int64_t first, std::size_t count) {
    Signal out(count);
    if (time.drift == 0.0) {
      std::int64_t current = std::numeric_limits<std::int64_t>::min();
      Signal body;
      for (std::size_t k = 0; k < count; ++k) {
        const std::int64_t m = start + first + static_cast<std::int64_t>(k);
        const std::int64_t n = m >= 0 ? m / length : -((-m + length - 1) / length);
        if (n != current) {
          current = n;
          body = body_derivative(s, symbol_points(s, seed, n), ramp, 0);
        }
        // The prefix repeats the body's last CP samples.
        const std::int64_t into = m - n * length - s.prefix;
        out[k] = body[static_cast<std::size_t>(into + (into < 0 ? s.size : 0))];
      }
      return out;
    }
    // Each sample's place: its symbol and samples into the body (negative in the prefix).
    const auto place = [&](std::size_t k) {
      const double position = time.at(first + static_cast<std::int64_t>(k)) * symbol_length;
      const double n = std::floor(position / symbol_length);
      return std::pair{static_cast<std::int64_t>(n), position - n * symbol_length - static_cast<double>(s.prefix)};
    };
    // A run shorter than a few hundred samples costs more in transforms than the sum itself.
    const double stray_per_sample = std::abs((time.at(1) - time.at(0)) * symbol_length - 1.0);
    if (stray_per_sample * 256.0 > stray_limit) {
      std::int64_t current = std::numeric_limits<std::int64_t>::min();
      Signal points;
      for (std::size_t k = 0; k < count; ++k) {
        const auto [n, into] = place(k);
        if (n != current) points = symbol_points(s, seed, current = n);
        // The bins' phasors by steps of one bin from the lowest (skipping DC): a product each.
        const double turn = 2.0 * pi * into / static_cast<double>(s.size);
        const Sample step = unit_phasor(turn);
        Sample phasor = unit_phasor(-turn * static_cast<double>(s.active / 2));
        Sample sum{};
        for (std::int64_t i = 0; i < s.active; ++i) {
          if (i == s.active / 2) phasor *= step;
          sum += points[static_cast<std::size_t>(i)] * phasor;
          phasor *= step;
        }
        out[k] = sum * plain[0];
      }
      return out;
    }
    for (std::size_t k = 0; k < count;) {
      const auto [n, into] = place(k);
      const double grid = std::round(into);
      // The run: the samples of this symbol within the stray limit of grid + i.
      std::size_t end = k + 1;
      double widest = 0.0;
      for (; end < count; ++end) {
        const auto [next_n, next_into] = place(end);
        const double stray = next_into - (grid + static_cast<double>(end - k));
        if (next_n != n || std::abs(stray) > stray_limit) break;
        widest = std::max(widest, std::abs(stray));
      }
      widest = std::max(widest, std::abs(into - grid));
      // Terms until the next one's bound, x^m / m!, is below 1e-17.
      const double x = 2.0 * widest / stray_limit;
      int terms = 1;
      for (double bound = x; bound > 1e-17 && terms < 40; bound *= x / terms) ++terms;
      const Signal points = symbol_points(s, seed, n);
      std::vector<Signal> derivatives;
      for (int m = 0; m < terms; ++m) derivatives.push_back(body_derivative(s, points, plain, m));
      for (std::size_t i = k; i < end; ++i) {
        const double at = place(i).second;
        const double r = grid + static_cast<double>(i - k);
        const double e = at - r;
        auto index = static_cast<std::int64_t>(r) % s.size;
        if (index < 0) index += s.size;
        Sample sum{};
        double factor = 1.0;
        for (int m = 0; m < terms; ++m) {
          sum += factor * derivatives[static_cast<std::size_t>(m)][static_cast<std::size_t>(index)];
          factor *= e / (m + 1.0);
        }
        out[i] = sum;
      }
      k = end;
    }
    return out;
  };
}

double symbol_rate(const Waveform& w, std::span<const double> draws, double sample_rate, double) {
  const Shape s = shape_of(w, draws);
  return sample_rate / static_cast<double>(s.size + s.prefix);
}

// The symbol rate is the draws' whatever the caller drew.
WaveformRange prepare(const Waveform& w, const WaveformParameters& p) {
  WaveformParameters own = p;
  own.symbol_rate = symbol_rate(w, p.family_draws, p.sample_rate, p.symbol_rate);
  return prepare_digital(w, own, ofdm_signal);
}

double bits_per_symbol(const Waveform& w, std::span<const double> draws) {
  const Shape s = shape_of(w, draws);
  return static_cast<double>(s.active) * std::log2(s.order);
}

void derive(const Waveform& w, std::span<const double> draws, double sample_rate, std::span<double> values) {
  const Shape s = shape_of(w, draws);
  values[0] = static_cast<double>(s.size);
  values[1] = static_cast<double>(s.active);
  values[2] = sample_rate / static_cast<double>(s.size);
  values[3] = static_cast<double>(s.prefix);
}

// K spacings and the empty DC subcarrier's, at the smallest N the occupancy range draws.
FamilyBand band(const Waveform& w, const BandLimits& x) {
  const auto [a, b] = range_ends(x.family_ranges != nullptr ? *x.family_ranges : FamilyRanges{}, ofdm_ranges[occupancy]);
  const double spacing = x.sample_rate / static_cast<double>(fft_size(w.order, std::max(a, b)));
  const double half = (static_cast<double>(w.order) / 2.0 + 0.5) * spacing;
  return {{-half, half}, "{--ofdm-occupancy-max}, {--frequency-offset-min/max}, {--mix-frequency}"};
}

DrawnParameters draws(const Waveform&) { return {.ranges = 0b111U}; }

}  // namespace

const SignalFamily ofdm_family{.name = "ofdm", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                               .modulation_index = nullptr, .ranges = ofdm_ranges, .symbol_rate = symbol_rate,
                               .bits_per_symbol = bits_per_symbol, .derived = ofdm_labels, .derive = derive};

}  // namespace quorvin
