#pragma once
// A digital file's time base and its random symbols, shared by the digital families.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/signal.h"
#include "generator/family.h"

namespace quorvin {

// The instants of a file's samples in symbol periods: sample k at u0 + k * step + k / L * drift.
// Samples first .. first + count - 1 are made (the file's own are 0 .. L - 1; the others are
// margins for later stages).
struct TimeBase {
  double u0;
  double step;   // symbol periods per sample, Rs / fs
  double drift;  // the timing error spread over the file
  double length;
  std::int64_t first;
  std::size_t count;

  double at(std::int64_t k) const {
    const double kk = static_cast<double>(k);
    // Without drift the division is skipped: adding its zero would change nothing.
    return drift == 0.0 ? u0 + kk * step : u0 + kk * step + kk / length * drift;
  }
  double sample(std::size_t j) const { return at(first + static_cast<std::int64_t>(j)); }
  double earliest() const { return std::min(sample(0), sample(count - 1)); }
  double latest() const { return std::max(sample(0), sample(count - 1)); }
};

// Symbols first .. first + count - 1 from one engine, in time order.
struct SymbolRun {
  std::int64_t first;
  Symbols symbols;
};

// The symbols from floor(earliest) - 1 to about ceil(latest) + 1 (symbol periods): every symbol
// whose pulse reaches a sample between the two instants. Symbol n is output n + 1 of SplitMix64
// seeded with `seed`, so any stretch of a long file's symbols is drawn without those before it.
SymbolRun draw_symbol_run(double earliest, double latest, std::int32_t alphabet, std::uint64_t seed);

// Checks a rate and a length, as every family's prepare does first: std::invalid_argument for a
// rate that is not positive and finite ("<what> must be positive and finite.") or a negative
// length; std::length_error past the per-file ceiling. The length as a count.
void require_rate(double rate, const char* what);
std::size_t require_length(std::int64_t num_samples);

// A digital family's ranges: the checks and the time base every digital name shares, then
// `signal` over them; empty ranges for a name without symbols or a file without samples.
using DigitalSignal = WaveformRange (*)(const Waveform&, const WaveformParameters&, std::uint64_t symbol_seed,
                                        const TimeBase&);
WaveformRange prepare_digital(const Waveform& w, const WaveformParameters& p, DigitalSignal signal);

// The time base of a file of `length` samples (at least 1) with p's pads: the one its samples
// and its symbols' instants are reckoned on.
TimeBase digital_time_base(const WaveformParameters& p, std::size_t length);

}  // namespace quorvin
