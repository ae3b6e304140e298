#pragma once
// One exact-model file through the whole chain: waveform, then the channel in a real
// transmitter's and receiver's order.

#include <cstddef>
#include <cstdint>

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

// Samples per block of a streamed file: a multiple of the carrier offset's 256-sample refresh.
inline constexpr std::size_t exact_block_samples = 4096;

// The samples of synthesize_exact_file as a stream of blocks of at most exact_block_samples. A
// file with no impairment but its carrier offset and noise is made block by block as it is
// emitted, in memory independent of its length (the noise's level needs the power over the whole
// file, so a long file's waveform is made twice: once for the power, once for the samples);
// other files are made whole here. Throws what synthesize_exact_file throws.
SampleStream prepare_exact_file(const RunSettings& settings, const PlannedFile& file);

// The most samples making `file` holds at once: a streamed file's first pass (when short enough
// to keep) and a block, or the whole file where its stages need it whole.
double exact_held_samples(const RunSettings& settings, const PlannedFile& file);

// Samples the fading's delays (`fading`) and the sample clock's drift (`clock_ppm`) read before and
// after a file of `length` samples.
struct StageMargins {
  std::size_t before = 0;
  std::size_t after = 0;
};
StageMargins stage_margins(const ImpairmentSettings& impairments, bool fading, double clock_ppm, std::size_t length);

// The longest --samples-per-file whose files stay within max_samples_per_file with the margins
// of these settings' stages at the ends of their ranges (the limit itself without such a stage).
std::int64_t longest_framed_file(const ImpairmentSettings& impairments);

// The tap gains of the file's fading channel at its first sample; empty without fading.
std::vector<Sample> exact_fading_taps(const RunSettings& settings, const PlannedFile& file);

}  // namespace quorvin
