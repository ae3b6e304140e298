#pragma once
// Shared value types of the signal chain: a signal is a sequence of complex samples.

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

namespace quorvin {

// One complex sample: I in real(), Q in imag().
using Sample = std::complex<double>;

// Complex samples in time order, 16 bytes each. Empty is a valid signal.
using Signal = std::vector<Sample>;

// Integer symbol indices, each meant to lie in 0 .. M-1.
using Symbols = std::vector<std::int32_t>;

// The double nearest to pi, as acos(-1.0); every angle in the system is formed from it.
inline const double pi = std::acos(-1.0);

// The unit phasor (cos a, sin a) at angle a, in radians.
inline Sample unit_phasor(double angle) { return {std::cos(angle), std::sin(angle)}; }

}  // namespace quorvin
