#pragma once
// How a digital name is made: its catalogue row, or the "QAM<n>" and "APSK<n>" prefix rules.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "modulation/catalogue.h"

namespace quorvin {

// The fixed APSK ring sets, innermost ring first.
struct ApskRings {
  std::vector<std::int32_t> counts;
  std::vector<double> radii;
};

struct DigitalRoute {
  Route modulator;
  std::int32_t alphabet;  // M; 0 when the route can give no samples
  ApskRings rings;
};

// The catalogue's digital names first, then the "QAM" and "APSK" prefixes with the order read
// from the rest of the name; nothing for any other name. Throws as parse_modulation_order does.
std::optional<DigitalRoute> find_digital_route(std::string_view name);

// Parses a modulation order as std::stoi would: leading white space, an optional sign, then
// base-10 digits up to the first other byte. Throws std::invalid_argument ("invalid stoi
// argument") without digits, std::out_of_range ("stoi argument out of range") beyond 32 bits.
std::int32_t parse_modulation_order(std::string_view text);

// Whether the route maps each symbol to one constellation point (PSK, QAM, APSK).
bool maps_one_point_per_symbol(Route modulator);

}  // namespace quorvin
