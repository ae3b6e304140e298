// The chirp family: linear frequency sweeps. LFM-radar gates one sweep into the start of each
// pulse repetition interval; LFM-data sweeps up for a 1 and down for a 0 in each symbol; CSS sweeps
// up through its bandwidth once per symbol, starting at the symbol's value (the base up-chirp
// cyclically shifted). Every phase is closed form at the time base's instants, so a drifting clock
// and a fractional start are exact.

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "generator/family.h"
#include "generator/symbols.h"
#include "generator/time_base.h"
#include "modulation/fft.h"

namespace quorvin {
namespace {

constexpr std::string_view directions[] = {"down", "up"};

// Every name's bandwidth is one declaration, so they share its options.
constexpr FamilyRange chirp_ranges[] = {
    {.key = "chirp_bandwidth", .label = "Chirp Bandwidth", .unit = " x sample rate", .help = "sweep bandwidth, fraction of the sample rate",
     .defaults = {0.25, 0.75}, .low = 0.0, .high = 1.0, .open_low = true},
    {.key = "spreading_factor", .label = "Spreading Factor", .unit = "", .help = "CSS spreading factor (2^SF chips a symbol)",
     .defaults = {7.0, 12.0}, .low = 5.0, .high = 12.0, .whole = true},
    {.key = "pulse_width", .label = "Pulse Width", .unit = " samples", .help = "radar pulse width, samples",
     .defaults = {16.0, 128.0}, .low = 2.0, .high = 1048576.0, .whole = true},
    {.key = "duty_cycle", .label = "Duty Cycle", .unit = "", .help = "radar duty cycle (pulse width over repetition interval)",
     .defaults = {0.1, 0.5}, .low = 0.0, .high = 1.0, .open_low = true},
    {.key = "sweep_direction", .label = "Sweep Direction", .unit = "", .help = "radar sweep direction",
     .defaults = {0.0, 1.0}, .low = 0.0, .high = 1.0, .whole = true, .choices = directions},
};
enum Draw : std::size_t { bandwidth, spreading_factor, pulse_width, duty_cycle, sweep_direction };

double draw(std::span<const double> draws, Draw i) { return i < draws.size() ? draws[i] : 0.0; }

// The radar's repetition interval, whole samples: the pulse over its duty cycle.
double repetition_interval(std::span<const double> draws) {
  return std::max(draw(draws, pulse_width), std::round(draw(draws, pulse_width) / draw(draws, duty_cycle)));
}

double chips(std::span<const double> draws) { return std::ldexp(1.0, static_cast<int>(draw(draws, spreading_factor))); }

// The phase of a sweep from -B/2 to +B/2 over one unit of x, in turns over the time-bandwidth
// product: integral of (x - 1/2); zero at both ends, so consecutive sweeps join without a jump.
double sweep(double x) { return 0.5 * x * (x - 1.0); }

// A time base's instant split into its period's number and the position within it, periods of
// `length` samples: an instant within a millionth of a sample of a boundary is on it.
struct Cycle {
  std::int64_t number;
  double samples;  // into the period
};
Cycle cycle_of(double u, double length) {
  auto n = static_cast<std::int64_t>(std::floor(u));
  double q = (u - static_cast<double>(n)) * length;
  if (length - q < 1e-6) {
    ++n;
    q = 0.0;
  }
  return {n, std::max(q, 0.0)};
}

WaveformRange chirp_signal(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const std::span<const double> draws = p.family_draws;
  const double samples_per_symbol = p.sample_rate / p.symbol_rate;
  // The sweep's time-bandwidth product over one symbol (or one pulse).
  const double fraction = draw(draws, bandwidth);
  const Route route = w.variant;
  const std::int32_t alphabet = route == Route::css ? static_cast<std::int32_t>(chips(draws)) : w.order;
  const auto run = std::make_shared<const SymbolRun>(draw_symbol_run(time.earliest(), time.latest(), alphabet, seed));
  const double width = draw(draws, pulse_width);
  const double gain = route == Route::lfm_radar ? std::sqrt(samples_per_symbol / width) : 1.0;
  const double turn = draw(draws, sweep_direction) >= 0.5 ? 2.0 * pi : -2.0 * pi;
  // Symbol periods per sample: the instants are a line through the file.
  const double slope = time.step + time.drift / time.length;
  return [=](std::int64_t first, std::size_t count) {
    Signal out(count);
    // Within one sweep the phase is scale (sweep(y) - base) with y a line in the sample index, so
    // the phasor moves on by a product whose own step is constant. A run starts from its own angle
    // at each sweep's first sample and at every multiple of run_length, so rounding does not
    // accumulate, and a call starts at the multiple before its first sample (or the range's
    // first), so its values do not depend on where it begins.
    constexpr std::int64_t run_length = 32;
    const std::int64_t from = std::max(time.first, first - ((first % run_length) + run_length) % run_length);
    std::int64_t sweep_of = std::numeric_limits<std::int64_t>::min();  // the sweep of sample a - 1
    Sample last;  // sample a - 1 (zero off a pulse)
    Sample step;
    Sample step_step;
    for (std::int64_t a = from; a < first + static_cast<std::int64_t>(count); ++a) {
      const Cycle c = cycle_of(time.at(a), samples_per_symbol);
      const std::int32_t s = run->symbols[static_cast<std::size_t>(c.number - run->first)];
      const double v = c.samples / samples_per_symbol;
      double y = v, scale = 0.0, base = 0.0, rate = slope, amplitude = 1.0;
      std::int64_t key = 2 * c.number;
      switch (route) {
        case Route::lfm_radar:
          y = c.samples / width;
          scale = turn * fraction * width;
          rate = slope * samples_per_symbol / width;
          amplitude = gain;
          if (c.samples >= width - 1e-6) key = std::numeric_limits<std::int64_t>::min();
          break;
        case Route::lfm_data: scale = (s == 1 ? 2.0 : -2.0) * pi * fraction * samples_per_symbol; break;
        default: {
          const double start = static_cast<double>(s) / alphabet;
          const double shifted = v + start;
          const double wrapped = std::floor(shifted);
          y = shifted - wrapped;
          scale = 2.0 * pi * alphabet;
          base = sweep(start);
          key += wrapped > 0.0 ? 1 : 0;
        }
      }
      if (key == std::numeric_limits<std::int64_t>::min()) {
        last = Sample{};
      } else if (key == sweep_of && a % run_length != 0) {
        last *= step;
        step *= step_step;
      } else {
        last = amplitude * unit_phasor(scale * (sweep(y) - base));
        step = unit_phasor(0.5 * scale * rate * (2.0 * y - 1.0 + rate));
        step_step = unit_phasor(scale * rate * rate);
      }
      sweep_of = key;
      if (a >= first) out[static_cast<std::size_t>(a - first)] = last;
    }
    return out;
  };
}

double symbol_rate(const Waveform& w, std::span<const double> draws, double sample_rate, double drawn) {
  switch (w.variant) {
    case Route::lfm_radar: return sample_rate / repetition_interval(draws);
    case Route::css: return draw(draws, bandwidth) * sample_rate / chips(draws);
    default: return drawn;
  }
}


WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, at_own_rate(w, p), chirp_signal); }

