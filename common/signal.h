#pragma once
// Shared value types of the signal chain: a signal is a sequence of complex samples.

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quorvin {

// One complex sample: I in real(), Q in imag().
using Sample = std::complex<double>;

// Complex samples in time order, 16 bytes each. Empty is a valid signal.
using Signal = std::vector<Sample>;

// Receives a signal's samples block after block, in order.
using SampleSink = std::function<void(std::span<const Sample>)>;

// A signal made as it is written: `emit` hands all `length` samples to a sink in blocks, in
// order, so a long file need never be held whole. Emitting throws only when out of memory.
struct SampleStream {
  std::size_t length = 0;
  std::function<void(const SampleSink&)> emit;
};

// Integer symbol indices, each meant to lie in 0 .. M-1.
using Symbols = std::vector<std::int32_t>;

// The double nearest to pi, as acos(-1.0); every angle in the system is formed from it.
inline const double pi = std::acos(-1.0);

// The unit phasor (cos a, sin a) at angle a, in radians.
inline Sample unit_phasor(double angle) { return {std::cos(angle), std::sin(angle)}; }

// The complex product as its four real products, the numbers std::complex gives for finite
// values, without its recovery of infinite parts, which keeps the compiler from pairing the two
// rows of a loop into vector arithmetic.
inline Sample times(Sample a, Sample b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

}  // namespace quorvin
