#include "plan/draw.h"

#include <chrono>
#include <cmath>
#include <limits>

namespace quorvin {

void DrawSource::skip(std::uint64_t count) {
  // One step is x -> a x + c; composing the step with itself doubles the distance, so the
  // bits of `count` pick which powers to apply (all modulo 2^32, as next() is).
  std::uint32_t multiplier = 214013u;
  std::uint32_t increment = 2531011u;
  while (count != 0) {
    if ((count & 1u) != 0) state_ = state_ * multiplier + increment;
    increment = increment * (multiplier + 1u);
    multiplier *= multiplier;
    count >>= 1;
  }
}

double draw_uniform(double lo, double hi, DrawSource& source) {
  const double r = source.next();
  constexpr double inf = std::numeric_limits<double>::infinity();
  if (lo == inf && hi == inf) return inf;
  return r / draw_scale * (hi - lo) + lo;
}

double draw_log_uniform(double lo, double hi, DrawSource& source) {
  return std::exp(draw_uniform(std::log(lo), std::log(hi), source));
}

std::uint32_t clock_seed() {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds.count()));
}

}  // namespace quorvin
