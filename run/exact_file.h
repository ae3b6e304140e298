#pragma once
// One exact-model file through the whole chain: waveform, then the channel in a real
// transmitter's and receiver's order.

#include "common/signal.h"
#include "run/plan.h"
#include "run/settings.h"

namespace quorvin {

// The finished samples of `file` (exact_file_samples long): amplifier, fading, carrier offset
// (mixing, frequency offset and the clock's share of the RF carrier), carrier phase and phase
// noise, sample clock, white noise at the file's SNR (measured over the file after every stage
// before it), IQ imbalance and DC offset, quantisation. Stages the file did not draw are skipped.
// Throws what the generator throws.
Signal synthesize_exact_file(const RunSettings& settings, const PlannedFile& file);

// The tap gains of the file's fading channel at its first sample; empty without fading.
std::vector<Sample> exact_fading_taps(const RunSettings& settings, const PlannedFile& file);

}  // namespace quorvin
