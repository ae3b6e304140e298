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

// One sample of a variant at carrier phase `carrier` and message phase `message` (radians).
using AnalogSample = Sample (*)(const WaveformParameters& p, double carrier, double message);

Sample am_sample(const WaveformParameters& p, double carrier, double message) {
  return p.amplitude * (1.0 + p.am_index * std::sin(message)) * unit_phasor(carrier);
}

Sample ssb_sample(const WaveformParameters& p, double carrier, double message) {
  const double sign = p.sideband == Sideband::lower ? -1.0 : 1.0;
  return p.amplitude * unit_phasor(carrier + sign * message);
}

Sample lsb_sample(const WaveformParameters& p, double carrier, double message) {
  return p.amplitude * unit_phasor(carrier - message);
}

Sample usb_sample(const WaveformParameters& p, double carrier, double message) {
  return p.amplitude * unit_phasor(carrier + message);
}

// The message times the carrier alone, sqrt(2) so that a unit amplitude has unit power.
Sample dsb_sc_sample(const WaveformParameters& p, double carrier, double message) {
  return p.amplitude * std::sqrt(2.0) * std::sin(message) * unit_phasor(carrier);
}

Sample fm_sample(const WaveformParameters& p, double carrier, double message) {
  return p.amplitude * unit_phasor(carrier + p.deviation / p.message_frequency * (std::cos(p.message_phase) - std::cos(message)));
}

Sample cw_sample(const WaveformParameters& p, double carrier, double) { return p.amplitude * unit_phasor(carrier); }

AnalogSample sample_of(Route variant) {
  switch (variant) {
    case Route::am: return am_sample;
    case Route::am_ssb: return ssb_sample;
    case Route::fm: return fm_sample;
    case Route::am_dsb_sc: return dsb_sc_sample;
    case Route::am_lsb: return lsb_sample;
    case Route::am_usb: return usb_sample;
    default: return cw_sample;
  }
}

WaveformRange prepare(const Waveform& w, const WaveformParameters& p) {
  require_length(p.num_samples);
  require_rate(p.sample_rate, "the sample rate");
  require_sample_count(static_cast<double>(p.num_samples) + static_cast<double>(p.pad_before) + static_cast<double>(p.pad_after));
  return [p, sample = sample_of(w.variant)](std::int64_t first, std::size_t count) {
    Signal out(count);
    for (std::size_t j = 0; j < out.size(); ++j) {
      const double t = static_cast<double>(first + static_cast<std::int64_t>(j)) / p.sample_rate;
      out[j] = sample(p, 2.0 * pi * p.carrier_frequency * t, 2.0 * pi * p.message_frequency * t + p.message_phase);
    }
    return out;
  };
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
          .am_index = w.variant == Route::am,
          .sideband = w.variant == Route::am_ssb,
          .deviation = w.variant == Route::fm};
}

}  // namespace

const SignalFamily analog_family{"analog", true, prepare, band, draws, nullptr};

}  // namespace quorvin
