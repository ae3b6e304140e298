#pragma once
// Receiver-chain impairments of the exact model, each a stage Signal -> Signal of the input's
// length. They run in a real chain's order: amplifier, fading, carrier offset and phase noise,
// sample clock, thermal noise (channel/noise.h), IQ imbalance and DC offset, quantisation.
// Stages that draw random numbers take their own 64-bit seed.

#include <cstdint>
#include <vector>

#include "common/signal.h"

namespace quorvin {

// Multiplies sample k by e^{j 2 pi frequency k / sample_rate} (a carrier offset, Hz): the exact
// phasor every 256 samples, turned by powers of one sample's step in between, so long files keep
// precision. `first` is the index k of the signal's first sample: any block of a file comes out
// as the same samples of the whole file. A `gain` other than 1 scales every sample too, taken
// into each stretch's exact phasor.
Signal apply_carrier_offset(Signal signal, double frequency, double sample_rate, std::int64_t first = 0, Sample gain = 1.0);

// Rapp's solid-state amplifier (AM/AM only): |y| = |x| / (1 + (|x| / A)^(2p))^(1 / 2p), the phase
// kept, with the saturation amplitude A = backoff_db above the signal's RMS amplitude while it is
// on the air: over its samples that are not 0, so a burst's silence does not lower A.
Signal apply_rapp_amplifier(Signal signal, double backoff_db, double smoothness);

// The amplifier's saturation amplitude for a signal of `count` samples on the air (not 0) holding
// `energy` (the sum of |x|^2 in sample order): their RMS raised by `backoff_db`; 0 for none.
double rapp_saturation(double energy, std::size_t count, double backoff_db);

// Rapp's curve of saturation amplitude `saturation` on every sample of `signal`, in place; the
// signal is left as it is where `saturation` is not above 0. apply_rapp_amplifier is this at the
// signal's own saturation, so a long signal can be amplified block by block.
void apply_rapp_curve(Signal& signal, double saturation, double smoothness);

// A tapped delay line whose taps fade. Delays in sample periods (fractional delays by windowed
// sinc interpolation), gains in dB; every tap is Rayleigh, the first Rician with K-factor k
// (linear; 0: Rayleigh) when rician is set. Each tap's diffuse part is a sum of sinusoids with
// Doppler frequencies doppler_hz cos(angle), random angles and phases; the taps' mean powers are
// normalised to sum to 1.
struct FadingChannel {
  std::vector<double> delays;  // sample periods, not negative
  std::vector<double> gains_db;
  bool rician = false;
  double k_factor = 0.0;
  double doppler_hz = 0.0;
  double sample_rate = 0.0;
};

// Sample k of the result is sum_l g_l(k) x(k - delay_l); x is zero before its first sample.
Signal apply_fading(const Signal& signal, const FadingChannel& channel, std::uint64_t seed);

// The complex gain of each tap at samples first .. first + count - 1, exactly as apply_fading
// applies them: one row per tap, count gains each.
std::vector<std::vector<Sample>> fading_tap_paths(const FadingChannel& channel, std::uint64_t seed, std::size_t first,
                                                  std::size_t count);

// Multiplies sample k by e^{j (phase + theta_k - theta_origin)}, theta a Wiener process whose
// increments have variance 2 pi linewidth / sample_rate (a Lorentzian line of that full width,
// Hz): the phase is `phase` at sample `origin`; no linewidth, no walk.
Signal apply_phase_noise(Signal signal, double phase, double linewidth_hz, double sample_rate, std::uint64_t seed,
                         std::size_t origin = 0);

// The phase apply_phase_noise turns samples first .. first + count - 1 by, radians.
std::vector<double> phase_noise_path(double phase, double linewidth_hz, double sample_rate, std::uint64_t seed,
                                     std::size_t first, std::size_t count, std::size_t origin = 0);

// Reads the signal at positions first + k (1 + ppm 1e-6), k = 0 .. count - 1, by windowed sinc
// interpolation: a sample clock off by ppm, so every frequency and rate moves by that ppm.
// Positions beyond the signal read zeros.
Signal resample_by_clock(const Signal& signal, double first, double ppm, std::size_t count);

// IQ imbalance and DC offset of a receiver: I' = I + dc_i, Q' = g (Q cos phi - I sin phi) + dc_q,
// with g = 10^(amplitude_db / 20), phi in degrees, the DC offsets as fractions of the signal's RMS.
Signal apply_iq_imbalance(Signal signal, double amplitude_db, double phase_deg, double dc_i, double dc_q);

// An ADC of `bits` bits per rail, full scale backoff_db above the signal's peak rail value:
// mid-rise levels, values beyond full scale clipped to the outermost level. 0 bits: unchanged.
Signal quantise(Signal signal, int bits, double backoff_db);

}  // namespace quorvin