// The symbols whose sweep covers an instant of `reach`, each centred on its period (u = n + 1/2),
// from the run the samples read. CSS: the value is the sweep's starting frequency s - M/2 in
// symbol rates, the bits the Gray code of s over SF bits; LFM-data: the value is the sweep's
// direction (+1 up for a 1, -1 down for a 0), the bit s itself.
TransmittedSymbols chirp_symbols(const Waveform& w, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                 const SymbolReach& reach) {
  const double samples_per_symbol = p.sample_rate / p.symbol_rate;
  const auto [low, high] = reach_periods(time, reach);
  const SymbolSource source{cycle_of(low, samples_per_symbol).number, cycle_of(high, samples_per_symbol).number, 0.5};
  const bool css = w.variant == Route::css;
  const std::int32_t alphabet = css ? static_cast<std::int32_t>(chips(p.family_draws)) : w.order;
  const SymbolRun run = draw_symbol_run(static_cast<double>(source.first), static_cast<double>(source.last), alphabet, seed);
  TransmittedSymbols out = collect_symbols(w, time, run, source, [&](std::size_t, std::int32_t s) {
    return Sample(css ? s - alphabet / 2.0 : s == 1 ? 1.0 : -1.0, 0.0);
  });
  out.bits_per_symbol = label_bits(alphabet);
  return out;
}

