#include "generator/time_base.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "common/limits.h"
#include "common/splitmix.h"

namespace quorvin {
namespace {

// Symbol n of a file (n may be negative): output n + 1 of SplitMix64 seeded with `seed`, read by
// its number, so any stretch of a long file's symbols is drawn without those before it.
std::int32_t symbol_at(std::uint64_t seed, std::int64_t n, std::int32_t alphabet) {
  const std::uint64_t bits = splitmix64(seed + static_cast<std::uint64_t>(n) * 0x9E3779B97F4A7C15ull);
  const double uniform = static_cast<double>(bits >> 11) * 0x1.0p-53;
  return std::min(alphabet - 1, static_cast<std::int32_t>(uniform * alphabet));
}

// The symbols from floor(earliest) - 1 to about ceil(latest) + 1: every symbol whose pulse
// reaches a sample between the two instants.
struct SymbolSpan {
  std::int64_t first;
  std::size_t count;
};

SymbolSpan symbol_span(double earliest, double latest) {
  const auto first = static_cast<std::int64_t>(std::floor(earliest)) - 1;
  const double count = std::ceil(latest) + 2.0 - static_cast<double>(first);
  return {first, require_sample_count(count)};
}

}  // namespace

SymbolRun draw_symbol_run(double earliest, double latest, std::int32_t alphabet, std::uint64_t seed) {
  const SymbolSpan span = symbol_span(earliest, latest);
  SymbolRun run{span.first, Symbols(span.count)};
  for (std::size_t i = 0; i < span.count; ++i) run.symbols[i] = symbol_at(seed, span.first + static_cast<std::int64_t>(i), alphabet);
  return run;
}

void require_rate(double rate, const char* what) {
  if (!(rate > 0.0) || !std::isfinite(rate)) {
    throw std::invalid_argument(std::string(what) + " must be positive and finite.");
  }
}

std::size_t require_length(std::int64_t num_samples) {
  if (num_samples < 0) throw std::invalid_argument("the number of samples must not be negative.");
  return require_sample_count(static_cast<double>(num_samples));
}

WaveformRange prepare_digital(const Waveform& w, const WaveformParameters& p, DigitalSignal signal) {
  const auto nothing = [](std::int64_t, std::size_t) { return Signal{}; };
  if (w.order <= 0) return nothing;
  const std::size_t length = require_length(p.num_samples);
  require_rate(p.symbol_rate, "the symbol rate");
  require_rate(p.sample_rate, "the sample rate");
  if (length == 0) return nothing;
  const std::uint64_t seed = p.symbol_seed ? *p.symbol_seed : device_seed();
  return signal(w, p, seed, digital_time_base(p, length));
}

TimeBase digital_time_base(const WaveformParameters& p, std::size_t length) {
  const std::size_t count = require_sample_count(static_cast<double>(length) + static_cast<double>(p.pad_before) + static_cast<double>(p.pad_after));
  return {p.start_offset, p.symbol_rate / p.sample_rate, p.timing_error, static_cast<double>(length),
          -static_cast<std::int64_t>(p.pad_before), count};
}

}  // namespace quorvin
