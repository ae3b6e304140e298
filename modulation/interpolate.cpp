#include "modulation/interpolate.h"

#include <algorithm>
#include <iterator>

namespace quorvin {

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
