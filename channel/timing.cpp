#include "channel/timing.h"

#include <cmath>
#include <cstddef>

#include "common/limits.h"
#include "modulation/interpolate.h"

namespace quorvin {

Signal resample_to_sample_rate(Signal signal, double symbol_rate, double sample_rate) {
  if (signal.empty() || symbol_rate <= 0.0 || sample_rate <= 0.0 || symbol_rate == sample_rate) {
    return signal;
  }
  const double ratio = sample_rate / symbol_rate;
  const std::size_t length =
      require_sample_count(std::round(static_cast<double>(signal.size()) * ratio));
  if (length == 0) return {};
  Grid grid(signal.size());
  double position = 0.0;
  for (double& point : grid) {
    point = position;
    position += 1.0;
  }
  return interpolate_linear_along(grid, signal, length, [ratio](std::size_t j) {
    return static_cast<double>(j) / ratio;
  });
}

Signal apply_timing_error(Signal signal, double timing_error, double symbol_rate,
                          double sample_rate) {
  if (timing_error == 0.0 || signal.empty()) return signal;
  const std::size_t n = signal.size();
  const double drift = (1.0 / symbol_rate) * timing_error;
  Grid nominal(n);
  for (std::size_t i = 0; i < n; ++i) nominal[i] = static_cast<double>(i) / sample_rate;
  const double count = static_cast<double>(n);
  // nominal[i] is i / sample_rate already, the same division, so it is not done twice.
  return interpolate_linear_along(nominal, signal, n, [&](std::size_t i) {
    return (static_cast<double>(i) / count) * drift + nominal[i];
  });
}

}  // namespace quorvin
