#pragma once
// Frequency shift and additive white Gaussian noise. Each returns a signal of the input's length.

#include <optional>
#include <span>

#include "channel/gaussian.h"

#include "channel/random.h"
#include "common/signal.h"

namespace quorvin {

// Multiplies sample i by the unit phasor at (i / sample_rate) * 2 pi shift_frequency; a positive
// shift (Hz) moves the spectrum up. Sample 0 is unchanged.
Signal frequency_shift(Signal signal, double sample_rate, double shift_frequency);

// frequency_shift, except that an offset of exactly 0.0 Hz or an empty signal passes unchanged.
Signal apply_frequency_offset(Signal signal, double sample_rate, double frequency_offset);

// Adds complex white Gaussian noise of total power P / 10^(snr_db / 10), P the signal's mean
// power per sample, split evenly between I and Q. +infinity dB or an empty signal adds nothing
// and draws nothing. The engine is seeded with `seed`, or from the device when none is given.
Signal add_awgn(Signal signal, double snr_db, std::optional<Seed> seed = std::nullopt);

// The exact model's noise: complex white Gaussian noise of total power 10^(-snr_db / 10) per
// sample, relative to the model's unit nominal signal power (not the file's measured power, which
// would tell the class by the frame's power), from NoiseSource(seed) (I then Q of each sample).
// +infinity dB or an empty signal adds nothing. Same length as the input.
Signal add_white_noise(Signal signal, double snr_db, std::uint64_t seed);

// The signal's mean power per sample, |x|^2 averaged; 0 for an empty signal.
double mean_power(const Signal& signal);

// `energy` plus the sum of |x|^2 over `samples`, added in order: summing a signal's blocks one
// after another gives the whole signal's sum to the bit.
double add_energy(double energy, std::span<const Sample> samples);

// The deviation of each of I and Q for noise at snr_db below a mean power: sqrt(P 10^(-snr/10) / 2).
double noise_deviation(double power, double snr_db);

// Adds deviation times the source's next two deviates to each sample (I then Q): the same draws
// as add_white_noise, so a signal's blocks, each through this in order with one source, come
// out as the whole signal through add_white_noise.
Signal add_deviates(Signal signal, double deviation, NoiseSource& source);

}  // namespace quorvin
