#include "channel/gaussian.h"

#include <cmath>

namespace quorvin {
namespace {

double density(double x) { return std::exp(-0.5 * x * x); }

// 256 layers of equal area v under exp(-x^2 / 2), the tail beyond r included in the base layer.
constexpr double r = 3.6541528853610088;
constexpr double v = 0.00492867323399;

ZigguratTables make_tables() {
  ZigguratTables t{};
  t.x[0] = v / density(r);
  t.x[1] = r;
  for (std::size_t i = 1; i < 255; ++i) t.x[i + 1] = std::sqrt(-2.0 * std::log(v / t.x[i] + density(t.x[i])));
  t.x[256] = 0.0;
  for (std::size_t i = 0; i < t.x.size(); ++i) t.f[i] = density(t.x[i]);
  t.f[0] = density(r);  // the base layer's rectangle has the tail's start for its height
  return t;
}

}  // namespace

const ZigguratTables& ziggurat_tables() {
  static const ZigguratTables tables = make_tables();
  return tables;
}

double GaussianSource::next_normal_edge(std::size_t layer, double x) {
  for (;;) {
    if (layer == 0) {
      // Marsaglia's tail method: exact for the normal beyond r.
      double tail = 0.0;
      double y = 0.0;
      do {
        tail = -std::log(1.0 - next_uniform()) / r;
        y = -std::log(1.0 - next_uniform());
      } while (2.0 * y < tail * tail);
      return x < 0.0 ? -(r + tail) : r + tail;
    }
    // The wedge between the core and the curve: accept under the density.
    const ZigguratTables& t = *tables_;
    if (t.f[layer + 1] + (t.f[layer] - t.f[layer + 1]) * next_uniform() < density(x)) return x;
    // Rejected: a fresh draw from the start, as the fast path would make it.
    const std::uint64_t bits = next_bits();
    layer = bits & 0xFF;
    x = static_cast<double>(static_cast<std::int64_t>(bits) >> 11) * 0x1.0p-52 * t.x[layer];
    if (std::abs(x) < t.x[layer + 1]) return x;
  }
}

}  // namespace quorvin
