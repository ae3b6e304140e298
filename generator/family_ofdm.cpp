// The OFDM family: K active subcarriers (the name's number) placed symmetrically around an empty DC
// subcarrier of an inverse DFT of N points, each OFDM symbol led by a cyclic prefix of its last CP
// samples. N is drawn through the occupancy K / N, so the subcarrier spacing fs / N is realised
// exactly at any sample rate and the symbol lasts a whole number of samples (N + CP). A window,
// off by default, fades each symbol in over the first W samples of its prefix while the symbol
// before runs on cyclically and fades out: the bodies stay whole and the sidelobes fall faster.

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/splitmix.h"
#include "generator/family.h"
#include "generator/symbols.h"
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
    {.key = "ofdm_window", .label = "OFDM Window", .unit = "", .help = "raised-cosine edge between OFDM symbols, fraction of the cyclic prefix",
     .defaults = {0.0, 0.0}, .low = 0.0, .high = 1.0, .off_at_zero = true},
};
enum Draw : std::size_t { occupancy, cyclic_prefix, subcarrier_modulation, window };

// What a file's draws make of its symbol, in samples.
constexpr FamilyRange ofdm_labels[] = {
    {.key = "fft_size", .label = "FFT Size", .unit = " samples", .whole = true},
    {.key = "active_subcarriers", .label = "Active Subcarriers", .whole = true},
    {.key = "subcarrier_spacing", .label = "Subcarrier Spacing", .unit = " Hz"},
    {.key = "cyclic_prefix_samples", .label = "Cyclic Prefix", .unit = " samples", .whole = true},
    {.key = "window_samples", .label = "Window", .unit = " samples", .whole = true},
};

struct Shape {
  std::int64_t active;  // K, even
  std::int64_t size;    // N
  std::int64_t prefix;  // CP
  std::int32_t order;   // of the subcarriers' constellation
  std::int64_t window;  // W, at most CP
};

double draw(std::span<const double> draws, Draw i) { return i < draws.size() ? draws[i] : 0.0; }

// N = ceil(K / occupancy), at least K + 2 so the DC subcarrier and the Nyquist one stay empty.
std::int64_t fft_size(std::int64_t active, double occupancy) {
  return std::max<std::int64_t>(active + 2, static_cast<std::int64_t>(std::ceil(static_cast<double>(active) / occupancy - 1e-9)));
}

Shape shape_of(const Waveform& w, std::span<const double> draws) {
  const std::int64_t n = fft_size(w.order, draw(draws, occupancy));
  const auto choice = std::min<std::size_t>(std::size(subcarrier_orders) - 1, static_cast<std::size_t>(draw(draws, subcarrier_modulation)));
  const auto prefix = static_cast<std::int64_t>(std::round(draw(draws, cyclic_prefix) * static_cast<double>(n)));
  return {w.order, n, prefix, subcarrier_orders[choice],
          std::clamp<std::int64_t>(std::llround(draw(draws, window) * static_cast<double>(prefix)), 0, prefix)};
}

// The window's rise at q samples into a symbol (q < W): (1 - cos(pi (q + 1/2) / W)) / 2, so that
// the rise and the fall of the symbol before sum to one.
double window_rise(double q, std::int64_t w) { return 0.5 - 0.5 * std::cos(pi * (q + 0.5) / static_cast<double>(w)); }

// The gain that keeps a windowed file's mean power at one: within the window two independent
// symbols sum with weights r and 1 - r, so a symbol loses sum 2 r (1 - r) of its N + CP samples'
// power.
double window_gain(const Shape& s) {
  double lost = 0.0;
  for (std::int64_t q = 0; q < s.window; ++q) {
    const double rise = window_rise(static_cast<double>(q), s.window);
    lost += 2.0 * rise * (1.0 - rise);
  }
  return 1.0 / std::sqrt(1.0 - lost / static_cast<double>(s.size + s.prefix));
}

// `out` at unit mean power again, when windowed.
Signal& windowed_power(const Shape& s, double gain, Signal& out) {
  if (s.window > 0) {
    for (Sample& v : out) v *= gain;
  }
  return out;
}