// A radar's pulses carry nothing: no symbols.
TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  if (w.variant == Route::lfm_radar) return {};
  return digital_symbols(w, at_own_rate(w, p), reach, chirp_symbols);
}

double bits_per_symbol(const Waveform& w, std::span<const double> draws) {
  return w.variant == Route::css ? draw(draws, spreading_factor) : w.variant == Route::lfm_data ? 1.0 : 0.0;
}

// The share of a signal's power its band holds: the occupied bandwidth's 99 %, with room for
// the bursts' ramps and a clock's stretch in a scene.
constexpr double held_power = 0.995;

// The half width, Hz, about its centre that holds `held_power` of one radar pulse of `width`
// samples sweeping `fraction` of the sample rate: the gating spreads a short pulse over several
// times 1 / width (from under 2 to over 7, with the time-bandwidth product), so its spectrum is
// taken rather than guessed. A pulse train's lines lie under that one pulse's spectrum, and a
// shift of the sampled signal moves its spectrum circularly, so the share holds at any centre.
double radar_half_band(double fraction, double width, double sample_rate) {
  const auto samples = static_cast<std::size_t>(std::max(1.0, width));
  const std::size_t n = std::bit_ceil(std::max<std::size_t>(4096, 4 * samples));
  Signal x(n);
  for (std::size_t k = 0; k < samples; ++k) {
    x[k] = unit_phasor(2.0 * pi * fraction * width * sweep(static_cast<double>(k) / width));
  }
  return held_half_band(x, held_power) * sample_rate;
}

// The sweep's bandwidth, widened where its sweeps start and stop: by the radar's gating, the
// data's symbol rate (the sweeps' phase is continuous but their frequency jumps between symbols)
// and CSS's cyclic wrap within each symbol. Measured over the default ranges, LFM-data holds 99 %
// of its power within 1.5 symbol rates of the sweep and 99.5 % within 3, so 2 are taken; CSS holds
// 99.5 % within 7 of its own symbol rates.
FamilyBand band(const Waveform& w, const BandLimits& x) {
  const FamilyRanges given = x.family_ranges != nullptr ? *x.family_ranges : FamilyRanges{};
  const auto ends = [&](Draw i) { return range_ends(given, chirp_ranges[i]); };
  const auto [fewest, most] = ends(bandwidth);
  const double widest = std::max(fewest, most);
  std::string options = "{--chirp-bandwidth-max}, {--frequency-offset-min/max}, {--mix-frequency}";
  double half = widest * x.sample_rate / 2.0;
  if (w.variant == Route::lfm_radar) {
    // The shortest pulse spreads most; the corners of the two ranges bound the rest.
    half = 0.0;
    for (const double width : ends(pulse_width)) {
      for (const double fraction : {fewest, most}) half = std::max(half, radar_half_band(fraction, width, x.sample_rate));
    }
    options += ", {--pulse-width-min}";
  } else if (w.variant == Route::lfm_data) {
    half += 2.0 * x.symbol_rate;
    options += ", {--symbol-rate-max}";
  } else {
    const auto [a, b] = ends(spreading_factor);
    half += 7.0 * widest * x.sample_rate / std::ldexp(1.0, static_cast<int>(std::min(a, b)));
    options += ", {--spreading-factor-min}";
  }
  return {{-half, half}, options};
}

DrawnParameters draws(const Waveform& w) {
  constexpr auto bit = [](Draw i) { return 1U << i; };
  switch (w.variant) {
    case Route::lfm_radar: return {.ranges = bit(bandwidth) | bit(pulse_width) | bit(duty_cycle) | bit(sweep_direction)};
    case Route::css: return {.ranges = bit(bandwidth) | bit(spreading_factor)};
    default: return {.ranges = bit(bandwidth)};
  }
}

}  // namespace

// A crystal's clock error at most (100 ppm): an FFT length of 4096 samples then stretches by under
// half a sample over a symbol, and the labelled sizes stay what the samples show.
constexpr double own_symbol_clock_error = 1e-4;

const SignalFamily chirp_family{.name = "chirp", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                                .modulation_index = nullptr, .ranges = chirp_ranges, .symbol_rate = symbol_rate,
                                .bits_per_symbol = bits_per_symbol, .symbols = symbols,
                                .clock_error_limit = own_symbol_clock_error};

}  // namespace quorvin
