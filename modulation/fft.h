#pragma once
// Discrete Fourier transform of any length.

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "common/signal.h"

namespace quorvin {

enum class FftDirection { forward, inverse };

// DFT of `values`: forward X[k] = sum x[m] exp(-j 2 pi k m / n), unscaled; inverse with +j and
// scaled by 1/n. Lengths 0 and 1 come back unchanged in both directions. Result has n samples.
Signal fft(Signal values, FftDirection direction);

// The same transform, the same numbers, in the vector itself: a length that is not a power of two
// and is padded to 2^18 or less borrows its storage up to fft_storage(n) samples and keeps that
// capacity (reserving it first spares a copy); longer ones work beside it, in pieces of a
// quarter of the padded length, and leave the capacity as it was.
void fft_in_place(Signal& values, FftDirection direction);

// A transform of one length and direction made ready to be applied many times: its twiddles and,
// for a length that is not a power of two, Bluestein's chirps and the transform of its second
// sequence, so that a transform applied per OFDM symbol builds no table. Lengths padded beyond
// 2^18 keep nothing and are worked as fft_in_place works them.
struct FftPlan {
  std::size_t n = 0;
  FftDirection direction = FftDirection::forward;
  Signal twiddles;          // the radix-2 transform's (of the padded length for Bluestein, forward)
  Signal inverse_twiddles;  // Bluestein's inverse radix-2 transform's
  Signal chirps;            // Bluestein's, n of them
  Signal chirp_transform;   // the padded transform of Bluestein's second sequence
  // A power of two's from fft_plan: each stage's twiddles two at a time as the vector butterflies
  // of fft_to_bit_reversed and fft_from_bit_reversed read them, (a, a, a', a') then
  // (-b, b, -b', b') for a + j b and a' + j b'.
  std::vector<double> stage_twiddles;
};

// The plan of the DFT of n samples in `direction`.
FftPlan fft_plan(std::size_t n, FftDirection direction);

// fft_plan(n, direction), shared: plans of up to 2^16 samples (a few MB each) are kept, the 8
// most recently used, for every file that transforms at the same length.
std::shared_ptr<const FftPlan> cached_fft_plan(std::size_t n, FftDirection direction);

// fft_in_place(values, plan.direction) for values of plan.n samples, the same numbers, without
// building its tables. Values' storage grows as fft_in_place's does.
void fft_in_place(const FftPlan& plan, Signal& values);

// The two halves of a circular convolution of a power-of-two length n without reordering: the
// forward transform by decimation in frequency, leaving the spectrum in bit-reversed order, and
// the inverse transform of the product of two such spectra (n samples each) by decimation in
// time, into `out` (n samples) in natural order and unscaled (n times the inverse DFT: a factor
// can carry the 1/n). Each with a plan of its direction and of n samples from fft_plan (not the
// same numbers as fft_in_place, nor far from them).
void fft_to_bit_reversed(const FftPlan& forward, std::span<Sample> values);
void fft_product_from_bit_reversed(const FftPlan& inverse, std::span<const Sample> spectrum, std::span<const Sample> factor,
                                   std::span<Sample> out);

// Samples of storage fft_in_place uses in the vector for n samples: n for a power of two (or
// n < 2) and for lengths padded beyond 2^18, else the power of two at or above 2n - 1 that
// Bluestein's convolution is padded to.
std::size_t fft_storage(std::size_t n);

// The most samples fft_in_place holds at once for n samples, the vector's own storage included
// (tables and work vectors counted as samples): for budgeting memory.
double fft_peak_samples(std::size_t n);

// The half width about 0 Hz, a fraction of the sample rate (0 .. 0.5), within which `share` of
// the power of `x` lies: its spectrum's bins taken in order of their distance from 0 Hz, both
// sides at once. `x` is transformed in place.
double held_half_band(Signal& x, double share);

}  // namespace quorvin
