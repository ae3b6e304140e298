#pragma once
// Unit phasors of many angles at once.

#include <span>

#include "common/signal.h"

namespace quorvin {

// How angles become phasors.
enum class PhasorMath {
  // std::cos and std::sin of each angle: the numbers a single file of an amplitude-carrying analog
  // name (AM, CW, SSB, DSB-SC) holds.
  library,
  // A reduction by pi/2 and two polynomials, four angles at a time: within a few units in the last
  // place of the library's, several times faster, the same bits wherever an angle stands in a span
  // and in every build. Scenes, and every file of the phase-only names (FSK, GFSK, MSK, GMSK, FM).
  polynomial,
};

// The unit phasors (cos a, sin a) of `angles` (radians) into `out`, one per angle; `out` must be
// as long as `angles`.
void unit_phasors(std::span<const double> angles, std::span<Sample> out, PhasorMath math);

}  // namespace quorvin
