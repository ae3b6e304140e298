#pragma once
// Discrete Fourier transform of any length.

#include "common/signal.h"

namespace quorvin {

// DFT of `values`: forward X[k] = sum x[m] exp(-j 2 pi k m / n), unscaled; inverse with +j and
// scaled by 1/n. Lengths 0 and 1 come back unchanged in both modes. Result has n samples.
Signal fft(Signal values, bool inverse);

}  // namespace quorvin