// OFDM symbol n's K alphabet indices, subcarrier order, from its own engine.
Symbols subcarrier_symbols(const Shape& s, std::uint64_t seed, std::int64_t n) {
  SymbolRun run =
      draw_symbol_run(1.0, static_cast<double>(s.active) - 2.0, s.order, splitmix64(seed + static_cast<std::uint64_t>(n) * 0xD1B54A32D192ED03ull));
  run.symbols.resize(static_cast<std::size_t>(s.active));
  return std::move(run.symbols);
}

// The subcarriers' constellation at unit average energy, by alphabet index.
Signal subcarrier_alphabet(const Shape& s) {
  Symbols all(static_cast<std::size_t>(s.order));
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::int32_t>(i);
  if (s.order == 2) return psk_map(all, 2);
  Signal points = qam_square_map(all, s.order);
  const double scale = 1.0 / std::sqrt(2.0 * (s.order - 1) / 3.0);
  for (Sample& p : points) p *= scale;
  return points;
}

// OFDM symbol n's K points.
void symbol_points(const Shape& s, const Signal& alphabet, std::uint64_t seed, std::int64_t n, Signal& points) {
  const Symbols symbols = subcarrier_symbols(s, seed, n);
  points.resize(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) points[i] = alphabet[static_cast<std::size_t>(symbols[i])];
}

// Every sample moves `advance` samples of body on from the one before (one without drift), the
// same through the whole file, so a symbol's samples sit at c, c + a, c + 2a, ... into its body,
// and the subcarriers' sum there is a chirp-z transform: with b k = (b^2 + k^2 - (k - b)^2) / 2 it is
// Bluestein's convolution of the points with one chirp, whose pieces' transforms and the chirps on
// either side are made once per file, as far as a range reads them. The symbol's samples are taken
// in segments of L each, so that the transforms are short: one forward transform of the points,
// then one inverse a segment, all of M >= K + L points, L chosen for the least work.
struct ChirpZ {
  std::size_t most = 0;     // samples of one symbol at most
  std::size_t segment = 0;  // L, samples a segment
  std::size_t length = 0;   // M
  double excess = 0.0;      // a - 1
  std::shared_ptr<const FftPlan> forward;
  std::shared_ptr<const FftPlan> inverse;
};

// The chirp and each segment's tables, made the first time they are read: a frame shorter than a
// symbol reads few of a symbol's segments.
struct ChirpSegments {
  // m: exp(j pi a m^2 / N), as far as read. The angle is even in m, and exp(-j x) is the conjugate
  // of exp(j x) (the C library's cosine is even and its sine odd), so this one table gives the
  // chirps on either side of the convolution and the kernels', the same numbers as each its own.
  Signal chirp;
  Signal before;                // bin b + K/2: exp(j pi a b^2 / N) / sqrt K; empty until made
  std::vector<Signal> kernels;  // segment j's: the transform of exp(-j pi a (t + j L - K/2)^2 / N), t = 0 .. K + L - 1, bit-reversed, over M; empty until made
};

// pi a m^2 / N, a = 1 + excess, with m^2 reduced modulo 2N first so that the angle stays exact.
double chirp_angle(std::int64_t m, std::int64_t size, double excess) {
  const std::int64_t square = m * m;
  return pi * static_cast<double>(square % (2 * size)) / static_cast<double>(size) +
         pi * excess * static_cast<double>(square) / static_cast<double>(size);
}

// The transform length for K subcarriers and symbols of `most` samples: the power of two whose
// forward transform and one inverse a segment cost least.
std::size_t segment_transform_length(std::size_t active, std::size_t most) {
  std::size_t best = std::bit_ceil(active + most);
  const auto cost = [&](std::size_t m) {
    const std::size_t segments = (most + m - active - 1) / (m - active);
    return static_cast<double>((1 + segments) * m) * std::log2(static_cast<double>(m));
  };
  for (std::size_t m = std::bit_ceil(active + 2); m < best; m *= 2) {
    if (cost(m) < cost(best)) best = m;
  }
  return best;
}

