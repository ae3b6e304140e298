#include "modulation/keying.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/limits.h"
#include "modulation/interpolate.h"

namespace quorvin {
namespace {

Sample rotated_qpsk_point(std::int32_t symbol) {
  return unit_phasor(static_cast<double>(symbol) * pi * 0.5 + pi * 0.25);
}

// A zero-filled signal of n * S samples, refused above the per-file ceiling.
Signal keyed_signal(std::size_t num_symbols, std::uint32_t samples_per_symbol) {
  return Signal(require_sample_count(static_cast<double>(num_symbols) * samples_per_symbol));
}

double msk_step(std::int32_t symbol) { return symbol == 1 ? pi * 0.5 : -pi * 0.5; }

// OQPSK level pairs: 0 -> (1, 1), 1 -> (-1, 1), 2 -> (-1, -1), anything else -> (1, -1).
Sample oqpsk_levels(std::int32_t symbol) {
  switch (symbol) {
    case 0: return {1.0, 1.0};
    case 1: return {-1.0, 1.0};
    case 2: return {-1.0, -1.0};
    default: return {1.0, -1.0};
  }
}

// --- GMSK phase pulse ---------------------------------------------------------------------

constexpr double gmsk_bandwidth_time = 0.3;
// The frequency pulse is cut this many symbols either side of its own symbol; the Gaussian's
// tails there are below 1e-5 of its peak, and the renormalisation below removes the rest.
constexpr int gmsk_pulse_tail = 2;

double standard_normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Integral of the standard normal CDF of x / sigma: x Phi(x / sigma) + sigma phi(x / sigma).
double integrated_cdf(double x, double sigma) {
  const double z = x / sigma;
  return x * standard_normal_cdf(z) + sigma * std::exp(-0.5 * z * z) / std::sqrt(2.0 * pi);
}

double gmsk_phase_pulse(double tau) { return gaussian_phase_pulse(tau, gmsk_bandwidth_time, gmsk_pulse_tail); }

}  // namespace

double gaussian_sigma(double bandwidth_time) { return std::sqrt(std::log(2.0)) / (2.0 * pi * bandwidth_time); }

double gaussian_phase_pulse(double tau, double bandwidth_time, int tail) {
  const double sigma = gaussian_sigma(bandwidth_time);
  const auto raw = [sigma](double t) {
    return integrated_cdf(t, sigma) - integrated_cdf(t - 1.0, sigma);
  };
  const double low = -static_cast<double>(tail);
  const double high = 1.0 + tail;
  if (tau <= low) return 0.0;
  if (tau >= high) return 1.0;
  return (raw(tau) - raw(low)) / (raw(high) - raw(low));
}

std::vector<double> gaussian_phase_pulse_points(double bandwidth_time, int tail, int points_per_symbol) {
  const double sigma = gaussian_sigma(bandwidth_time);
  const auto per_symbol = static_cast<std::size_t>(points_per_symbol);
  const auto count = static_cast<std::size_t>(2 * tail + 1) * per_symbol + 1;
  const double low = -static_cast<double>(tail);
  const double high = 1.0 + tail;
  const auto at = [&](std::size_t i) { return low + static_cast<double>(i) / points_per_symbol; };
  // The integrated CDF from one symbol before the first point on: a point's t - 1 is the point
  // one symbol earlier, the same double (both are exact multiples of 1 / points_per_symbol), so
  // each value is worked out once where gaussian_phase_pulse works it out twice.
  std::vector<double> integrated(count + per_symbol);
  for (std::size_t i = 0; i < integrated.size(); ++i) {
    integrated[i] = integrated_cdf(low - 1.0 + static_cast<double>(i) / points_per_symbol, sigma);
  }
  const auto raw = [&](std::size_t i) { return integrated[i + per_symbol] - integrated[i]; };
  const double raw_low = integrated.at(per_symbol) - integrated.front();
  const double raw_span = raw(count - 1) - raw_low;
  std::vector<double> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double tau = at(i);
    values[i] = tau <= low ? 0.0 : tau >= high ? 1.0 : (raw(i) - raw_low) / raw_span;
  }
  return values;
}

Signal qpsk_pi4_map(const Symbols& symbols) {
  Signal out(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) out[i] = rotated_qpsk_point(symbols[i]);
  return out;
}

