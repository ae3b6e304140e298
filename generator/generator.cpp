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
#include "modulation/catalogue.h"
#include "modulation/constellation.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

struct ApskRings {
  std::vector<std::int32_t> counts;
  std::vector<double> radii;
};

// The fixed ring sets, innermost ring first; other orders have none.
ApskRings apsk_rings(std::int32_t order) {
  switch (order) {
    case 16: return {{4, 12}, {0.5, 1.5}};
    case 32: return {{4, 12, 16}, {0.3, 0.7, 1.2}};
    case 64: return {{8, 12, 20, 24}, {0.8, 1.2, 2.0, 2.5}};
    default: return {};
  }
}

struct DigitalRoute {
  Route modulator;
  std::int32_t alphabet;  // M; 0 when the route can give no samples
  ApskRings rings;
};

std::int32_t sum_of(const std::vector<std::int32_t>& counts) {
  std::int32_t total = 0;
  for (const std::int32_t count : counts) total += count;
  return total;
}

bool is_perfect_square(std::int32_t order) {
  if (order <= 0) return false;
  const auto side = static_cast<std::int32_t>(std::sqrt(static_cast<double>(order)));
  return side * side == order;
}

DigitalRoute apsk_route(std::int32_t order) {
  ApskRings rings = apsk_rings(order);
  const std::int32_t alphabet = sum_of(rings.counts);
  return DigitalRoute{Route::apsk, alphabet, std::move(rings)};
}

// The catalogue's digital names first, then the "QAM" and "APSK" prefixes with the order read
// from the rest of the name.
std::optional<DigitalRoute> find_route(std::string_view name) {
  if (const ModulationRow* row = find_modulation(name); row != nullptr && row->family == Family::digital) {
    return row->route == Route::apsk ? apsk_route(row->alphabet) : DigitalRoute{row->route, row->alphabet, {}};
  }
  if (name.substr(0, 3) == "QAM") {
    const std::int32_t order = parse_modulation_order(name.substr(3));
    return DigitalRoute{Route::qam_square, is_perfect_square(order) ? order : 0, {}};
  }
  if (name.substr(0, 4) == "APSK") return apsk_route(parse_modulation_order(name.substr(4)));
  return std::nullopt;
}

bool holds_one_value_per_symbol(Route modulator) {
  switch (modulator) {
    case Route::psk:
    case Route::qam32:
    case Route::qam128:
    case Route::qam_square:
    case Route::apsk: return true;
    default: return false;
  }
}

// The most samples the route holds at once (its baseband or its result), worked out in floating
// point so that absurd counts and rates are caught rather than overflowing.
double peak_samples(const DigitalRoute& route, std::int32_t num_symbols, double symbol_rate,
                    double sample_rate) {
  const double n = num_symbols;
  if (num_symbols == 0 || route.alphabet == 0) return 0.0;
  const double samples_per_symbol = sample_rate / symbol_rate;
  const double whole = whole_samples_per_symbol(samples_per_symbol);
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
  }
  return {};
}

}  // namespace

std::int32_t parse_modulation_order(std::string_view text) {
  const IntegerPrefix order = read_integer_prefix(text);
  if (order.length == 0) throw std::invalid_argument("invalid stoi argument");
  if (order.out_of_range) throw std::out_of_range("stoi argument out of range");
  return order.value;
}

double digital_peak_samples(std::string_view modulation_name, std::int32_t num_symbols,
                            double symbol_rate, double sample_rate) {
  try {
    const std::optional<DigitalRoute> route = find_route(modulation_name);
    if (!route || num_symbols < 0) return 0.0;
    return peak_samples(*route, num_symbols, symbol_rate, sample_rate);
  } catch (const std::exception&) {
    return 0.0;  // the call itself fails at once, holding nothing
  }
}

Signal generate_digital_signal(std::string_view modulation_name, const DigitalParameters& p) {
  const auto [num_symbols, symbol_rate, sample_rate, snr_db, mix_frequency, timing_error, frequency_offset, seeds] = p;
  if (num_symbols < 0) throw std::invalid_argument("num_symbols must not be negative.");
  const std::optional<DigitalRoute> route = find_route(modulation_name);
  if (!route) return {};
  const double peak = peak_samples(*route, num_symbols, symbol_rate, sample_rate);
  require_sample_count(peak);
  if (peak == 0.0) return {};  // nothing to draw, modulate or impair

  const Symbols symbols = draw_symbols(num_symbols, route->alphabet, seeds.symbols);
  Signal working = modulate(*route, symbols, symbol_rate, sample_rate);
  if (holds_one_value_per_symbol(route->modulator)) {
    working = resample_to_sample_rate(std::move(working), symbol_rate, sample_rate);
  }
  // Exactly 0.0 (or -0.0) means no mixing; NaN is not 0.0 and mixes.
  if (!(mix_frequency == 0.0)) working = frequency_shift(std::move(working), sample_rate, mix_frequency);
  working = apply_timing_error(std::move(working), timing_error, symbol_rate, sample_rate);
  working = apply_frequency_offset(std::move(working), sample_rate, frequency_offset);
  return add_awgn(std::move(working), snr_db, seeds.noise);
}

}  // namespace quorvin