ChirpZ chirp_z(const Shape& s, double advance) {
  ChirpZ z;
  z.excess = advance - 1.0;
  const auto active = static_cast<std::size_t>(s.active);
  z.most = static_cast<std::size_t>(std::ceil(static_cast<double>(s.size + s.prefix) / std::abs(advance))) + 2;
  z.length = segment_transform_length(active, z.most);
  z.segment = std::min(z.most, z.length - active);
  z.forward = cached_fft_plan(z.length, FftDirection::forward);
  z.inverse = cached_fft_plan(z.length, FftDirection::inverse);
  return z;
}

// The chirp's phasors for m = 0 .. count - 1, made as far as that.
const Signal& chirp_phasors(const Shape& s, const ChirpZ& z, ChirpSegments& made, std::size_t count) {
  if (made.chirp.empty()) made.chirp.reserve(z.most + z.segment + static_cast<std::size_t>(s.active) / 2 + 1);
  for (std::size_t m = made.chirp.size(); m < count; ++m) {
    made.chirp.push_back(unit_phasor(chirp_angle(static_cast<std::int64_t>(m), s.size, z.excess)));
  }
  return made.chirp;
}

// The chirp before the convolution, bin by bin: made once per range.
const Signal& chirp_before(const Shape& s, const ChirpZ& z, ChirpSegments& made) {
  if (!made.before.empty()) return made.before;
  const auto half = static_cast<std::size_t>(s.active / 2);
  const Signal& chirp = chirp_phasors(s, z, made, half + 1);
  const double gain = 1.0 / std::sqrt(static_cast<double>(s.active));
  made.before.resize(2 * half + 1);
  for (std::size_t i = 0; i <= 2 * half; ++i) made.before[i] = gain * chirp[i < half ? half - i : i - half];
  return made.before;
}

// Segment j's kernel, made (and the chirp as far as its samples' `after`) when first asked for.
const Signal& chirp_kernel(const Shape& s, const ChirpZ& z, ChirpSegments& made, std::size_t j) {
  if (made.kernels.empty()) made.kernels.resize((z.most + z.segment - 1) / z.segment);
  Signal& kernel = made.kernels[j];
  if (!kernel.empty()) return kernel;
  const auto active = static_cast<std::size_t>(s.active);
  const auto half = static_cast<std::int64_t>(active / 2);
  const std::size_t first = j * z.segment;
  // Its chirp runs from m = j L - K/2 to j L + L + K/2 - 1; the `after` of its samples within.
  const Signal& chirp = chirp_phasors(s, z, made, first + z.segment + active / 2);
  kernel.resize(z.length);
  for (std::size_t t = 0; t < active + z.segment; ++t) {
    const std::int64_t m = static_cast<std::int64_t>(first + t) - half;
    kernel[t] = std::conj(chirp[static_cast<std::size_t>(m < 0 ? -m : m)]);
  }
  fft_to_bit_reversed(*z.forward, kernel);
  // The inverse transform's 1/M, here once rather than a segment at a time.
  for (Sample& v : kernel) v /= static_cast<double>(z.length);
  return kernel;
}

// The transform of one symbol's `points` whose first sample lies `into` samples into its body,
// each of its segments' samples made from it, into `work`.
void chirp_spectrum(const Shape& s, const ChirpZ& z, ChirpSegments& made, const Signal& points, double into, Signal& work) {
  const Signal& before = chirp_before(s, z, made);
  work.assign(z.length, Sample{});
  // The points turned by exp(j 2 pi b into / N): by steps of one bin, each run of 64 from its own
  // angle so that no rounding accumulates.
  const double turn = 2.0 * pi * into / static_cast<double>(s.size);
  const Sample step = unit_phasor(turn);
  Sample phasor;
  for (std::int64_t i = 0; i <= s.active; ++i) {
    const std::int64_t b = i - s.active / 2;
    phasor = i % 64 == 0 ? unit_phasor(turn * static_cast<double>(b)) : times(phasor, step);
    if (b == 0) continue;
    const std::size_t point = static_cast<std::size_t>(b < 0 ? i : i - 1);
    work[static_cast<std::size_t>(i)] = times(times(points[point], phasor), before[static_cast<std::size_t>(i)]);
  }
  fft_to_bit_reversed(*z.forward, work);
}

