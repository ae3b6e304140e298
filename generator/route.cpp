#include "generator/route.h"

#include <cmath>
#include <stdexcept>

#include "common/parse.h"

namespace quorvin {
namespace {

// The fixed ring sets, innermost ring first; other orders have none.
ApskRings apsk_rings(std::int32_t order) {
  switch (order) {
    case 16: return {{4, 12}, {0.5, 1.5}};
    case 32: return {{4, 12, 16}, {0.3, 0.7, 1.2}};
    case 64: return {{8, 12, 20, 24}, {0.8, 1.2, 2.0, 2.5}};
    // DVB-S2X's ring counts and radii: 128APSK of code rate 135/180, 256APSK of 116/180.
    case 128: return {{16, 16, 16, 16, 16, 48}, {1.0, 1.715, 2.118, 2.681, 2.75, 3.819}};
    case 256: return {{32, 32, 32, 32, 32, 32, 32, 32}, {1.0, 1.791, 2.405, 2.98, 3.569, 4.235, 5.078, 6.536}};
    default: return {};
  }
}

std::int32_t sum_of(const std::vector<std::int32_t>& counts) {
  std::int32_t total = 0;
  for (const std::int32_t count : counts) total += count;
  return total;
}

bool is_perfect_square(std::int32_t order) {
  if (order <= 0) return false;
  const auto side = static_cast<std::int32_t>(std::sqrt(static_cast<double>(order)));
  return side * side == order;
}

DigitalRoute apsk_route(std::int32_t order) {
  ApskRings rings = apsk_rings(order);
  const std::int32_t alphabet = sum_of(rings.counts);
  return DigitalRoute{Route::apsk, alphabet, std::move(rings)};
}

}  // namespace

std::optional<DigitalRoute> find_digital_route(std::string_view name) {
  if (const ModulationRow* row = find_modulation(name); row != nullptr && row->kind == SignalKind::digital) {
    return row->route == Route::apsk ? apsk_route(row->alphabet) : DigitalRoute{row->route, row->alphabet, {}};
  }
  if (name.substr(0, 3) == "QAM") {
    const std::int32_t order = parse_modulation_order(name.substr(3));
    return DigitalRoute{Route::qam_square, is_perfect_square(order) ? order : 0, {}};
  }
  if (name.substr(0, 4) == "APSK") return apsk_route(parse_modulation_order(name.substr(4)));
  return std::nullopt;
}

bool maps_one_point_per_symbol(Route modulator) {
  switch (modulator) {
    case Route::psk:
    case Route::qam32:
    case Route::qam128:
    case Route::qam_square:
    case Route::apsk: return true;
    default: return false;
  }
}

std::int32_t parse_modulation_order(std::string_view text) {
  const IntegerPrefix order = read_integer_prefix(text);
  if (order.length == 0) throw std::invalid_argument("invalid stoi argument");
  if (order.out_of_range) throw std::out_of_range("stoi argument out of range");
  return order.value;
}

}  // namespace quorvin
