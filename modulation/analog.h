#pragma once
// Real passband test signals: the waveform is in I, Q is always 0.0.
// Frequencies and the sample rate in Hz; time of sample i is i / sample_rate.
// Each result has num_samples samples; counts above the per-file ceiling throw
// std::length_error before anything is allocated.

#include <cstdint>

#include "common/signal.h"

namespace quorvin {

// Full-depth AM: (sin(2 pi fm t) + 1) * amplitude * cos(2 pi fc t).
Signal am_modulate(double carrier_frequency, double message_frequency, double amplitude,
                   double sample_rate, std::uint32_t num_samples);

// FM by phase accumulation, the phase advanced before each sample is taken:
// amplitude * cos(phase), phase += 2 pi (fc + deviation * sin(2 pi fm t)) / sample_rate.
Signal fm_modulate(double carrier_frequency, double message_frequency,
                   double frequency_deviation, double amplitude, double sample_rate,
                   std::uint32_t num_samples);

// Lower-sideband AM by the phasing method, the message's Hilbert transform taken through the DFT:
// a tone at fc - fm of peak `amplitude` when the message fits the samples a whole number of times.
// The transform works in the result's own storage, fft_storage(num_samples) samples, and beside
// it: am_ssb_peak_samples in all, 2.5 to 3.5 samples per sample for long files.
Signal am_ssb_modulate(double carrier_frequency, double message_frequency, double amplitude,
                       double sample_rate, std::uint32_t num_samples);

// The most samples am_ssb_modulate holds at once for num_samples: for budgeting memory.
double am_ssb_peak_samples(std::uint32_t num_samples);

// Unmodulated carrier: sin(2 pi fc t) * amplitude, so sample 0 is 0.0.
Signal cw_tone(double carrier_frequency, double amplitude, double sample_rate,
               std::uint32_t num_samples);

}  // namespace quorvin