// Segment j of a symbol's samples `out` (j L onwards, L of them or up to its end) from its
// `spectrum`; `piece` is room for the transform.
void chirp_segment(const Shape& s, const ChirpZ& z, ChirpSegments& made, const Signal& spectrum, std::size_t j, Signal& piece,
                   std::span<Sample> out) {
  const Signal& kernel = chirp_kernel(s, z, made, j);
  const std::size_t first = j * z.segment;
  piece.resize(spectrum.size());
  fft_product_from_bit_reversed(*z.inverse, spectrum, kernel, piece);
  const auto active = static_cast<std::size_t>(s.active);
  const std::size_t count = std::min(z.segment, out.size() - first);
  for (std::size_t k = 0; k < count; ++k) out[first + k] = times(piece[k + active], made.chirp[first + k]);
}

// The samples `out` of one symbol of `points`, the first `into` samples into its body; `work`
// and `piece` are room for the transforms.
void drifting_samples(const Shape& s, const ChirpZ& z, ChirpSegments& made, const Signal& points, double into, Signal& work,
                      Signal& piece, std::span<Sample> out) {
  chirp_spectrum(s, z, made, points, into, work);
  for (std::size_t j = 0; j * z.segment < out.size(); ++j) chirp_segment(s, z, made, work, j, piece, out);
}

// One symbol's samples, each segment made when one of its samples is first read.
struct LazySymbol {
  Signal spectrum;
  Signal samples;
  std::vector<bool> pending;  // by segment; empty: every sample made
  // The segment last read, made: its samples are read without a look at `pending`.
  std::size_t ready_first = 0;
  std::size_t ready_end = 0;
};

// `y` as the `count` samples of the symbol of `points` from `into` samples into its body, none made.
void start_symbol(const Shape& s, const ChirpZ& z, ChirpSegments& made, const Signal& points, double into, std::size_t count,
                  LazySymbol& y) {
  chirp_spectrum(s, z, made, points, into, y.spectrum);
  y.samples.resize(count);
  y.pending.assign((count + z.segment - 1) / z.segment, true);
  y.ready_first = y.ready_end = 0;
}

// Whether y's sample i lies in the segment last read (and so is made): the test on every sample.
bool ready(const LazySymbol& y, std::size_t i) { return i >= y.ready_first && i < y.ready_end; }

// Makes the segment of y's sample i if it is pending; the segment made, if any.
std::optional<std::size_t> make_segment_of(const Shape& s, const ChirpZ& z, ChirpSegments& made, Signal& piece, std::size_t i,
                                           LazySymbol& y) {
  if (y.pending.empty()) return std::nullopt;
  const std::size_t j = i / z.segment;
  y.ready_first = j * z.segment;
  y.ready_end = std::min(y.ready_first + z.segment, y.samples.size());
  if (!y.pending[j]) return std::nullopt;
  chirp_segment(s, z, made, y.spectrum, j, piece, y.samples);
  y.pending[j] = false;
  return j;
}

// The subcarriers' sum `into` samples into a body of `points` (any real place; the body runs on
// cyclically), by steps of one bin from the lowest, skipping DC: a product each.
Sample summed_sample(const Shape& s, const Signal& points, double into, Sample gain) {
  const double turn = 2.0 * pi * into / static_cast<double>(s.size);
  const Sample step = unit_phasor(turn);
  Sample phasor = unit_phasor(-turn * static_cast<double>(s.active / 2));
  Sample sum{};
  for (std::int64_t i = 0; i < s.active; ++i) {
    if (i == s.active / 2) phasor *= step;
    sum += points[static_cast<std::size_t>(i)] * phasor;
    phasor *= step;
  }
  return sum * gain;
}

// What every range of a file reads, made once.
struct Tables {
  Signal alphabet;
  std::optional<ChirpZ> chirps;
};

// What one range made last, and its work space.
struct Made {
  Signal points;
  Signal work;
  Signal piece;
  ChirpSegments segments;
  LazySymbol body;         // without drift: the body of symbol `current`
  LazySymbol before_body;  // without drift: the body of symbol `previous`, for the window
  Signal before;           // under drift: the points of the symbol before, for the window
  std::int64_t current = std::numeric_limits<std::int64_t>::min();
  std::int64_t previous = std::numeric_limits<std::int64_t>::min();
  std::int64_t first = 0;  // under drift: the first sample of the symbol whose `samples` are kept
  LazySymbol samples;
  std::size_t windowed = 0;  // under drift: how many of `samples`, from the first, the window blends
};

