#include "modulation/interpolate.h"

#include <algorithm>
#include <iterator>

namespace quorvin {

namespace detail {

Sample interpolate_between(const Grid& grid, const Signal& values, std::size_t upper, double x) {
  const double x0 = grid[upper - 1];
  const double x1 = grid[upper];
  const Sample y0 = values[upper - 1];
  if (x0 == x1) return y0;
  const Sample y1 = values[upper];
  const double f = (x - x0) / (x1 - x0);
  return {(y1.real() - y0.real()) * f + y0.real(), (y1.imag() - y0.imag()) * f + y0.imag()};
}

}  // namespace detail

Sample interpolate_linear(const Grid& grid, const Signal& values, double x) {
  if (grid.empty() || grid.size() != values.size()) return {0.0, 0.0};
  if (x <= grid.front()) return values.front();
  if (x >= grid.back()) return values.back();
  // A NaN position lies nowhere on the grid; the search below would run off its end.
  if (std::isnan(x)) return detail::undefined_sample();
  const auto upper = std::upper_bound(grid.begin(), grid.end(), x);
  return detail::interpolate_between(grid, values,
                                     static_cast<std::size_t>(std::distance(grid.begin(), upper)),
                                     x);
}

}  // namespace quorvin
