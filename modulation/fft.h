#pragma once
// Discrete Fourier transform of any length.

#include <cstddef>

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

// Samples of storage fft_in_place uses in the vector for n samples: n for a power of two (or
// n < 2) and for lengths padded beyond 2^18, else the power of two at or above 2n - 1 that
// Bluestein's convolution is padded to.
std::size_t fft_storage(std::size_t n);

// The most samples fft_in_place holds at once for n samples, the vector's own storage included
// (tables and work vectors counted as samples): for budgeting memory.
double fft_peak_samples(std::size_t n);

}  // namespace quorvin
