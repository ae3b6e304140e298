#pragma once
// M-FSK tone synthesis at the sample rate.

#include <cstdint>

#include "common/signal.h"

namespace quorvin {

// Each symbol s becomes S = trunc(sample_rate / symbol_rate) samples of the unit tone at
// (s - (M - 1) / 2) * symbol_rate Hz, its phase restarting at zero. N * S samples; throws
// std::length_error when that exceeds the per-file ceiling.
Signal fsk_modulate(const Symbols& symbols, std::int32_t modulation_order, double symbol_rate,
                    double sample_rate);

}  // namespace quorvin
