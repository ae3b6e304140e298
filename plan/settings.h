#pragma once
// The settings of one run: the modulations to make and the ranges their parameters are drawn
// from. The desktop program's form and quorvin-cli's options both produce them.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "generator/family.h"
#include "generator/waveform.h"

namespace quorvin {

struct BackgroundRecording;  // synthesis/background.h

// Which waveforms a run makes: the desktop program's own (classic), or the model in which every
// label is true (exact: pulse shaping, exact symbol timing, complex baseband analog signals).
enum class SignalModel { classic, exact };
enum class SnrDefinition { sample, esn0, ebn0 };  // what the SNR range draws: per-sample SNR, Es/N0 or Eb/N0
enum class RateScale { linear, log };        // how the symbol rate's range is drawn: uniformly or log-uniformly

enum class Fading { none, rayleigh, rician };

// The sample type of SigMF recordings: complex float32, or complex int16 at a per-file full scale.
enum class SigmfDatatype { cf32_le, ci16_le };

// The exact model's channel impairments. Every one is off by default; a range of 0 .. 0 is off.
struct ImpairmentSettings {
  Fading fading = Fading::none;
  std::vector<double> fading_delays = {0.0, 1.8, 3.4};  // sample periods
  std::vector<double> fading_gains_db = {0.0, -2.0, -10.0};
  double fading_k_min = 4.0;  // Rician K-factor, linear
  double fading_k_max = 4.0;
  double doppler_min = 0.0;  // maximum Doppler frequency, Hz
  double doppler_max = 0.0;
  bool carrier_phase = false;    // a uniform random carrier phase per file
  double phase_noise_min = 0.0;  // linewidth, Hz
  double phase_noise_max = 0.0;
  double clock_ppm_min = 0.0;
  double clock_ppm_max = 0.0;
  double rf_frequency = 0.0;  // Hz; the clock's ppm moves the carrier too when given
  double iq_amplitude_min = 0.0;  // dB
  double iq_amplitude_max = 0.0;
  double iq_phase_min = 0.0;  // degrees
  double iq_phase_max = 0.0;
  double dc_offset_min = 0.0;  // fraction of the signal's RMS, I and Q each
  double dc_offset_max = 0.0;
  double pa_backoff_min = 0.0;  // dB of saturation above the RMS
  double pa_backoff_max = 0.0;
  double pa_smoothness = 2.0;   // Rapp's p
  std::int32_t adc_bits_min = 0;
  std::int32_t adc_bits_max = 0;
  double adc_backoff = 0.0;  // dB of full scale above the peak
};

// Scenes: several emitters in one capture, each with its box in time and frequency (synthesis/scene.h).
enum class SceneKind { none, wideband };
// Whether emitters may overlap: anywhere, only in time (their boxes apart: frequencies shared at
// other times), or not at all in frequency.
enum class SceneOverlap { any, boxes, none };
struct SceneSettings {
  SceneKind kind = SceneKind::none;
  std::int32_t emitters_min = 1;
  std::int32_t emitters_max = 4;
  SceneOverlap overlap = SceneOverlap::any;
  double burst_min = 0.25;  // an emitter's burst, fraction of the capture
  double burst_max = 1.0;
};

// Ranges one name draws in place of the run's ("2FSK:symbol-rate=1000..2000"); an absent one is
// the run's. A symbol-rate or samples-per-symbol range replaces both of the run's ways.
struct NameRanges {
  std::optional<std::array<double, 2>> snr;                 // dB
  std::optional<std::array<double, 2>> symbol_rate;         // Baud
  std::optional<std::array<double, 2>> samples_per_symbol;  // the rate is then the sample rate over them
};

// The exact model's own ranges and choices; ranges are drawn per file like the form's.
struct ExactSettings {
  PulseShape pulse = PulseShape::rrc;
  std::int32_t filter_span = 10;  // symbols
  SnrDefinition snr_definition = SnrDefinition::sample;
  RateScale symbol_rate_scale = RateScale::linear;
  // Samples per symbol drawn instead of the symbol rate (the rate is then the sample rate over
  // them); both 0: the symbol-rate range.
  double samples_per_symbol_min = 0.0;
  double samples_per_symbol_max = 0.0;
  // Per name, samples per symbol drawn when a run gives neither range: from the fewest at which
  // the name fits the band (2 at least) to 8 times that. Filled by the option reader.
  struct SymbolSpan {
    double fewest = 0.0;
    double most = 0.0;
  };
  std::map<std::string, SymbolSpan> fitted_samples_per_symbol;
  std::optional<Sideband> sideband = std::nullopt;  // AM-SSB's side; none: drawn per file
  // The analog carrier's range, Hz; an absent end is the run's analog carrier frequency.
  std::optional<double> analog_fc_min = std::nullopt;
  std::optional<double> analog_fc_max = std::nullopt;
  double message_frequency_min = 100.0;  // Hz
  double message_frequency_max = 2000.0;
  std::map<std::string, NameRanges, std::less<>> per_name;  // by modulation name
  FamilyRanges family_ranges;  // the families' own ranges (generator/family.h), every key given
  std::int64_t samples_per_file = 0;  // every file this long; 0: the symbol count decides
  bool save_channel = false;  // write the time-varying channel beside each file (an output choice)
  SigmfDatatype datatype = SigmfDatatype::cf32_le;  // of --format sigmf's recordings (an output choice)
  bool save_symbols = false;  // write the transmitted symbols beside each file (an output choice)
  ImpairmentSettings impairments;
  SceneSettings scene;
  // A scene's ground in place of synthetic noise (synthesis/background.h): the recording as given
  // (UTF-8; empty: none), and once a front end has opened it, the recording itself.
  std::string background;
  std::shared_ptr<const BackgroundRecording> background_recording;
  // The standards' payloads the user gave (plan/payloads.h), file k of a name sending entry k
  // (again from the first past the last); empty: drawn.
  std::vector<std::shared_ptr<const Payload>> payloads;
};

// Validated values, handed by value to the run.
struct RunSettings {
  std::vector<std::string> modulations;  // UTF-8 names, checkbox order
  bool save_settings_file = false;
  double symbol_rate_min = 0.0;
  double symbol_rate_max = 0.0;
  double sample_rate = 0.0;
  double snr_min_db = 0.0;
  double snr_max_db = 0.0;
  double timing_error_min = 0.0;
  double timing_error_max = 0.0;
  double frequency_offset_min = 0.0;
  double frequency_offset_max = 0.0;
  double mix_frequency = 0.0;
  std::int32_t files_per_modulation = 0;
  std::int32_t num_symbols = 0;
  double analog_carrier_frequency = 0.0;
  double analog_deviation = 0.0;
  double amplitude_min = 0.0;
  double amplitude_max = 0.0;
  std::u16string output_folder;
  SignalModel signal_model = SignalModel::classic;
  ExactSettings exact;
};

}  // namespace quorvin
