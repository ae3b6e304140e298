#include "generator/family.h"

#include <cmath>

namespace quorvin {

std::span<const SignalFamily* const> signal_families() {
  static const SignalFamily* const all[] = {&linear_family, &keyed_family, &analog_family, &noise_family, &ofdm_family, &chirp_family, &adsb_family, &pocsag_family, &ais_family, &aprs_family, &ble_family, &wifi_family};
  return all;
}

const SignalFamily& family_of(FamilyId id) { return *signal_families()[static_cast<std::size_t>(id)]; }

std::array<double, 2> range_ends(const FamilyRanges& given, const FamilyRange& range) {
  const auto found = given.find(range.key);
  return found != given.end() ? found->second : range.defaults;
}

std::uint32_t ranges_at(std::span<const FamilyRange> ranges, RangeSlot slot) {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < ranges.size(); ++i) bits |= ranges[i].slot == slot ? 1U << i : 0U;
  return bits;
}

double range_draw(std::span<const FamilyRange> ranges, std::span<const double> draws, std::size_t i) {
  return i < draws.size() ? draws[i] : i < ranges.size() ? ranges[i].defaults[0] : 0.0;
}

Waveform resolve_waveform(std::string_view name) {
  Waveform w;
  w.row = find_modulation(name);
  if (w.row != nullptr) {
    w.family = &family_of(w.row->family_id);
    w.variant = w.row->route;
    if (w.row->kind == SignalKind::analog) return w;
  }
  try {
    const std::optional<DigitalRoute> route = find_digital_route(name);
    if (!route) return w;
    // The prefix rules ("QAM<n>", "APSK<n>") make linear names.
    if (w.family == nullptr) w.family = &linear_family;
    w.variant = route->modulator;
    w.order = route->alphabet;
    w.rings = route->rings;
  } catch (const std::exception&) {
    w.fault = std::current_exception();
  }
  return w;
}

Waveform analog_waveform(Route variant) {
  Waveform w;
  w.family = &analog_family;
  w.variant = variant;
  return w;
}

WaveformRange prepare_waveform(const Waveform& w, const WaveformParameters& p) {
  if (w.fault) std::rethrow_exception(w.fault);
  if (w.family == nullptr) return [](std::int64_t, std::size_t) { return Signal{}; };
  return w.family->prepare(w, p);
}

DrawnParameters drawn_parameters(const Waveform& w) { return w.family != nullptr ? w.family->draws(w) : DrawnParameters{}; }

double waveform_bits_per_symbol(const Waveform& w, std::span<const double> draws) {
  if (!is_digital(w)) return 0.0;
  if (w.family->bits_per_symbol != nullptr) return w.family->bits_per_symbol(w, draws);
  return w.order > 1 ? std::log2(static_cast<double>(w.order)) : 0.0;
}

}  // namespace quorvin
