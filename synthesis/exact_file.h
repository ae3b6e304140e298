#pragma once
// One exact-model file through the whole chain: waveform, then the channel in a real
// transmitter's and receiver's order.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "channel/impairments.h"
#include "common/phasor.h"
#include "common/signal.h"
#include "generator/family.h"
#include "generator/generator.h"
#include "generator/symbols.h"
#include "plan/plan.h"
#include "plan/settings.h"
#include "plan/stages/stage.h"

namespace quorvin {


// The finished samples of `file` (exact_file_samples long): amplifier, fading, carrier offset
// (mixing, frequency offset and the clock's share of the RF carrier), carrier phase and phase
// noise, sample clock, white noise at the file's SNR (relative to the unit nominal power every
// file of the model has, whatever its class or stages), IQ imbalance and DC offset,
// quantisation. Stages the file did not draw are skipped. Noise's file is silence through the same
// chain, so its samples are unit-power noise with the receiver's stages after it. Throws what the generator throws.
Signal synthesize_exact_file(const RunSettings& settings, const PlannedFile& file);

// Samples per block of a streamed file: a multiple of the carrier offset's 256-sample refresh.
inline constexpr std::size_t exact_block_samples = 4096;

// The samples of synthesize_exact_file as a stream of blocks of at most exact_block_samples. A
// file with no impairment but its carrier offset and noise is made block by block as it is
// emitted, in memory independent of its length; other files are made whole here. Throws what
// synthesize_exact_file throws. The stream refers to `settings` and `file`: emit it while they live.
SampleStream prepare_exact_file(const RunSettings& settings, const PlannedFile& file);

// The most samples making `file` holds at once: a block of a streamed file, or the whole file
// where its stages need it whole.
double exact_held_samples(const RunSettings& settings, const PlannedFile& file);

// How far the samples' carrier (0 Hz of a digital file's baseband, an analog file's carrier)
// sits from where the file's own signal puts it, Hz, every stage counted: the carrier offset
// above, then the sample clock's scaling of every frequency, (f + offset)(1 + ppm 1e-6) - f with
// f the analog carrier frequency (0 for digital names).
double exact_total_carrier_offset(const RunSettings& settings, const PlannedFile& file);

// The power per sample of the file's signal as its samples hold it before the receiver's noise,
// relative to the unit nominal power its SNR counts from: the mean |x|^2 over the file's samples
// of its waveform after every stage before the noise (the amplifier and the fading change it; the
// carrier's offset and phase and the sample clock keep it). Nothing for a file without seeds of
// its own (its draws are not known before it is made) or without samples. Makes the file's
// waveform again: it costs what a file without noise does.
std::optional<double> exact_signal_power(const RunSettings& settings, const PlannedFile& file);

// The band the file's signal occupies around its centre (0 Hz of a digital baseband, an analog
// carrier), Hz: its family's band for the file's own draws (the realised symbol rate with the
// timing drift), widened by the fading's Doppler; {0, 0} for a name without a family.
BandEdges exact_occupied_band(const RunSettings& settings, const PlannedFile& file);

// The occupied band as `samples` samples of the signal resolve it, Hz around its centre: an
// analog signal (lines: a carrier, message tones, FM's Bessel lines, the outer ones on the band's
// edges) closed over its outer lines by the spread of a gate that long, any other band narrower
// than two cells of fs / samples widened to them about its middle.
BandEdges exact_resolved_band(const RunSettings& settings, const PlannedFile& file, std::int64_t samples);

// Where the samples of a single file hold its signal, Hz of their baseband (inside -fs/2 ..
// fs/2): the resolved band over the whole file, moved to the signal's centre and by its carrier
// offset, then scaled by the sample clock, (centre + offset + edge)(1 + ppm 1e-6), as a scene's
// boxes are. {0, 0} for a name without a family or a signal (Noise).
BandEdges exact_file_band(const RunSettings& settings, const PlannedFile& file);


// The symbols `file` transmits that reach its samples, from the draw its samples read, each at
// its centre's instant in the file's samples (after the start offset, the timing drift and the
// sample clock's offset); none for names without symbols or a file without a seed of its own.
TransmittedSymbols exact_file_symbols(const RunSettings& settings, const PlannedFile& file);

// The file's clean waveform from its family for a file of `length` samples, with `before` and
// `after` samples of margin made on the same time base, its phasors by `phasors`.
WaveformRange exact_waveform_range(const RunSettings& settings, const PlannedFile& file, std::int64_t length,
                                   std::size_t before, std::size_t after, PhasorMath phasors = PhasorMath::library);

// The amplitude a ci16_le recording's 32767 stands for, given the file's largest finite |I| or |Q|
// (`peak`): 4 times the file's nominal RMS (its unit signal power and its noise's; a scene's
// scene_nominal_power), or, for a file whose peak reaches it (a short radar pulse, a rare noise
// peak), the full scale that puts the peak at 32766, so that no value saturates or sits at the
// rail. Values are round(x 32767 / full scale).
double ci16_full_scale(const PlannedFile& file, double peak);

// A standard's file's whole frames and what they carry (its family's frames), the frames' instants
// in the file's samples; nothing for a family without frames. Throws as the file's samples do.
FrameFacts exact_file_frames(const RunSettings& s, const PlannedFile& file);

}  // namespace quorvin
