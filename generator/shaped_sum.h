#pragma once
// The sums of a linear family's samples: symbols' points times the pulse at each sample's
// instant, in a fixed order of additions so that every build gives the same bits.

#include <cstdint>
#include <span>
#include <vector>

#include "common/signal.h"
#include "generator/pulse.h"
#include "generator/time_base.h"

namespace quorvin {

// A run's constellation points in single precision, split into real and imaginary parts and
// padded with `pad` zeros on each side, so a sample's terms read whole lane groups without bounds
// checks; the zeros stand for the symbols outside the run, which no sample reaches.
struct PointLanes {
  std::vector<float> re;
  std::vector<float> im;
};

// A linear route's symbols ready for the sums: the first symbol's number, and the points as lanes
// (or, for the rectangle, which needs no table, as they are).
struct ShapedSymbols {
  std::int64_t first;
  Signal points;
  PointLanes lanes;
};


// Samples first .. first + out.size() - 1 (out.size() of them) at their instants plus `lag`
// symbol periods: the sum of a[n] * pulse(v - n) over the symbols whose pulse reaches v. Lanes
// start `pulse.lanes - 1` before the first symbol; the rectangle reads the points themselves.
void shaped_samples(const Pulse& pulse, const ShapedSymbols& symbols, const TimeBase& time, std::int64_t first, double lag,
                    std::span<Sample> out);

}  // namespace quorvin
