#pragma once
// The digital signal generator: one modulation name and one file's parameters in, the finished
// impaired signal out.

#include <cstdint>
#include <optional>
#include <string_view>

#include "channel/random.h"
#include "common/signal.h"

namespace quorvin {

// Explicit seeds of one call's symbol and noise engines; an absent one is read from the device.
struct DigitalSeeds {
  std::optional<Seed> symbols;
  std::optional<Seed> noise;
};

// Draws num_symbols random symbols, modulates them as modulation_name says (case-sensitive),
// brings one-point-per-symbol routes to sample_rate, then mixes by mix_frequency (Hz; skipped at
// exactly 0), drifts the timing by timing_error symbol periods, shifts by frequency_offset (Hz)
// and adds noise at snr_db (dB) last. Rates in Baud and Hz. Empty for an unknown name.
// Throws std::invalid_argument for a negative count, a "QAM"/"APSK" name without an order
// ("invalid stoi argument") and OQPSK below 2 samples per symbol; std::out_of_range for an
// order beyond 32 bits ("stoi argument out of range"); std::length_error past the per-file
// ceiling, before anything is allocated.
Signal generate_digital_signal(std::string_view modulation_name, std::int32_t num_symbols,
                               double symbol_rate, double sample_rate, double snr_db,
                               double mix_frequency, double timing_error,
                               double frequency_offset, DigitalSeeds seeds = {});

// The most samples one call with these arguments holds at once (baseband or result); 0 for a
// name that routes nowhere or whose order cannot be parsed. Used to budget memory.
double digital_peak_samples(std::string_view modulation_name, std::int32_t num_symbols,
                            double symbol_rate, double sample_rate);

// Parses a modulation order as std::stoi would: leading white space, an optional sign, then
// base-10 digits up to the first other byte. Throws as generate_digital_signal describes.
std::int32_t parse_modulation_order(std::string_view text);

}  // namespace quorvin
