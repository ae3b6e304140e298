// The analog family: AM, AM-SSB, AM-DSB-SC, AM-LSB, AM-USB, FM and CW as complex baseband around
// their carrier.

#include <algorithm>
#include <cmath>
#include <string>

#include "common/limits.h"
#include "generator/family.h"
#include "generator/time_base.h"

namespace quorvin {
namespace {

// AM's index is drawn where it always was, after the message's frequency, and told after the
// carrier's labels.
constexpr FamilyRange analog_ranges[] = {
    {.key = "am_index", .label = "AM Index", .help = "AM modulation index", .defaults = {1.0, 1.0}, .low = 0.0, .high = 100.0,
     .slot = RangeSlot::message, .labelled_after = "sideband", .options_after = "--message-frequency-max",
     .helps = {"lowest AM modulation index drawn (exact)", "highest AM modulation index drawn (exact)"}},
};
enum Draw : std::size_t { am_index };

// One sample's phases (radians): the carrier's, the message's, the message's phasor (cos, sin)
// where the variant reads it, and the message's cosine at t = 0; with the file's AM index.
struct AnalogPhases {
  double carrier = 0.0;
  double message = 0.0;
  Sample message_phasor;
  double message_start_cos = 0.0;
  double am_index = 0.0;
};

// A variant's sample is a level times the unit phasor at an angle.
struct AnalogVariant {
  bool reads_message_phasor = false;
  double (*angle)(const WaveformParameters& p, const AnalogPhases& x);
  double (*level)(const WaveformParameters& p, const AnalogPhases& x);
  // Phase modulation: every phasor by the vector phasors in every file, as the keyed names'.
  bool phase_only = false;
};

double carrier_alone(const WaveformParameters&, const AnalogPhases& x) { return x.carrier; }
double amplitude(const WaveformParameters& p, const AnalogPhases&) { return p.amplitude; }

constexpr AnalogVariant am_variant{true, carrier_alone, [](const WaveformParameters& p, const AnalogPhases& x) {
                                     return p.amplitude * (1.0 + x.am_index * x.message_phasor.imag());
                                   }};
constexpr AnalogVariant ssb_variant{false,
                                    [](const WaveformParameters& p, const AnalogPhases& x) {
                                      const double sign = p.sideband == Sideband::lower ? -1.0 : 1.0;
                                      return x.carrier + sign * x.message;
                                    },
                                    amplitude};
constexpr AnalogVariant lsb_variant{
    false, [](const WaveformParameters&, const AnalogPhases& x) { return x.carrier - x.message; }, amplitude};
constexpr AnalogVariant usb_variant{
    false, [](const WaveformParameters&, const AnalogPhases& x) { return x.carrier + x.message; }, amplitude};
// The message times the carrier alone, sqrt(2) so that a unit amplitude has unit power.
constexpr AnalogVariant dsb_sc_variant{true, carrier_alone, [](const WaveformParameters& p, const AnalogPhases& x) {
                                         return p.amplitude * std::sqrt(2.0) * x.message_phasor.imag();
                                       }};
constexpr AnalogVariant fm_variant{true,
                                   [](const WaveformParameters& p, const AnalogPhases& x) {
                                     return x.carrier + p.deviation / p.message_frequency * (x.message_start_cos - x.message_phasor.real());
                                   },
                                   amplitude, true};
constexpr AnalogVariant cw_variant{false, carrier_alone, amplitude};

// Each variant's range its own instance, so that its angle and level are inlined.
template <const AnalogVariant& v>
WaveformRange analog_range(const WaveformParameters& p) {
  return [p, start = std::cos(p.message_phase), index = range_draw(analog_ranges, p.family_draws, am_index)](std::int64_t first,
                                                                                                        std::size_t count) {
    std::vector<double> carrier(count);
    std::vector<double> message(count);
    for (std::size_t j = 0; j < count; ++j) {
      const double t = static_cast<double>(first + static_cast<std::int64_t>(j)) / p.sample_rate;
      carrier[j] = 2.0 * pi * p.carrier_frequency * t;
      message[j] = 2.0 * pi * p.message_frequency * t + p.message_phase;
    }
    const PhasorMath math = v.phase_only ? PhasorMath::polynomial : p.phasors;
    Signal message_phasor(v.reads_message_phasor ? count : 0);
    unit_phasors(std::span(message).first(message_phasor.size()), message_phasor, math);
    const auto phases = [&](std::size_t j) {
      return AnalogPhases{carrier[j], message[j], v.reads_message_phasor ? message_phasor[j] : Sample(), start, index};
    };
    std::vector<double> angle(count);
    for (std::size_t j = 0; j < count; ++j) angle[j] = v.angle(p, phases(j));
    Signal out(count);
    unit_phasors(angle, out, math);
    for (std::size_t j = 0; j < count; ++j) out[j] = v.level(p, phases(j)) * out[j];
    return out;
  };
}

WaveformRange prepare(const Waveform& w, const WaveformParameters& p) {
  require_length(p.num_samples);
  require_rate(p.sample_rate, "the sample rate");
  require_sample_count(static_cast<double>(p.num_samples) + static_cast<double>(p.pad_before) + static_cast<double>(p.pad_after));
  switch (w.variant) {
    case Route::am: return analog_range<am_variant>(p);
    case Route::am_ssb: return analog_range<ssb_variant>(p);
    case Route::fm: return analog_range<fm_variant>(p);
    case Route::am_dsb_sc: return analog_range<dsb_sc_variant>(p);
    case Route::am_lsb: return analog_range<lsb_variant>(p);
    case Route::am_usb: return analog_range<usb_variant>(p);
    default: return analog_range<cw_variant>(p);
  }
}

// The band of one side's choice relative to the carrier: AM and DSB-SC the message either side,
// a single sideband on its side, FM Carson's rule, CW a line.
BandEdges edges(Route route, double message_frequency, double deviation, Sideband sideband) {
  const double fm = std::abs(message_frequency);
  switch (route) {
    case Route::am:
    case Route::am_dsb_sc: return {-fm, fm};
    case Route::am_lsb: return {-fm, 0.0};
    case Route::am_usb: return {0.0, fm};
    case Route::am_ssb: return sideband == Sideband::lower ? BandEdges{-fm, 0.0} : BandEdges{0.0, fm};
    case Route::fm: return {-(std::abs(deviation) + fm), std::abs(deviation) + fm};
    default: return {};
  }
}

FamilyBand band(const Waveform& w, const BandLimits& x) {
  BandEdges e = edges(w.variant, x.message_frequency, x.deviation, x.sideband.value_or(Sideband::lower));
  // AM-SSB drawing its side per file may take either.
  if (!x.sideband) e.high = std::max(e.high, edges(w.variant, x.message_frequency, x.deviation, Sideband::upper).high);
  std::string options = "{--analog-fc} (or {--analog-fc-min/max}), {--frequency-offset-min/max}, {--mix-frequency}";
  if (w.variant != Route::cw) options += ", {--message-frequency-max}";
  if (w.variant == Route::fm) options += ", {--analog-deviation}";
  return {e, options};
}

DrawnParameters draws(const Waveform& w) {
  return {.message = w.variant != Route::cw,
          .sideband = w.variant == Route::am_ssb,
          .deviation = w.variant == Route::fm,
          .ranges = w.variant == Route::am ? 1U << am_index : 0U};
}

// Every file has unit nominal power whatever its class: AM's carrier is scaled by
// 1 / sqrt(1 + m^2 / 2), the others' envelopes are 1.
double carrier_amplitude(const Waveform& w, std::span<const double> draws) {
  if (w.variant != Route::am) return 1.0;
  const double m = range_draw(analog_ranges, draws, am_index);
  return 1.0 / std::sqrt(1.0 + m * m / 2.0);
}

}  // namespace

const SignalFamily analog_family{.name = "analog", .analog = true, .prepare = prepare, .band = band, .draws = draws,
                                 .modulation_index = nullptr, .ranges = analog_ranges, .carrier_amplitude = carrier_amplitude};

}  // namespace quorvin
