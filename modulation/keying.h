#pragma once
// Keyed modulations with memory or offset. samples_per_symbol is fs / Rs unrounded; where a
// whole count S is needed it is truncated, but time keeps dividing by the unrounded value.

#include <vector>

#include "common/signal.h"

namespace quorvin {

// QPSK rotated by 45 degrees: symbol s at angle s * pi/2 + pi/4. One point per symbol.
Signal qpsk_pi4_map(const Symbols& symbols);

// Differential QPSK: point 0 is the rotated QPSK point of symbol 0, then each point turns the
// previous one by s * pi/2 + phase_offset (radians). One point per symbol.
Signal pi4_dqpsk_map(const Symbols& symbols, double phase_offset);

// Offset QPSK: I and Q levels ramp linearly between symbol instants, Q half a symbol late.
// (n - 1) * S + 1 samples for n symbols, empty for none. Throws std::invalid_argument
// "samples_per_symbol must be at least 2 for OQPSK." when samples_per_symbol < 2.
Signal oqpsk_modulate(const Symbols& symbols, double samples_per_symbol);

// MSK: each symbol turns the phase linearly by +pi/2 (symbol 1) or -pi/2 (any other).
// n * S samples of magnitude 1.
Signal msk_modulate(const Symbols& symbols, double samples_per_symbol);

// GMSK's phase pulse for bandwidth-time product bt at tau symbol periods from the start of its
// symbol: the running integral of a one-symbol rectangle smoothed by a Gaussian, cut `tail`
// symbols either side and rescaled to rise from exactly 0 (tau <= -tail) to 1 (tau >= 1 + tail).
double gaussian_phase_pulse(double tau, double bandwidth_time, int tail);

// The Gaussian's standard deviation, symbol periods, for bandwidth-time product bt.
double gaussian_sigma(double bandwidth_time);

// gaussian_phase_pulse at tau = -tail + i / points_per_symbol for i = 0 .. (2 tail + 1) times
// points_per_symbol (a power of two, so each tau is exact): the same doubles, each integral
// worked out once. (2 tail + 1) points_per_symbol + 1 values.
std::vector<double> gaussian_phase_pulse_points(double bandwidth_time, int tail, int points_per_symbol);

// GMSK with bandwidth-time product 0.3: MSK's phase steps through a Gaussian-filtered frequency
// pulse spanning five symbols. n * S samples of magnitude 1, continuous phase.
Signal gmsk_modulate(const Symbols& symbols, double samples_per_symbol);

}  // namespace quorvin
