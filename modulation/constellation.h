#pragma once
// Constellation mappers: one complex point per symbol, in symbol order, no power normalisation
// and no Gray coding. Each result has symbols.size() samples unless stated otherwise.

#include <cstdint>
#include <vector>

#include "common/signal.h"

namespace quorvin {

// M-PSK: symbol s at the unit phasor of angle s * 2 pi / M; symbol 0 at (1, 0), counter-clockwise.
Signal psk_map(const Symbols& symbols, std::int32_t modulation_order);

// Square M-QAM on the odd integers -(L-1) .. L-1, L = sqrt(M), row-major from (-(L-1), -(L-1)).
// Empty when M is not a positive perfect square.
Signal qam_square_map(const Symbols& symbols, std::int32_t modulation_order);

// 32-QAM: the 6 x 6 odd grid without its corners, rows from Q = 5 down; (0, 0) outside 0 .. 31.
Signal qam32_map(const Symbols& symbols);

// 128-QAM: the 12 x 12 odd grid without the (11, 11), (11, 9), (9, 11), (11, 7) corners (by
// magnitude), rows from Q = -11 up; (0, 0) outside 0 .. 127.
Signal qam128_map(const Symbols& symbols);

// 128-QAM as the textbook cross (the exact model's): the 12 x 12 odd grid without its four 2 x 2
// corner blocks (|I| and |Q| both 9 or 11), so symmetric under a quarter turn, mean energy 82;
// rows from Q = -11 up, each from I = -11; (0, 0) outside 0 .. 127.
Signal qam128_cross_map(const Symbols& symbols);

// 512- and 2048-QAM as the same cross as qam128_cross_map: the odd grid of 24 (48) points a side
// without a 4 x 4 (8 x 8) block at each corner, mean energy 330 (1322); rows from Q = -(side - 1)
// up; (0, 0) outside the alphabet. Empty for any other order.
Signal qam_cross_map(const Symbols& symbols, std::int32_t modulation_order);

// M-ASK on the real axis: symbol s at 2 s - (M - 1), so the levels +-1, +-3, ..., +-(M - 1).
Signal ask_map(const Symbols& symbols, std::int32_t modulation_order);

// On-off keying: symbol 0 at 0, any other at 1.
Signal ook_map(const Symbols& symbols);

// APSK on rings filled from the inside out, each starting at angle 0; (0, 0) outside the rings.
// Empty when either list is empty or their lengths differ.
Signal apsk_map(const Symbols& symbols, const std::vector<std::int32_t>& ring_counts,
                const std::vector<double>& ring_radii);

}  // namespace quorvin
