#pragma once
// Discrete Fourier transform of any length.

#include "common/signal.h"

namespace quorvin {

enum class FftDirection { forward, inverse };

// DFT of `values`: forward X[k] = sum x[m] exp(-j 2 pi k m / n), unscaled; inverse with +j and
// scaled by 1/n. Lengths 0 and 1 come back unchanged in both directions. Result has n samples.
Signal fft(Signal values, FftDirection direction);

}  // namespace quorvin
