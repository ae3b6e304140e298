#include "modulation/constellation.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>

namespace quorvin {
namespace {

// Maps every symbol through a point table; symbols outside it become (0, 0).
Signal map_through(const Symbols& symbols, const Signal& points) {
  Signal out(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    const auto s = static_cast<std::uint32_t>(symbols[i]);  // negative symbols fall outside
    out[i] = s < points.size() ? points[s] : Sample{0.0, 0.0};
  }
  return out;
}

Signal qam32_points() {
  Signal points;
  for (int q = 5; q >= -5; q -= 2) {
    for (int i = -5; i <= 5; i += 2) {
      if (std::abs(i) == 5 && std::abs(q) == 5) continue;
      points.emplace_back(i, q);
    }
  }
  return points;
}

bool is_qam128_corner(int i, int q) {
  const int a = std::abs(i);
  const int b = std::abs(q);
  return (a == 11 && b == 11) || (a == 11 && b == 9) || (a == 9 && b == 11) || (a == 11 && b == 7);
}

Signal qam128_points() {
  Signal points;
  for (int row = 0; row < 12; ++row) {
    for (int column = 0; column < 12; ++column) {
      const int i = 2 * column - 11;
      const int q = 2 * row - 11;
      if (!is_qam128_corner(i, q)) points.emplace_back(i, q);
    }
  }
  return points;
}

// A textbook cross: the odd grid of `side` points a side without a `corner` x `corner` block at
// each corner, the points with |I| and |Q| both beyond side - 1 - 2 corner.
Signal cross_points(int side, int corner) {
  Signal points;
  const int edge = side - 1 - 2 * corner;
  for (int q = 1 - side; q <= side - 1; q += 2) {
    for (int i = 1 - side; i <= side - 1; i += 2) {
      if (std::abs(i) > edge && std::abs(q) > edge) continue;
      points.emplace_back(i, q);
    }
  }
  return points;
}

// The point of symbol s: the first ring whose running total exceeds s, innermost first. Totals
// are 64-bit so that no ring list can overflow them.
Sample apsk_point(std::int32_t s, const std::vector<std::int32_t>& ring_counts,
                  const std::vector<double>& ring_radii) {
  std::int64_t start = 0;
  if (s < 0) return {0.0, 0.0};
  for (std::size_t ring = 0; ring < ring_counts.size(); ++ring) {
    const std::int64_t total = start + ring_counts[ring];
    if (s < total) {
      const double angle = static_cast<double>(s - start) * (2.0 * pi) / ring_counts[ring];
      return ring_radii[ring] * unit_phasor(angle);
    }
    start = total;
  }
  return {0.0, 0.0};
}

}  // namespace

Signal psk_map(const Symbols& symbols, std::int32_t modulation_order) {
  Signal out(symbols.size());
  const double order = static_cast<double>(modulation_order);
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    out[i] = unit_phasor(static_cast<double>(symbols[i]) * (2.0 * pi) / order);
  }
  return out;
}

Signal qam_square_map(const Symbols& symbols, std::int32_t modulation_order) {
  if (modulation_order <= 0) return {};
  const auto side = static_cast<std::int32_t>(std::sqrt(static_cast<double>(modulation_order)));
  if (side * side != modulation_order) return {};
  Signal out(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    // 64-bit, since 2 * (s / L) overflows 32 bits for large symbols on small grids.
    const std::int64_t s = symbols[i];
    out[i] = {static_cast<double>(2 * (s % side) - (side - 1)),
              static_cast<double>(2 * (s / side) - (side - 1))};
  }
  return out;
}

Signal qam32_map(const Symbols& symbols) {
  return map_through(symbols, qam32_points());
}

Signal qam128_map(const Symbols& symbols) {
  return map_through(symbols, qam128_points());
}

Signal qam128_cross_map(const Symbols& symbols) {
  return map_through(symbols, cross_points(12, 2));
}

Signal qam_cross_map(const Symbols& symbols, std::int32_t modulation_order) {
  switch (modulation_order) {
    case 512: return map_through(symbols, cross_points(24, 4));
    case 2048: return map_through(symbols, cross_points(48, 8));
    default: return {};
  }
}

Signal ask_map(const Symbols& symbols, std::int32_t modulation_order) {
  Signal out(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) out[i] = {2.0 * symbols[i] - (modulation_order - 1), 0.0};
  return out;
}

Signal ook_map(const Symbols& symbols) {
  Signal out(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) out[i] = {symbols[i] == 0 ? 0.0 : 1.0, 0.0};
  return out;
}

Signal apsk_map(const Symbols& symbols, const std::vector<std::int32_t>& ring_counts,
                const std::vector<double>& ring_radii) {
  if (ring_counts.empty() || ring_radii.empty() || ring_counts.size() != ring_radii.size()) {
    return {};
  }
  Signal out(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i)
    out[i] = apsk_point(symbols[i], ring_counts, ring_radii);
  return out;
}

}  // namespace quorvin
