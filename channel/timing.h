#pragma once
// Time-axis operations of the digital chain, by linear interpolation.

#include "common/signal.h"

namespace quorvin {

// One value per symbol brought to the sample rate: round(N * sample_rate / symbol_rate) samples
// (halves away from zero), sample j the straight line between symbols at j * symbol_rate /
// sample_rate. Unchanged when empty, a rate is not positive, or the rates are equal; the input
// is then handed back without a copy, so pass it with std::move when it is no longer needed.
// Throws std::length_error when the result would exceed the per-file ceiling.
Signal resample_to_sample_rate(Signal signal, double symbol_rate, double sample_rate);

// A sampling clock that drifts linearly to timing_error symbol periods (1 / symbol_rate s each)
// over the signal: sample i is read at i / sample_rate + (i / N) * timing_error / symbol_rate.
// Same length as the input; unchanged when timing_error is exactly 0.0 or the signal is empty.
Signal apply_timing_error(Signal signal, double timing_error, double symbol_rate,
                          double sample_rate);

}  // namespace quorvin