Signal pi4_dqpsk_map(const Symbols& symbols, double phase_offset) {
  Signal out(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    out[i] = i == 0 ? rotated_qpsk_point(symbols[0])
                    : out[i - 1] * unit_phasor(static_cast<double>(symbols[i]) * pi * 0.5 +
                                               phase_offset);
  }
  return out;
}

Signal oqpsk_modulate(const Symbols& symbols, double samples_per_symbol) {
  if (samples_per_symbol < 2.0) {
    throw std::invalid_argument("samples_per_symbol must be at least 2 for OQPSK.");
  }
  const std::size_t n = symbols.size();
  if (n == 0) return {};
  const std::uint32_t whole = whole_samples_per_symbol(samples_per_symbol);
  const std::size_t length =
      require_sample_count(static_cast<double>(n - 1) * whole + 1.0);
  Grid i_grid(n);
  Grid q_grid(n);
  Signal i_levels(n);
  Signal q_levels(n);
  for (std::size_t k = 0; k < n; ++k) {
    i_grid[k] = static_cast<double>(k);
    q_grid[k] = static_cast<double>(k) + 0.5;
    const Sample levels = oqpsk_levels(symbols[k]);
    i_levels[k] = {levels.real(), 0.0};
    q_levels[k] = {levels.imag(), 0.0};
  }
  const auto position = [samples_per_symbol](std::size_t j) {
    return static_cast<double>(j) / samples_per_symbol;
  };
  const Signal i_wave = interpolate_linear_along(i_grid, i_levels, length, position);
  const Signal q_wave = interpolate_linear_along(q_grid, q_levels, length, position);
  Signal out(length);
  for (std::size_t j = 0; j < length; ++j) out[j] = {i_wave[j].real(), q_wave[j].real()};
  return out;
}

Signal msk_modulate(const Symbols& symbols, double samples_per_symbol) {
  const std::uint32_t whole = whole_samples_per_symbol(samples_per_symbol);
  Signal out = keyed_signal(symbols.size(), whole);
  double phase = 0.0;
  std::size_t j = 0;
  for (const std::int32_t symbol : symbols) {
    const double step = msk_step(symbol);
    for (std::uint32_t i = 0; i < whole; ++i) {
      out[j++] = unit_phasor(phase + (static_cast<double>(i) / samples_per_symbol) * step);
    }
    phase = phase + step;
  }
  return out;
}

Signal gmsk_modulate(const Symbols& symbols, double samples_per_symbol) {
  const std::uint32_t whole = whole_samples_per_symbol(samples_per_symbol);
  Signal out = keyed_signal(symbols.size(), whole);
  if (out.empty()) return out;
  // Sample i of symbol j sits at j + i / samples_per_symbol symbol periods, as in MSK. Symbol k
  // contributes step_k * q(t - k); the pulse depends only on j - k and i, so it is tabulated.
  const int span = 2 * gmsk_pulse_tail + 1;
  std::vector<double> pulse(static_cast<std::size_t>(span) * whole);
  for (int d = 0; d < span; ++d) {
    for (std::uint32_t i = 0; i < whole; ++i) {
      const double tau = (d - gmsk_pulse_tail) + static_cast<double>(i) / samples_per_symbol;
      pulse[static_cast<std::size_t>(d) * whole + i] = gmsk_phase_pulse(tau);
    }
  }
  const auto n = static_cast<std::ptrdiff_t>(symbols.size());
  double settled_phase = 0.0;  // sum of the steps of symbols whose pulse has ended
  std::size_t out_index = 0;
  for (std::ptrdiff_t j = 0; j < n; ++j) {
    const std::ptrdiff_t settled = j - gmsk_pulse_tail - 1;
    if (settled >= 0) settled_phase += msk_step(symbols[static_cast<std::size_t>(settled)]);
    for (std::uint32_t i = 0; i < whole; ++i) {
      double phase = settled_phase;
      for (int d = -gmsk_pulse_tail; d <= gmsk_pulse_tail; ++d) {
        const std::ptrdiff_t k = j - d;
        if (k < 0 || k >= n) continue;
        const std::size_t row = static_cast<std::size_t>(d + gmsk_pulse_tail);
        phase += msk_step(symbols[static_cast<std::size_t>(k)]) * pulse[row * whole + i];
      }
      out[out_index++] = unit_phasor(phase);
    }
  }
  return out;
}

}  // namespace quorvin
