#include "generator/symbols.h"

#include <bit>
#include <cmath>

namespace quorvin {
namespace {

std::uint64_t gray(std::uint64_t s) { return s ^ (s >> 1); }

}  // namespace

std::int32_t label_bits(std::int32_t order) {
  if (order < 2) return 0;
  return static_cast<std::int32_t>(std::bit_width(static_cast<std::uint32_t>(order - 1)));
}

std::uint64_t symbol_label(const Waveform& w, std::int32_t s) {
  const auto u = static_cast<std::uint64_t>(s);
  switch (w.variant) {
    case Route::qam_square: {
      // Index s = column + L row; columns run along I, rows along Q.
      const std::int32_t half = label_bits(w.order) / 2;
      const std::uint64_t side = std::uint64_t{1} << half;
      return (gray(u % side) << half) | gray(u / side);
    }
    case Route::ook:
    case Route::qam32:
    case Route::qam128:
    case Route::qam_cross:
    case Route::apsk: return u;
    default: return gray(u);
  }
}

double instant_of(const TimeBase& time, double u) { return (u - time.u0) / periods_per_sample(time); }

std::pair<double, double> reach_periods(const TimeBase& time, const SymbolReach& reach) {
  const double per_sample = periods_per_sample(time);
  const double a = time.u0 + reach.first * per_sample;
  const double b = time.u0 + reach.last * per_sample;
  return {std::min(a, b), std::max(a, b)};
}

TransmittedSymbols digital_symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach,
                                   DigitalSymbols symbols) {
  if (w.order <= 0 || !p.symbol_seed) return {};
  const std::size_t length = require_length(p.num_samples);
  require_rate(p.symbol_rate, "the symbol rate");
  require_rate(p.sample_rate, "the sample rate");
  if (length == 0) return {label_bits(w.order), {}};
  return symbols(w, p, *p.symbol_seed, digital_time_base(p, length), reach);
}

TransmittedSymbols transmitted_symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  if (w.fault) std::rethrow_exception(w.fault);
  if (w.family == nullptr || w.family->symbols == nullptr) return {};
  return w.family->symbols(w, p, reach);
}

}  // namespace quorvin
