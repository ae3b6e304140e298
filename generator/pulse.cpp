#include "generator/pulse.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "common/signal.h"

namespace quorvin {
namespace {

// An even function tabulated on [-half, half], as tabulate(-half, half, f) would make it: points i
// and size - 1 - i are exact negatives of each other (multiples of 1/R, far inside a double's
// precision), and f must give the same double at -u as at u (the RRC does: its sine and the
// product with its cosine change sign with u, as its denominator does), so each value is worked
// out once and mirrored. That halves the sines and cosines of a thread's first pulse, a third of a
// short run's arithmetic.
template <typename Function>
Table tabulate_even(double half, Function f) {
  Table table{-half, {}};
  const auto count = static_cast<std::size_t>(std::llround(2.0 * half * table_points_per_symbol)) + 1;
  table.values.resize(count);
  for (std::size_t i = 0; i <= (count - 1) / 2; ++i) {
    const double value = f(-half + static_cast<double>(i) / table_points_per_symbol);
    table.values[i] = value;
    table.values[count - 1 - i] = value;
  }
  return table;
}

// Root-raised cosine of roll-off a at u symbol periods, unit energy over the symbol period.
double root_raised_cosine(double u, double a) {
  if (u == 0.0) return 1.0 - a + 4.0 * a / pi;
  if (a > 0.0 && std::abs(std::abs(u) - 1.0 / (4.0 * a)) < 1e-9) {
    return a / std::sqrt(2.0) * ((1.0 + 2.0 / pi) * std::sin(pi / (4.0 * a)) + (1.0 - 2.0 / pi) * std::cos(pi / (4.0 * a)));
  }
  const double x = 4.0 * a * u;
  return (std::sin(pi * u * (1.0 - a)) + x * std::cos(pi * u * (1.0 + a))) / (pi * u * (1.0 - x * x));
}

double triangle(double u) { return std::max(0.0, 1.0 - std::abs(u)); }

Pulse make_pulse(PulseShape shape, double rolloff, std::int32_t span) {
  if (shape == PulseShape::rect) return {shape, 0.5, {}, 0, {}, {}};
  const double half = shape == PulseShape::rrc ? span / 2.0 : 1.0;
  Table table = shape == PulseShape::rrc
                    ? tabulate_even(half, [rolloff](double u) { return root_raised_cosine(u, rolloff); })
                    : tabulate(-half, half, triangle);
  double energy = 0.0;
  for (const double v : table.values) energy += v * v;
  const double scale = 1.0 / std::sqrt(energy / table_points_per_symbol);
  for (double& v : table.values) v *= scale;
  const std::size_t taps = table.values.size() / table_points_per_symbol + 1;
  const std::size_t lanes = (taps + lane_group - 1) / lane_group * lane_group;
  const auto point = [&table](std::size_t i) { return i < table.values.size() ? table.values[i] : 0.0; };
  std::vector<float> rows(table_points_per_symbol * lanes, 0.0F);
  std::vector<float> slopes(rows.size(), 0.0F);
  for (std::size_t r = 0; r < table_points_per_symbol; ++r) {
    for (std::size_t m = 0; m < taps; ++m) {
      const std::size_t i = r + m * table_points_per_symbol;
      const std::size_t j = r * lanes + lanes - 1 - m;
      rows[j] = static_cast<float>(point(i));
      slopes[j] = static_cast<float>(point(i + 1) - point(i));
    }
  }
  return {shape, half, std::move(table), lanes, std::move(rows), std::move(slopes)};
}

}  // namespace

// The last pulse this thread made: files of one run mostly share their pulse, and tabulating it
// costs as much as a short frame's samples. Shared, so a prepared waveform keeps it alive.
std::shared_ptr<const Pulse> cached_pulse(PulseShape shape, double rolloff, std::int32_t span) {
  struct Key {
    PulseShape shape;
    double rolloff;
    std::int32_t span;
  };
  thread_local std::optional<Key> key;
  thread_local std::shared_ptr<const Pulse> pulse;
  if (!key || key->shape != shape || key->rolloff != rolloff || key->span != span) {
    pulse = std::make_shared<const Pulse>(make_pulse(shape, rolloff, span));
    key = Key{shape, rolloff, span};
  }
  return pulse;
}

}  // namespace quorvin
