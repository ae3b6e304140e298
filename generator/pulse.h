#pragma once
// The exact model's shaping pulses, tabulated once per shape and read at any instant.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "generator/waveform.h"

namespace quorvin {

// Pulses are tabulated at this many points per symbol period and read by linear interpolation:
// the error is below 1e-6 of the peak, far under any noise a file carries, and every sample time
// is evaluated directly, so a fractional number of samples per symbol gives no jitter.
inline constexpr int table_points_per_symbol = 1024;

// A real function of time in symbol periods, tabulated on [first, first + (size - 1) / R].
struct Table {
  double first = 0.0;
  std::vector<double> values;

  double at(double u) const {
    const double x = (u - first) * table_points_per_symbol;
    if (!(x >= 0.0)) return values.front();
    const auto i = static_cast<std::size_t>(x);
    if (i + 1 >= values.size()) return values.back();
    const double f = x - static_cast<double>(i);
    return values[i] + f * (values[i + 1] - values[i]);
  }
  double last() const { return first + static_cast<double>(values.size() - 1) / table_points_per_symbol; }
};

template <typename Function>
Table tabulate(double first, double last, Function f) {
  Table table{first, {}};
  const auto count = static_cast<std::size_t>(std::llround((last - first) * table_points_per_symbol)) + 1;
  table.values.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    table.values[i] = f(first + static_cast<double>(i) / table_points_per_symbol);
  }
  return table;
}

// The shaping pulse centred on its symbol's instant, scaled to unit energy per symbol period, so
// unit-energy symbols give unit mean power. The RRC is cut to +-span/2, as a receiver's matched
// filter of the same span is; the rectangle is exact without a table.
struct Pulse {
  PulseShape shape;
  double half_width;  // symbol periods on each side of the instant
  Table table;
  // The table regrouped by phase for the sums: row r (0 .. R) holds the points r + m R for the
  // terms m = 0 .. taps - 1, one symbol period apart, in reverse (the last term first) and padded
  // with zeros to `lanes`, so that one sample's terms run forward over its symbols in fixed-width
  // steps the compiler turns into vector arithmetic. `slopes` holds row r + 1 minus row r.
  std::size_t lanes = 0;
  std::vector<float> rows;
  std::vector<float> slopes;

  double at(double u) const {
    if (shape == PulseShape::rect) return (u >= -0.5 && u < 0.5) ? 1.0 : 0.0;
    return (u <= -half_width || u >= half_width) ? 0.0 : table.at(u);
  }
};

// Terms are summed in groups of four single-precision lanes, one vector register on every x86-64
// processor: single precision keeps 1e-7 of the peak, far below the cf32 the files are written
// as, and doubles the terms per instruction.
inline constexpr std::size_t lane_group = 4;

// The pulse of these parameters: the last one this thread made when it matches (see pulse.cpp).
std::shared_ptr<const Pulse> cached_pulse(PulseShape shape, double rolloff, std::int32_t span);

}  // namespace quorvin
