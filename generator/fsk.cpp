#include "generator/fsk.h"

#include "common/limits.h"

namespace quorvin {

Signal fsk_modulate(const Symbols& symbols, std::int32_t modulation_order, double symbol_rate,
                    double sample_rate) {
  const std::uint32_t whole = whole_samples_per_symbol(sample_rate / symbol_rate);
  Signal out;
  out.reserve(require_sample_count(static_cast<double>(symbols.size()) * whole));
  const double base = (static_cast<double>(1 - modulation_order) * 0.5) * symbol_rate;
  for (const std::int32_t symbol : symbols) {
    const double frequency = static_cast<double>(symbol) * symbol_rate + base;
    // Time restarts with every symbol, so each tone begins at phase zero.
    for (std::uint32_t k = 0; k < whole; ++k) {
      const double t = static_cast<double>(k) / sample_rate;
      out.push_back(unit_phasor(((pi * 2.0) * frequency) * t));
    }
  }
  return out;
}

}  // namespace quorvin
