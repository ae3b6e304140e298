#include "generator/generator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "channel/noise.h"
#include "channel/timing.h"
#include "common/limits.h"
#include "common/parse.h"
#include "generator/fsk.h"
#include "generator/route.h"
#include "modulation/catalogue.h"
#include "modulation/constellation.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

// The most samples the route holds at once (its baseband or its result), worked out in floating
// point so that absurd counts and rates are caught rather than overflowing.
double peak_samples(const DigitalRoute& route, std::int32_t num_symbols, double symbol_rate,
                    double sample_rate) {
  const double n = num_symbols;
  if (num_symbols == 0 || route.alphabet == 0) return 0.0;
  const double samples_per_symbol = sample_rate / symbol_rate;
  // Whole samples per symbol as the modulators take them, but not capped at 2^32 - 1 as theirs
  // are: the count in a refusal is then the true one (about 1e300 at a sample rate of 1e300).
  const double whole = samples_per_symbol >= 1.0 ? std::floor(samples_per_symbol) : 0.0;
  switch (route.modulator) {
    case Route::pi4_dqpsk: return n;
    case Route::fsk:
    case Route::msk:
    case Route::gmsk: return n * whole;
    case Route::oqpsk: return (n - 1.0) * whole + 1.0;
    default: break;
  }
  if (symbol_rate <= 0.0 || sample_rate <= 0.0 || symbol_rate == sample_rate) return n;
  const double resampled = std::round(n * samples_per_symbol);
  return std::isnan(resampled) ? resampled : std::max(n, resampled);
}

Symbols draw_symbols(std::int32_t num_symbols, std::int32_t alphabet, std::optional<Seed> seed) {
  std::mt19937 engine = make_engine(seed);
  std::uniform_int_distribution<std::int32_t> symbol(0, alphabet - 1);
  Symbols symbols(static_cast<std::size_t>(num_symbols));
  for (std::int32_t& s : symbols) s = symbol(engine);
  return symbols;
}

Signal modulate(const DigitalRoute& route, const Symbols& symbols, double symbol_rate,
                double sample_rate) {
  const double samples_per_symbol = sample_rate / symbol_rate;
  switch (route.modulator) {
    case Route::psk: return psk_map(symbols, route.alphabet);
    case Route::oqpsk: return oqpsk_modulate(symbols, samples_per_symbol);
    case Route::pi4_dqpsk: return pi4_dqpsk_map(symbols, pi * 0.25);
    case Route::fsk: return fsk_modulate(symbols, route.alphabet, symbol_rate, sample_rate);
    case Route::msk: return msk_modulate(symbols, samples_per_symbol);
    case Route::gmsk: return gmsk_modulate(symbols, samples_per_symbol);
    case Route::qam32: return qam32_map(symbols);
    case Route::qam128: return qam128_map(symbols);
    case Route::qam_square: return qam_square_map(symbols, route.alphabet);
    case Route::apsk: return apsk_map(symbols, route.rings.counts, route.rings.radii);
    case Route::am:
    case Route::am_ssb:
    case Route::fm:
    case Route::cw: break;  // the run's own analog path, never routed here
    case Route::ook:
    case Route::ask:
    case Route::qam_cross:
    case Route::gfsk:
    case Route::am_dsb_sc:
    case Route::am_lsb:
    case Route::am_usb:
    case Route::noise:
    case Route::ofdm:
    case Route::lfm_radar:
    case Route::lfm_data:
    case Route::css:
    case Route::adsb:
    case Route::pocsag:
    case Route::ais:
    case Route::aprs:
    case Route::ble:
    case Route::wifi: break;  // the exact model's alone: the classic model refuses their names
  }
  return {};
}

}  // namespace

double digital_peak_samples(std::string_view modulation_name, std::int32_t num_symbols,
                            double symbol_rate, double sample_rate) {
  try {
    const std::optional<DigitalRoute> route = find_digital_route(modulation_name);
    if (!route || num_symbols < 0) return 0.0;
    return peak_samples(*route, num_symbols, symbol_rate, sample_rate);
  } catch (const std::exception&) {
    return 0.0;  // the call itself fails at once, holding nothing
  }
}

RealisedTiming classic_realised_timing(std::string_view modulation_name, std::int32_t num_symbols,
                                       double symbol_rate, double sample_rate) {
  try {
    const std::optional<DigitalRoute> route = find_digital_route(modulation_name);
    if (!route || route->alphabet == 0 || num_symbols <= 0) return {};
    const double n = num_symbols;
    const double ratio = sample_rate / symbol_rate;
    const double whole = whole_samples_per_symbol(ratio);
    switch (route->modulator) {
      // One sample per symbol, never resampled: the symbols go at the sample rate.
      case Route::pi4_dqpsk: return {sample_rate, 1.0, n};
      // Whole samples per symbol, the fraction dropped.
      case Route::fsk:
      case Route::msk:
      case Route::gmsk: return {sample_rate / whole, whole, n};
      // The right rate, but the last symbol's samples cut short.
      case Route::oqpsk: return {symbol_rate, ratio, ((n - 1.0) * whole + 1.0) / ratio};
      default: break;
    }
    if (!(symbol_rate > 0.0) || !(sample_rate > 0.0) || symbol_rate == sample_rate) return {sample_rate, 1.0, n};
    return {symbol_rate, ratio, std::round(n * ratio) / ratio};
  } catch (const std::exception&) {
    return {};
  }
}

Signal generate_digital_signal(std::string_view modulation_name, const DigitalParameters& p) {
  const auto [num_symbols, symbol_rate, sample_rate, snr_db, mix_frequency, timing_error, frequency_offset, seeds] = p;
  if (num_symbols < 0) throw std::invalid_argument("num_symbols must not be negative.");
  const std::optional<DigitalRoute> route = find_digital_route(modulation_name);
  if (!route) return {};
  const double peak = peak_samples(*route, num_symbols, symbol_rate, sample_rate);
  require_sample_count(peak);
  if (peak == 0.0) return {};  // nothing to draw, modulate or impair

  const Symbols symbols = draw_symbols(num_symbols, route->alphabet, seeds.symbols);
  Signal working = modulate(*route, symbols, symbol_rate, sample_rate);
  if (maps_one_point_per_symbol(route->modulator)) {
    working = resample_to_sample_rate(std::move(working), symbol_rate, sample_rate);
  }
  // Exactly 0.0 (or -0.0) means no mixing; NaN is not 0.0 and mixes.
  if (!(mix_frequency == 0.0)) working = frequency_shift(std::move(working), sample_rate, mix_frequency);
  working = apply_timing_error(std::move(working), timing_error, symbol_rate, sample_rate);
  working = apply_frequency_offset(std::move(working), sample_rate, frequency_offset);
  return add_awgn(std::move(working), snr_db, seeds.noise);
}

}  // namespace quorvin