WaveformRange ofdm_signal(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const Shape s = shape_of(w, p.family_draws);
  const auto length = s.size + s.prefix;
  const auto symbol_length = static_cast<double>(length);
  // Without drift, sample j sits at u0 (N + CP) + j samples into the symbols: a whole number plus
  // one fraction for the file, which each subcarrier's phase ramp carries exactly.
  const double base = time.u0 * symbol_length;
  const auto start = static_cast<std::int64_t>(std::floor(base));
  const double fraction = base - std::floor(base);
  const Sample plain = 1.0 / std::sqrt(static_cast<double>(s.active));
  // Samples of body per sample under drift; far from one (a drift of the order of the file's
  // symbols) a symbol's samples are summed one by one.
  const double advance = (time.step + time.drift / time.length) * symbol_length;
  const double gain = window_gain(s);
  auto tables = std::make_shared<Tables>();
  tables->alphabet = subcarrier_alphabet(s);
  if (time.drift == 0.0) {
    tables->chirps = chirp_z(s, 1.0);
  } else if (std::abs(advance) >= 0.5 && std::abs(advance) <= 2.0) {
    tables->chirps = chirp_z(s, advance);
  }
  // The bodies and the drifting symbol last made stay with the range, for the next call's
  // samples of the same symbols.
  return [=, tables = std::shared_ptr<const Tables>(std::move(tables)), made = Made{}](std::int64_t first, std::size_t count) mutable {
    Signal out(count);
    if (time.drift == 0.0) {
      const ChirpZ& z = *tables->chirps;
      // A body of N samples on the grid, the file's fraction on; its segments are made as read.
      const auto start_body = [&](LazySymbol& body) {
        start_symbol(s, z, made.segments, made.points, fraction, static_cast<std::size_t>(s.size), body);
      };
      const auto body_at = [&](LazySymbol& body, std::int64_t i) {
        const auto at = static_cast<std::size_t>(i);
        if (!ready(body, at)) make_segment_of(s, z, made.segments, made.piece, at, body);
        return body.samples[at];
      };
      for (std::size_t k = 0; k < count; ++k) {
        const std::int64_t m = start + first + static_cast<std::int64_t>(k);
        const std::int64_t n = m >= 0 ? m / length : -((-m + length - 1) / length);
        if (n != made.current) {
          if (s.window > 0) {
            std::swap(made.before_body, made.body);
            made.previous = made.current;
          }
          made.current = n;
          symbol_points(s, tables->alphabet, seed, n, made.points);
          start_body(made.body);
        }
        // The prefix repeats the body's last CP samples.
        const std::int64_t into = m - n * length - s.prefix;
        out[k] = body_at(made.body, into + (into < 0 ? s.size : 0));
        // Within the window the symbol before runs on from its body's start.
        const std::int64_t q = into + s.prefix;
        if (q < s.window) {
          if (made.previous != n - 1) {
            symbol_points(s, tables->alphabet, seed, n - 1, made.points);
            start_body(made.before_body);
            made.previous = n - 1;
          }
          const double rise = window_rise(static_cast<double>(q), s.window);
          out[k] = rise * out[k] + (1.0 - rise) * body_at(made.before_body, q % s.size);
        }
      }
      return windowed_power(s, gain, out);
    }
    // Sample a's place: its symbol and samples into the body (negative in the prefix).
    const auto place = [&](std::int64_t a) {
      const double position = time.at(a) * symbol_length;
      const double n = std::floor(position / symbol_length);
      return std::pair{static_cast<std::int64_t>(n), position - n * symbol_length - static_cast<double>(s.prefix)};
    };
    // Whether the window reaches into a symbol whose first sample lies `first_into` into its body.
    const auto windowed_from = [&](double first_into) {
      return s.window > 0 && first_into + static_cast<double>(s.prefix) < static_cast<double>(s.window);
    };
    // Sample i of the symbol of a, a + 1, ... blended with the symbol before (its points in
    // made.before) over the window; false past the window's end.
    const auto blend = [&](std::int64_t a, std::size_t i, std::span<Sample> samples) {
      const double body_place = place(a + static_cast<std::int64_t>(i)).second;
      const double q = body_place + static_cast<double>(s.prefix);
      if (q >= static_cast<double>(s.window)) return false;
      const double rise = window_rise(q, s.window);
      samples[i] = rise * samples[i] + (1.0 - rise) * summed_sample(s, made.before, body_place + symbol_length, plain);
      return true;
    };
    // Samples a, a + 1, ... of symbol n (its points in made.points), with the symbol before
    // fading out over the window.
    const auto symbol_samples = [&](std::int64_t n, std::int64_t a, std::span<Sample> samples) {
      const double first_into = place(a).second;
      if (tables->chirps && samples.size() <= tables->chirps->most) {
        drifting_samples(s, *tables->chirps, made.segments, made.points, first_into, made.work, made.piece, samples);
      } else {
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = summed_sample(s, made.points, place(a + static_cast<std::int64_t>(i)).second, plain);
      }
      if (!windowed_from(first_into)) return;
      symbol_points(s, tables->alphabet, seed, n - 1, made.before);
      for (std::size_t i = 0; i < samples.size() && blend(a, i, samples); ++i) {
      }
    };
    if (advance > 0.0) {
      // Going forward, each symbol's samples are reckoned from its own first sample, so the
      // values do not depend on where a call's range begins; through the chirps, a segment of
      // them is made when first read, and the window blends its samples then.
      for (std::size_t k = 0; k < count; ++k) {
        const std::int64_t a = first + static_cast<std::int64_t>(k);
        LazySymbol& y = made.samples;
        if (a < made.first || a >= made.first + static_cast<std::int64_t>(y.samples.size())) {
          const auto [n, into] = place(a);
          auto begin = a - static_cast<std::int64_t>(std::floor((into + static_cast<double>(s.prefix)) / advance));
          while (place(begin).first < n) ++begin;
          while (place(begin - 1).first == n) --begin;
          auto end = a + 1 + static_cast<std::int64_t>(std::floor((static_cast<double>(s.size) - into) / advance));
          while (end > a + 1 && place(end - 1).first > n) --end;
          while (place(end).first == n) ++end;
          symbol_points(s, tables->alphabet, seed, n, made.points);
          made.first = begin;
          const auto size = static_cast<std::size_t>(end - begin);
          const double first_into = place(begin).second;
          if (tables->chirps && size <= tables->chirps->most) {
            start_symbol(s, *tables->chirps, made.segments, made.points, first_into, size, y);
            made.windowed = 0;
            if (windowed_from(first_into)) {
              symbol_points(s, tables->alphabet, seed, n - 1, made.before);
              while (made.windowed < size && place(begin + static_cast<std::int64_t>(made.windowed)).second + static_cast<double>(s.prefix) <
                                                 static_cast<double>(s.window)) {
                ++made.windowed;
              }
            }
          } else {
            y.pending.clear();
            y.ready_first = y.ready_end = 0;
            y.samples.resize(size);
            symbol_samples(n, begin, y.samples);
          }
        }
        const auto i = static_cast<std::size_t>(a - made.first);
        // (Segments are pending only where the chirps made the symbol.)
        if (!ready(y, i) && !y.pending.empty()) {
          if (const auto j = make_segment_of(s, *tables->chirps, made.segments, made.piece, i, y)) {
            const std::size_t segment = tables->chirps->segment;
            for (std::size_t b = *j * segment; b < std::min(made.windowed, (*j + 1) * segment); ++b) blend(made.first, b, y.samples);
          }
        }
        out[k] = y.samples[i];
      }
      return windowed_power(s, gain, out);
    }
    // Going backwards (a drift of the order of the file's symbols), a symbol's samples run from
    // the call's first to where its prefix begins.
    for (std::size_t k = 0; k < count;) {
      const auto a = first + static_cast<std::int64_t>(k);
      const auto [n, into] = place(a);
      symbol_points(s, tables->alphabet, seed, n, made.points);
      const double left = (-static_cast<double>(s.prefix) - into) / advance;
      std::size_t end = k + 1 + static_cast<std::size_t>(std::clamp(std::floor(left) - 1.0, 0.0, static_cast<double>(count - k - 1)));
      while (end > k + 1 && place(first + static_cast<std::int64_t>(end) - 1).first != n) --end;
      while (end < count && place(first + static_cast<std::int64_t>(end)).first == n) ++end;
      symbol_samples(n, a, std::span(out).subspan(k, end - k));
      k = end;
    }
    return windowed_power(s, gain, out);
  };
}

