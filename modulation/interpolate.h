#pragma once
// Piecewise-linear interpolation of complex samples over an ascending grid.

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "common/signal.h"

namespace quorvin {

using Grid = std::vector<double>;

// The value at position x of the straight lines through (grid[k], values[k]); the end values are
// held outside the grid. (0, 0) when the grid is empty or its length differs from the values'.
Sample interpolate_linear(const Grid& grid, const Signal& values, double x);

// `count` samples, sample j = interpolate_linear(grid, values, position_of(j)), bit for bit.
// Positions that mostly rise are found by walking a cursor, so the cost is linear in count.
template <class PositionOf>
Signal interpolate_linear_along(const Grid& grid, const Signal& values, std::size_t count,
                                PositionOf position_of);

// --- implementation of the template -------------------------------------------------------

namespace detail {
// The straight line between grid points upper - 1 and upper at x. Inline, since the whole-signal
// walks call it once per output sample.
inline Sample interpolate_between(const Grid& grid, const Signal& values, std::size_t upper,
                                  double x) {
  const double x0 = grid[upper - 1];
  const double x1 = grid[upper];
  const Sample y0 = values[upper - 1];
  if (x0 == x1) return y0;
  const Sample y1 = values[upper];
  const double f = (x - x0) / (x1 - x0);
  return {(y1.real() - y0.real()) * f + y0.real(), (y1.imag() - y0.imag()) * f + y0.imag()};
}
inline Sample undefined_sample() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  return {nan, nan};
}
}  // namespace detail

template <class PositionOf>
Signal interpolate_linear_along(const Grid& grid, const Signal& values, std::size_t count,
                                PositionOf position_of) {
  Signal out(count);
  if (grid.empty() || grid.size() != values.size()) return out;
  const std::size_t last = grid.size() - 1;
  std::size_t upper = 1;  // invariant inside the grid: grid[upper - 1] <= x < grid[upper]
  for (std::size_t j = 0; j < count; ++j) {
    const double x = position_of(j);
    if (x <= grid[0]) {
      out[j] = values[0];
    } else if (x >= grid[last]) {
      out[j] = values[last];
    } else if (std::isnan(x)) {
      out[j] = detail::undefined_sample();
    } else {
      while (grid[upper] <= x) ++upper;
      while (grid[upper - 1] > x) --upper;
      out[j] = detail::interpolate_between(grid, values, upper, x);
    }
  }
  return out;
}

}  // namespace quorvin
