#pragma once
// The channel as one table of stages, as the signal families are one (generator/family.h). Each
// stage is declared once, in its own file here: its options, its draws and their engine slot, its
// labels, its side, how it flows, its margins and what it does to the samples. A single file's
// chain, a scene's emitters and capture, the channel's path, the option table and every label
// writer loop over the table; none names a stage.
//
// Adding an impairment: a file plan/stages/<name>.cpp defining one ChannelStage, and its line in
// the table (plan/stages/table.cpp) at its place in the chain; its settings in
// ImpairmentSettings, its draws in ImpairmentDraws, and the next free StageSlot.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "channel/gaussian.h"
#include "channel/impairments.h"
#include "common/signal.h"
#include "plan/exact_option_rows.h"
#include "plan/label_kinds.h"
#include "plan/plan.h"
#include "plan/settings.h"

namespace quorvin {

// The engine slot of a stage's values: its per-file draws come from derive_impairment_seed(...,
// slot), its random process (the fading's sinusoids, the phase-noise walk) from stage_seed(noise
// seed, slot), so turning one stage on changes no other stage's values. The slots are the order
// the stages were added in, which their options (the help, the first refusal) and their labels
// (the manifest's columns) keep; a new stage takes the next one.
enum class StageSlot : std::uint32_t {
  fading = 1,
  carrier_phase = 2,
  phase_noise = 3,
  clock = 4,
  iq_imbalance = 5,
  dc_offset = 6,
  amplifier = 7,
  quantisation = 8,
  analog_carrier = 9,  // no stage's: an exact analog file's carrier, its offset and its message phase
};

// Where a stage stands: in each emitter (once per signal, before the signals are summed) or in
// the receiver (once per capture, on the sum). A single file is one emitter in its own capture.
enum class StageSide { transmitter, receiver };

// How a stage takes its samples, from the least demanding: sample by sample in blocks of any
// size; block by block at a level set by its input's power over the whole burst (a first pass sums
// the waveform's: such a stage stands first in the chain); or all at once.
enum class StageFlow { block, burst, whole };

// Samples a signal's stages read before and after the file's: the channel's sample `before` is the
// file's first.
struct StageMargins {
  std::size_t before = 0;
  std::size_t after = 0;
};

// Samples of margin the band-limited interpolation (fractional delays, the sample clock) reads on
// each side of a position.
inline constexpr std::size_t interpolation_margin = 17;

// Margins that cover both.
inline StageMargins covering(StageMargins a, StageMargins b) {
  return {a.before > b.before ? a.before : b.before, a.after > b.after ? a.after : b.after};
}

// One quantity a stage records of the channel over a file (--save-channel), named once for every
// writer: the companion "<stem>.<name>.npy", the container's "channel_<name>", Python's key.
struct ChannelTrack {
  std::string_view name;    // "taps"
  std::string_view key;     // Python's: "fading_taps"
  std::string_view report;  // the report's "Channel taps saved to ..."
  bool complex = false;     // rows of complex gains (complex64 in files); else one real row (float64)
  // Its rows in a file of these draws, or at most in any file of the run (draws nullptr); 0: none.
  std::size_t (*rows)(const ImpairmentSettings& settings, const ImpairmentDraws* draws) = nullptr;
};

// A track's values over a file at the channel's samples 0 .. count - 1 from the file's first.
struct TrackValues {
  const ChannelTrack* track = nullptr;
  std::vector<std::vector<Sample>> rows;  // a complex track's, one row per tap
  std::vector<double> real;               // a real track's
};

// The channel as it varied over a file, for users who train equalisers and trackers: each
// recording stage's track (the fading taps' complex gains; the carrier's phase, the drawn carrier
// phase plus the phase-noise walk, radians), in the chain's order, where the file drew the stage
// and has a seed of its own.
struct ChannelPath {
  std::vector<TrackValues> tracks;
  // The track `name`, nullptr where the file has none.
  const TrackValues* find(std::string_view name) const;
};

// What the stages act with on one signal: a single file's, an emitter's or a capture's.
struct StageRun {
  const RunSettings& settings;
  const ImpairmentDraws& draws;  // the file's, the emitter's or the capture's
  std::uint64_t noise_seed = 0;  // of the same: its stages' random processes are seeded from it
  std::size_t length = 0;        // the file's samples
  StageMargins margins = {};
  std::size_t at = 0;            // the channel sample of the signal's first
  double carrier_offset = 0.0;   // Hz, the carrier is moved by
  Sample gain = 1.0;             // an emitter's amplitude and carrier phase, taken into the offset's phasors
  // The phase the receiver turns the carrier by besides its walk: a single file's drawn carrier
  // phase; none in a scene, whose emitters carry theirs in their gains.
  std::optional<double> carrier_phase = std::nullopt;
  // A scene emitter's burst, channel samples first .. last (exclusive); none for a single file.
  std::optional<std::array<double, 2>> burst = std::nullopt;
  // The |x|^2 of a burst-flow stage's input summed over the whole burst, and its samples on the air (not 0),
  // where the signal comes block by block; none where it comes whole.
  std::optional<double> burst_energy = std::nullopt;
  std::size_t burst_samples = 0;
  // The receiver's noise, as the chain's owner adds it (a file's SNR, a scene's floor or its
  // recording); none: no noise.
  std::function<void(Signal&, const StageRun&)> noise = nullptr;
};

// One label of a stage, as file_parameters lists it (synthesis/parameters.h).
struct StageLabel {
  ParameterKind kind;
  std::optional<ParameterValue> (*value)(const FileFacts& facts);  // nothing where the file has none
};

// The engines of one file's stage draws, one per slot.
struct StageDraws {
  GaussianSource source;
  double uniform(double lo, double hi) { return lo + source.next_uniform() * (hi - lo); }
};
struct StageKey {
  std::uint32_t draw_seed;
  std::string_view modulation;
  std::int32_t index;
  StageDraws engine(StageSlot slot) const;
};

// The band a run's settings may let a signal reach, Hz around its centre, as the band check reads
// it, and the options its refusal names beyond the sample rate (marked, common/text.h).
struct SettingsReach {
  double low;
  double high;
  std::string options;
};

struct ChannelStage {
  std::string_view name;  // "IQ imbalance and DC offset"
  StageSide side;
  StageFlow flow;
  std::span<const StageSlot> slots;   // its engines; the first orders its options and labels
  std::span<const ExactRow> options;  // its rows of the option table (plan/exact_options.h)
  std::span<const StageLabel> labels;
  // Whether it acts on this signal.
  bool (*on)(const StageRun& run);
  // Its action on the signal, which starts at channel sample run.at; a block stage's on any block.
  void (*apply)(Signal& signal, const StageRun& run);
  // The file's values from the run's settings, each slot's from its own engine; nullptr: none.
  void (*draw)(const ImpairmentSettings& settings, const StageKey& key, ImpairmentDraws& into) = nullptr;
  // Copies the draws a receiver's stage takes from the capture (`from`) into a signal of it.
  void (*take)(const ImpairmentDraws& from, ImpairmentDraws& into) = nullptr;
  // Samples it reads beyond the file's `length`; nullptr: none.
  StageMargins (*margins)(const ImpairmentSettings& settings, const ImpairmentDraws& draws, std::size_t length) = nullptr;
  // What it records of the channel, and its track at channel samples first .. first + count - 1
  // (`values.track` set); nullptr: none.
  const ChannelTrack* track = nullptr;
  void (*path)(TrackValues& values, const StageRun& run, std::size_t first, std::size_t count) = nullptr;
  // Hz it moves the file's carrier by before the sample clock, where it does; nullptr: none.
  std::optional<double> (*carrier_shift)(const ImpairmentSettings& settings, const ImpairmentDraws& draws) = nullptr;
  // The band around the signal's centre, Hz, as it leaves the band `band`; nullptr: unchanged.
  BandEdges (*band)(const ImpairmentDraws& draws, BandEdges band) = nullptr;
  // The band the widest draws of `settings` leave, from the band `reach` they are given; nullptr:
  // unchanged.
  void (*widen)(const ImpairmentSettings& settings, SettingsReach& reach) = nullptr;
  // Its refusal of settings that read well one by one but not together (marked text); nullptr or
  // nothing: none.
  std::optional<std::string> (*refuse)(const ImpairmentSettings& settings) = nullptr;
  // It only turns each sample by a unit phasor (and an emitter's gain): a signal's power, which
  // its SNR is counted over, is the one before it.
  bool turns_only = false;
  bool is_noise = false;  // the receiver's noise: the stages before it make the signal its SNR counts
};

// Every stage, in the chain's order: the transmitter's, then the receiver's.
std::span<const ChannelStage* const> channel_stages();

// The tracks of the channel the stages record (--save-channel), in the chain's order.
std::span<const ChannelTrack* const> channel_tracks();

// The stages in the order of their first slots: their options' and labels' order.
std::vector<const ChannelStage*> stages_by_slot();

// Which stages of the chain a run applies.
enum class StagePart {
  all,
  before_noise,  // every stage before the receiver's noise
  shaping,       // the transmitter's stages that do more than turn the samples
  turning,       // the transmitter's stages that only turn them
  receiver,
};

// Applies the stages of `part` that are on, in the chain's order, to `signal`.
void apply_stages(Signal& signal, const StageRun& run, StagePart part);

// The most demanding flow of the stages of `part` that are on (StageFlow::block for none).
StageFlow stages_flow(const StageRun& run, StagePart part = StagePart::all);

// The margins of every stage the draws turn on, for a file of `length` samples: the most before
// and the most after that any reads.
StageMargins stage_margins(const ImpairmentSettings& settings, const ImpairmentDraws& draws, std::size_t length);

// Draws every stage's values for file `key`.
ImpairmentDraws draw_stages(const ImpairmentSettings& settings, const StageKey& key);

// Puts the draws of the receiver's stages of the capture `from` in place of a signal's own.
void take_receiver_draws(const ImpairmentDraws& from, ImpairmentDraws& into);

// The draws of the stages after the receiver's noise alone: a signal of noise has no other stage.
ImpairmentDraws draws_after_noise(const ImpairmentDraws& draws);

// The seed of one stage's random process from a signal's noise seed.
std::uint64_t stage_seed(std::uint64_t noise_seed, StageSlot slot);

// A label's value from a stage's draw: nothing where the file did not draw it.
inline std::optional<ParameterValue> stage_value(const std::optional<double>& drawn) {
  return drawn ? std::optional<ParameterValue>(*drawn) : std::nullopt;
}

// The Hz the stages the draws turn on move a file's carrier by, added to `offset` in the chain's order.
double add_carrier_shifts(double offset, const ImpairmentSettings& settings, const ImpairmentDraws& draws);

// `band` (Hz around the signal's centre) as the stages the draws turn on leave it.
BandEdges stages_band(const ImpairmentDraws& draws, BandEdges band);

// Whether a range of a stage's settings is on: not 0 .. 0.
inline bool range_on(double lo, double hi) { return !(lo == 0.0 && hi == 0.0); }


// The fading channel the draws give (its taps' delays and gains, K-factor and Doppler).
FadingChannel fading_channel(const RunSettings& settings, const ImpairmentDraws& draws);

// The exact model's samples in `file`, checked against the size ceiling (throws past it).
std::size_t exact_file_length(const RunSettings& settings, const PlannedFile& file);

// The file's own signal through the stages: one emitter in its own capture, `length` samples
// with `margins` around them. Its carrier phase turns with the receiver's walk.
StageRun file_stage_run(const RunSettings& settings, const PlannedFile& file, std::size_t length, StageMargins margins,
                        std::uint64_t noise_seed);

// Samples made before and after the file for the stages that read outside it: the fading's
// delays, the clock's drift. The channel's sample `before` is the file's first.
StageMargins file_stage_margins(const RunSettings& settings, const PlannedFile& file, std::size_t length);

// The total frequency the file's carrier is moved by before the sample clock, Hz: the mixing
// frequency, the drawn frequency offset (digital and analog) and the clock's share of the RF
// frequency, rf ppm 1e-6. (The analog carrier frequency itself comes on top for analog names.)
double exact_carrier_offset(const RunSettings& settings, const PlannedFile& file);

// The fading stage's track: its taps' gains.
extern const ChannelTrack fading_track;

// The tap gains of the file's fading channel at its first sample; empty without fading.
std::vector<Sample> exact_fading_taps(const RunSettings& settings, const PlannedFile& file);

// The channel as it varied over a file (ChannelPath, plan/stages/stage.h) at the channel's samples
// 0 .. count - 1 from the file's first (at most the file's length; with a clock offset the file's
// sample k reads the channel at k (1 + ppm 1e-6)): each stage's part of it, where it drew one.
ChannelPath exact_channel_path(const RunSettings& settings, const PlannedFile& file,
                               std::size_t count = static_cast<std::size_t>(-1));

// The longest --samples-per-file whose files stay within max_samples_per_file with the margins
// of these settings' stages at the ends of their ranges (the limit itself without such a stage).
std::int64_t longest_framed_file(const ImpairmentSettings& impairments);

}  // namespace quorvin