double symbol_rate(const Waveform& w, std::span<const double> draws, double sample_rate, double) {
  const Shape s = shape_of(w, draws);
  return sample_rate / static_cast<double>(s.size + s.prefix);
}


WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, at_own_rate(w, p), ofdm_signal); }

// The subcarriers' constellation as a name of its own (BPSK, or square QAM with QPSK the
// 4-point one), for its Gray labels.
Waveform subcarrier_waveform(const Shape& s) {
  Waveform sub;
  sub.variant = s.order == 2 ? Route::psk : Route::qam_square;
  sub.order = s.order;
  return sub;
}

// Every OFDM symbol with a sample in `reach`, K records each in subcarrier order: the OFDM
// symbol's number, the instant of its body's first sample (after the prefix), and the
// subcarrier's alphabet index, point and Gray label, from the draw the samples read.
TransmittedSymbols ofdm_symbols(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                const SymbolReach& reach) {
  const Shape s = shape_of(w, p.family_draws);
  const Waveform sub = subcarrier_waveform(s);
  const Signal alphabet = subcarrier_alphabet(s);
  const auto [low, high] = reach_periods(time, reach);
  const double body = static_cast<double>(s.prefix) / static_cast<double>(s.size + s.prefix);
  TransmittedSymbols out{label_bits(s.order), {}};
  for (auto n = static_cast<std::int64_t>(std::floor(low)); n <= static_cast<std::int64_t>(std::floor(high)); ++n) {
    const double instant = instant_of(time, static_cast<double>(n) + body);
    const Symbols symbols = subcarrier_symbols(s, seed, n);
    for (const std::int32_t k : symbols) {
      out.symbols.push_back({n, instant, k, alphabet[static_cast<std::size_t>(k)], symbol_label(sub, k)});
    }
  }
  return out;
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, at_own_rate(w, p), reach, ofdm_symbols);
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
  values[4] = static_cast<double>(s.window);
}

