#include "channel/gaussian.h"

#include <cmath>

namespace quorvin {

void GaussianSource::next_normal_pair(double& first, double& second) {
  for (;;) {
    const double u = 2.0 * next_uniform() - 1.0;
    const double v = 2.0 * next_uniform() - 1.0;
    const double s = u * u + v * v;
    if (s >= 1.0 || s == 0.0) continue;  // outside the unit disc: about 21 % of pairs
    const double scale = std::sqrt(-2.0 * std::log(s) / s);
    first = u * scale;
    second = v * scale;
    return;
  }
}

}  // namespace quorvin
