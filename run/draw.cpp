#include "run/draw.h"

#include <chrono>
#include <limits>

namespace quorvin {

double draw_uniform(double lo, double hi, DrawSource& source) {
  const double r = source.next();
  constexpr double inf = std::numeric_limits<double>::infinity();
  if (lo == inf && hi == inf) return inf;
  return r / draw_scale * (hi - lo) + lo;
}

std::uint32_t clock_seed() {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds.count()));
}

}  // namespace quorvin
