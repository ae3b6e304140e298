#pragma once
// The digital signal generator: one modulation name and one file's parameters in, the finished
// impaired signal out.

#include <cstdint>
#include <optional>
#include <string_view>

#include "channel/random.h"
#include "common/signal.h"
#include "generator/route.h"

namespace quorvin {

// Explicit seeds of one call's symbol and noise engines; an absent one is read from the device.
struct DigitalSeeds {
  std::optional<Seed> symbols;
  std::optional<Seed> noise;
};

// One digital file's parameters: rates in Baud and Hz, SNR in dB, offsets in Hz, the timing
// error in symbol periods.
struct DigitalParameters {
  std::int32_t num_symbols = 0;
  double symbol_rate = 0.0;
  double sample_rate = 0.0;
  double snr_db = 0.0;
  double mix_frequency = 0.0;
  double timing_error = 0.0;
  double frequency_offset = 0.0;
  DigitalSeeds seeds;
};

// Draws num_symbols random symbols, modulates them as modulation_name says (case-sensitive),
// brings one-point-per-symbol routes to sample_rate, then mixes by mix_frequency (skipped at
// exactly 0), drifts the timing by timing_error, shifts by frequency_offset and adds noise at
// snr_db last. Empty for an unknown name.
// Throws std::invalid_argument for a negative count, a "QAM"/"APSK" name without an order
// ("invalid stoi argument") and OQPSK below 2 samples per symbol; std::out_of_range for an
// order beyond 32 bits ("stoi argument out of range"); std::length_error past the per-file
// ceiling, before anything is allocated.
Signal generate_digital_signal(std::string_view modulation_name, const DigitalParameters& p);

// The most samples one call with these arguments holds at once (baseband or result); 0 for a
// name that routes nowhere or whose order cannot be parsed. Used to budget memory.
double digital_peak_samples(std::string_view modulation_name, std::int32_t num_symbols,
                            double symbol_rate, double sample_rate);

// What a classic digital file realises, which its drawn symbol rate does not always say: the
// symbol rate of its samples (Baud), the samples per symbol they use, and the symbol periods
// the file spans. All zero for a name that routes nowhere or gives no samples.
struct RealisedTiming {
  double symbol_rate = 0.0;
  double samples_per_symbol = 0.0;
  double symbols_spanned = 0.0;
};
RealisedTiming classic_realised_timing(std::string_view modulation_name, std::int32_t num_symbols,
                                       double symbol_rate, double sample_rate);

}  // namespace quorvin