// K spacings and the empty DC subcarrier's, at the smallest N the occupancy range draws, and a
// spacing more on each side: the outer subcarriers' sinc skirts, which an unwindowed symbol
// spreads, leave 99.5 % of the power inside for every K the catalogue has (K = 64 needs 1.5).
FamilyBand band(const Waveform& w, const BandLimits& x) {
  const auto [a, b] = range_ends(x.family_ranges != nullptr ? *x.family_ranges : FamilyRanges{}, ofdm_ranges[occupancy]);
  const double spacing = x.sample_rate / static_cast<double>(fft_size(w.order, std::max(a, b)));
  const double half = (static_cast<double>(w.order) / 2.0 + 1.5) * spacing;
  return {{-half, half}, "{--ofdm-occupancy-max}, {--frequency-offset-min/max}, {--mix-frequency}"};
}

DrawnParameters draws(const Waveform&) { return {.ranges = 0b1111U}; }

}  // namespace

// A crystal's clock error at most (100 ppm): an FFT length of 4096 samples then stretches by under
// half a sample over a symbol, and the labelled sizes stay what the samples show.
constexpr double own_symbol_clock_error = 1e-4;

const SignalFamily ofdm_family{.name = "ofdm", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                               .modulation_index = nullptr, .ranges = ofdm_ranges, .symbol_rate = symbol_rate,
                               .bits_per_symbol = bits_per_symbol, .derived = ofdm_labels, .derive = derive,
                               .symbols = symbols,
                               .clock_error_limit = own_symbol_clock_error};

}  // namespace quorvin
