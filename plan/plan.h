#pragma once
// The plan of a run: every file in order, with the parameters drawn for it.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "generator/family.h"
#include "generator/generator.h"
#include "modulation/catalogue.h"
#include "plan/draw.h"
#include "plan/settings.h"

namespace quorvin {

struct Scene;  // synthesis/scene.h

// Plan positions p with p mod count == index; the whole plan is 0/1.
struct Shard {
  std::uint32_t index = 0;  // K
  std::uint32_t count = 1;  // N
};

// The impairments drawn for one file; an absent one is off.
struct ImpairmentDraws {
  std::optional<double> fading_k = std::nullopt;  // linear; Rayleigh fading has 0
  std::optional<double> doppler = std::nullopt;   // Hz, with fading
  std::optional<double> carrier_phase = std::nullopt;  // radians
  std::optional<double> phase_noise = std::nullopt;    // Hz
  std::optional<double> clock_ppm = std::nullopt;
  std::optional<double> iq_amplitude = std::nullopt;  // dB
  std::optional<double> iq_phase = std::nullopt;      // degrees
  std::optional<double> dc_i = std::nullopt;          // fractions of the RMS
  std::optional<double> dc_q = std::nullopt;
  std::optional<double> pa_backoff = std::nullopt;  // dB
  std::optional<std::int32_t> adc_bits = std::nullopt;
};

// One file of a run and everything drawn for it. Analog files use amplitude, snr_db and
// message_frequency; digital files symbol_rate, snr_db, timing_error and frequency_offset. The
// exact model's analog files also draw their carrier, its offset, the message's phase and
// AM-SSB's side, and keep in amplitude the carrier's that gives them unit nominal power.
struct PlannedFile {
  std::string modulation;
  // The name resolved once by the plan; a file made by hand without it is resolved where used.
  std::optional<Waveform> waveform = std::nullopt;
  std::int32_t index = 1;  // 1-based within its modulation
  double amplitude = 0.0;
  double snr_db = 0.0;
  double message_frequency = 0.0;  // Hz
  double symbol_rate = 0.0;        // Baud
  double timing_error = 0.0;       // symbol periods
  double frequency_offset = 0.0;   // Hz
  DigitalSeeds seeds;              // symbol and noise seeds; none means the device's
  // The exact model's own draws, each only where the file's family reads it.
  double start_offset = 0.0;  // symbol periods, [0, 1): where a fixed-length frame starts
  double carrier_frequency = 0.0;  // Hz, the analog carrier
  double message_phase = 0.0;      // radians, the analog message's phase at the first sample
  Sideband sideband = Sideband::lower;
  // The family's own ranges' draws, one per FamilyRange of its family (0 where not drawn; none
  // for a family without ranges).
  std::vector<double> family_draws = {};
  // A standard's payload the user gave, in place of the drawn one; none: drawn.
  std::shared_ptr<const Payload> payload = nullptr;
  // Noise: the power of its noise relative to the unit nominal power (its SNR is minus infinity).
  double noise_power = 1.0;
  ImpairmentDraws impairments = {};
  // A scene's emitters, drawn by the dataset driver in scene runs (synthesis/scene.h); none otherwise.
  std::shared_ptr<const Scene> scene = nullptr;
};

// One draw of a family's range between `ends`: uniform, or for whole numbers each whole number
// between the ends equally likely (a reversed range too).
double draw_family_value(const FamilyRange& range, std::array<double, 2> ends, DrawSource& source);

// Whether the exact model draws samples per symbol rather than the symbol rate.
inline bool draws_samples_per_symbol(const ExactSettings& x) {
  return x.samples_per_symbol_min != 0.0 || x.samples_per_symbol_max != 0.0;
}

// Walks the files of a run in order (modulations in list order, indices 1 .. files), drawing
// three values per analog file and four per digital file; the exact model draws its own values
// after those. Files are drawn one at a time, so a
// run of any length needs no more memory than one file's record.
class RunPlan {
 public:
  RunPlan(RunSettings settings, std::uint32_t draw_seed);

  // The next file, or nothing when the run is complete.
  std::optional<PlannedFile> next();

  // Goes to the file at `position` (from 0) of the run, so that next() returns it, without
  // drawing the files before it: any file of a plan of any length in the same few steps.
  void seek_file(std::uint64_t position);

  // Files in the whole run.
  std::uint64_t total_files() const;

  const RunSettings& settings() const { return settings_; }

  // The first file of the run's name at `m` (from 0), drawn as a plan of that name alone seeded
  // with `seed` draws it, from the name resolved once here; the plan's place and draws stay as
  // they were, so next() goes on as before. Not for use from two threads at once.
  PlannedFile draw_first_file(std::size_t m, std::uint32_t seed);

  // The waveform of the run's name at `m` (from 0), resolved once.
  const Waveform& waveform(std::size_t m) const { return waveforms_[m]; }

 private:
  // The next file of the current name, numbered after the last.
  PlannedFile draw_file();
  double draw_symbol_rate(const std::string& name);
  void draw_exact_analog(PlannedFile& file, const DrawnParameters& uses);
  void draw_analog_carrier(PlannedFile& file, const DrawnParameters& uses) const;
  void draw_exact_digital(PlannedFile& file, const DrawnParameters& uses);
  void draw_ranges(PlannedFile& file, const DrawnParameters& uses, RangeSlot slot);
  void draw_family_ranges(PlannedFile& file, const DrawnParameters& uses);
  void draw_impairments(PlannedFile& file) const;

  // The settings the current name draws from: the run's, or its own ranges in their place.
  const RunSettings& drawing() const;

  RunSettings settings_;
  std::map<std::size_t, RunSettings> named_;  // names with ranges of their own, by position
  std::vector<Waveform> waveforms_;  // one per name of the run, in its order
  // Values one file of each modulation draws: which values a file draws depends on its family and
  // the settings only, never on the values, so every file of one modulation draws as many.
  // Counted on the first seek, by drawing one file of each.
  std::vector<std::uint64_t> draws_per_file_;
  DrawSource source_;
  std::uint32_t draw_seed_;
  std::size_t modulation_ = 0;
  std::int32_t index_ = 0;
};

// The file's waveform: the plan's, else resolved from its name.
Waveform waveform_of(const PlannedFile& file);

// Samples in an exact-model file: the fixed frame length when set, else the symbols' duration at
// the sample rate (rounded) or, for analog names and Noise, the symbol count.
double exact_file_samples(const RunSettings& settings, const PlannedFile& file);

// The sample clock's factor: the file's sample k reads the channel at k times it, 1 + ppm 1e-6.
double clock_factor(const ImpairmentDraws& draws);

// The symbol timing a digital file's samples realise, every stage that moves it counted: the
// drawn rate Rs, the timing drift tau over the file's L samples (u_k grows by Rs / fs + tau / L
// per sample) and the sample clock's offset (sample k read at k (1 + ppm 1e-6)), so
// (Rs + tau fs / L)(1 + ppm 1e-6) Baud, fs over that per symbol, and L times that over fs symbol
// periods spanned.
RealisedTiming exact_realised_timing(const RunSettings& settings, const PlannedFile& file);

}  // namespace quorvin
