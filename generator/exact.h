#pragma once
// The exact signal model, in which every label is true; its families' modules (family.h) make
// the samples, and these are its calls by name or by analog variant. Every digital route
// realises its symbol rate exactly on one time base (sample k at k / fs): linear routes (PSK, QAM, APSK, Pi/4-DQPSK,
// OQPSK) are unit-energy constellation points through a pulse evaluated at the exact sample
// times; FSK, MSK and GMSK are continuous-phase modulations with exact symbol boundaries. Analog
// signals are complex baseband around their carrier. Frequencies in Hz, rates in Baud.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "common/signal.h"
#include "generator/family.h"
#include "generator/generator.h"
#include "generator/route.h"
#include "generator/waveform.h"

namespace quorvin {

// One digital file of the exact model.
struct ExactDigitalParameters {
  double symbol_rate = 0.0;
  double sample_rate = 0.0;
  std::int64_t num_samples = 0;      // the file's length
  double start_offset = 0.0;         // symbol periods between symbol 0's instant and sample 0
  double snr_db = 0.0;               // per-sample SNR of unit nominal power over the whole band; +inf: none
  double mix_frequency = 0.0;
  double timing_error = 0.0;         // symbol periods of linear clock drift over the file
  double frequency_offset = 0.0;
  PulseShape pulse = PulseShape::rrc;
  double rolloff = 0.35;
  std::int32_t filter_span = 10;     // symbols; the pulse is truncated to +-span/2
  double fsk_index = 1.0;
  double gmsk_bt = 0.3;
  DigitalSeeds seeds;
  // Extra samples made before sample 0 and after the file's last, for stages that look beyond
  // the file (delays, clock offsets); they follow the same time base.
  std::size_t pad_before = 0;
  std::size_t pad_after = 0;
};

// The digital waveform of `p` as ranges; a name that routes nowhere (or an analog one) makes
// empty ranges. Throws
// as generate_exact_digital.
WaveformRange prepare_exact_digital(std::string_view name, const ExactDigitalParameters& p);

// The digital waveform alone, clean and unshifted: pad_before + num_samples + pad_after samples,
// the file's sample 0 at index pad_before. Throws as generate_exact_digital.
Signal exact_digital_waveform(std::string_view name, const ExactDigitalParameters& p);

// num_samples samples of a digital name: unit mean power before the channel, symbol n's instant
// at time (n - start_offset) / symbol_rate (the drift added), every filter filled (steady state),
// then mixed and offset, and white noise of power 10^(-snr_db / 10) (see add_white_noise). Empty
// for a name that routes nowhere.
// Throws std::length_error past the per-file ceiling, std::invalid_argument for a negative
// length or a rate that is not positive and finite.
Signal generate_exact_digital(std::string_view name, const ExactDigitalParameters& p);

// One analog file of the exact model.
struct ExactAnalogParameters {
  Route route = Route::cw;  // am, am_ssb, fm or cw
  double amplitude = 0.0;   // of the carrier (AM, FM, CW) or of the single sideband's tone
  double carrier_frequency = 0.0;
  double message_frequency = 0.0;
  double deviation = 0.0;  // FM's peak frequency deviation
  double am_index = 1.0;
  double message_phase = 0.0;  // radians, the message's phase at t = 0
  Sideband sideband = Sideband::lower;
  double sample_rate = 0.0;
  std::int64_t num_samples = 0;
  double mix_frequency = 0.0;
  double frequency_offset = 0.0;  // the carrier's offset, Hz
  double snr_db = 0.0;            // per-sample SNR over the whole band, of unit nominal power
  std::optional<Seed> noise_seed = std::nullopt;
  std::size_t pad_before = 0;  // as ExactDigitalParameters
  std::size_t pad_after = 0;
};

// The analog waveform of `p` as ranges.
WaveformRange prepare_exact_analog(const ExactAnalogParameters& p);

// The analog waveform alone, clean and unmixed, with its margins (as exact_digital_waveform).
Signal exact_analog_waveform(const ExactAnalogParameters& p);

// num_samples complex baseband samples at t = k / fs, mixed, then white noise at snr_db (relative
// to unit power), with phi the message phase:
//   AM  A (1 + index sin(2 pi fm t + phi)) e^{j 2 pi fc t}
//   SSB A e^{j (2 pi fc t -+ (2 pi fm t + phi))} (lower -, upper +: the message cos(2 pi fm t + phi)
//       minus or plus j times its Hilbert transform, around the carrier)
//   FM  A e^{j (2 pi fc t + (deviation / fm) (cos phi - cos(2 pi fm t + phi)))} (the message
//       sin(2 pi fm t + phi) integrated from t = 0)
//   CW  A e^{j 2 pi fc t}
Signal generate_exact_analog(const ExactAnalogParameters& p);

}  // namespace quorvin
