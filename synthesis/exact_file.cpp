#include "synthesis/exact_file.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>

#include "channel/impairments.h"
#include "channel/noise.h"
#include "common/limits.h"
#include "generator/family.h"
#include "generator/symbols.h"
#include "plan/stages/stage.h"
#include "synthesis/parameters.h"
#include "synthesis/scene.h"

namespace quorvin {
namespace {

// Cells of fs / a gate's samples beyond which a gated line keeps at most 0.5 % of its power on
// either side: a gate's envelope (a rectangle with short ramps) leaves about 1 / (pi^2 k) beyond
// k cells on each side.
constexpr double analog_line_cells = 20.0;

// The sum of |x|^2 over `samples`, in order.
double signal_energy(std::span<const Sample> samples) {
  double energy = 0.0;
  for (const Sample& x : samples) energy += std::norm(x);
  return energy;
}

// What the file's family reads: its draws, its length and the margins made around it.
WaveformParameters waveform_range_parameters(const RunSettings& s, const PlannedFile& file, std::int64_t length,
                                             std::size_t before, std::size_t after, PhasorMath phasors = PhasorMath::library) {
  return {.sample_rate = s.sample_rate,
          .num_samples = length,
          .pad_before = before,
          .pad_after = after,
          .symbol_rate = file.symbol_rate,
          .start_offset = file.start_offset,
          .timing_error = file.timing_error,
          .pulse = s.exact.pulse,
          .filter_span = s.exact.filter_span,
          .symbol_seed = file.seeds.symbols,
          .family_draws = file.family_draws,
          .payload = file.payload,
          .amplitude = file.amplitude,
          .carrier_frequency = file.carrier_frequency,
          .message_frequency = file.message_frequency,
          .deviation = s.analog_deviation,
          .message_phase = file.message_phase,
          .sideband = file.sideband,
          .phasors = phasors};
}

// The file's clean waveform from its family; each family reads its own draws.
WaveformRange waveform_range(const RunSettings& s, const PlannedFile& file, std::int64_t length, std::size_t before,
                             std::size_t after, PhasorMath phasors = PhasorMath::library) {
  return prepare_waveform(waveform_of(file), waveform_range_parameters(s, file, length, before, after, phasors));
}

// The level of the receiver's noise, dB below the unit nominal power: the file's SNR, except for a
// file without a signal, whose SNR is minus infinity and whose noise has the power it drew.
double noise_snr_db(const PlannedFile& file) {
  return is_silent(waveform_of(file)) ? -10.0 * std::log10(file.noise_power) : file.snr_db;
}



// Whether every stage the file drew works sample by sample: only then can it be made in blocks.
bool streams(const RunSettings& s, const PlannedFile& file) {
  return stages_flow(file_stage_run(s, file, 0, {}, 0)) == StageFlow::block;
}

void emit_in_blocks(const Signal& signal, const SampleSink& sink) {
  for (std::size_t at = 0; at < signal.size(); at += exact_block_samples) {
    sink(std::span<const Sample>(signal).subspan(at, std::min(exact_block_samples, signal.size() - at)));
  }
}

// Waveform and the block stages (the carrier offset, the noise) block by block: the same values, to
// the bit, as the whole chain of stages. The noise's level is set by the nominal power, so nothing
// needs the whole file. The settings and the file are the caller's, which outlive the stream.
struct PlainChain {
  const RunSettings* settings;
  const PlannedFile* file;
  WaveformRange waveform;
  std::size_t length;
  double snr_db;
  std::uint64_t noise_seed;
  std::string power_key;  // signal_power_key, where the file's signal power is remembered; empty: not
};

// Files whose signal power its labels measure (exact_signal_power): those with seeds of their own.
bool measured(const PlannedFile& file) {
  return file.seeds.noise && (file.seeds.symbols || !is_digital(waveform_of(file)));
}

// Hands the signal power of a file of `length` samples, whose signal's |x|^2 summed to `energy`,
// to its labels.
void remember_power(const std::string& key, double energy, std::size_t length) {
  if (key.empty() || length == 0) return;
  remembered_measure(key, [&] { return std::optional<double>(energy / static_cast<double>(length)); });
}

void emit_plain_file(const PlainChain& c, const SampleSink& sink) {
  const bool noisy = c.snr_db != std::numeric_limits<double>::infinity();
  const double sigma = noisy ? noise_deviation(1.0, c.snr_db) : 0.0;
  NoiseSource source(c.noise_seed);
  StageRun run = file_stage_run(*c.settings, *c.file, c.length, {}, c.noise_seed);
  if (noisy) run.noise = [&source, sigma](Signal& samples, const StageRun&) { samples = add_deviates(std::move(samples), sigma, source); };
  double energy = 0.0;
  for (std::size_t at = 0; at < c.length; at += exact_block_samples) {
    Signal samples = c.waveform(static_cast<std::int64_t>(at), std::min(exact_block_samples, c.length - at));
    // The stages before the noise only turn the samples: the waveform's power is the file's.
    if (!c.power_key.empty()) energy += signal_energy(samples);
    run.at = at;
    apply_stages(samples, run, StagePart::all);
    sink(samples);
  }
  remember_power(c.power_key, energy, c.length);
}


// The file's signal with the margins its stages read, channel sample 0 first.
Signal channel_signal(const RunSettings& s, const PlannedFile& file, std::size_t length, StageMargins margins) {
  const auto [before, after] = margins;
  return waveform_range(s, file, static_cast<std::int64_t>(length), before, after)(-static_cast<std::int64_t>(before),
                                                                                    length + before + after);
}

// The signal as the file's samples hold it before the receiver's noise: every stage before it on
// the whole signal, for files whose stages need it whole.
Signal transmitted_whole_file(const RunSettings& s, const PlannedFile& file, std::size_t length, std::uint64_t noise_seed) {
  const StageMargins margins = file_stage_margins(s, file, length);
  Signal signal = channel_signal(s, file, length, margins);
  apply_stages(signal, file_stage_run(s, file, length, margins, noise_seed), StagePart::before_noise);
  return signal;
}

// Every stage on the whole signal, for files whose stages need it whole.
Signal synthesize_whole_file(const RunSettings& s, const PlannedFile& file, std::size_t length) {
  const std::uint64_t noise_seed = file.seeds.noise ? *file.seeds.noise : device_seed();
  const StageMargins margins = file_stage_margins(s, file, length);
  StageRun run = file_stage_run(s, file, length, margins, noise_seed);
  run.noise = [&](Signal& signal, const StageRun&) {
    if (measured(file)) remember_power(signal_power_key(s, file), signal_energy(signal), length);
    signal = add_white_noise(std::move(signal), noise_snr_db(file), noise_seed);
  };
  Signal signal = channel_signal(s, file, length, margins);
  apply_stages(signal, run, StagePart::all);
  return signal;
}

}  // namespace

WaveformRange exact_waveform_range(const RunSettings& s, const PlannedFile& file, std::int64_t length, std::size_t before,
                                   std::size_t after, PhasorMath phasors) {
  return waveform_range(s, file, length, before, after, phasors);
}



Signal synthesize_exact_file(const RunSettings& s, const PlannedFile& file) {
  const SampleStream stream = prepare_exact_file(s, file);
  Signal whole;
  whole.reserve(stream.length);
  stream.emit([&whole](std::span<const Sample> block) { whole.insert(whole.end(), block.begin(), block.end()); });
  return whole;
}

SampleStream prepare_exact_file(const RunSettings& s, const PlannedFile& file) {
  const std::size_t length = exact_file_length(s, file);
  if (streams(s, file)) {
    // Everything that may refuse the file (its rates, its length) is checked here, before a block.
    PlainChain chain{&s, &file, waveform_range(s, file, static_cast<std::int64_t>(length), 0, 0), length, noise_snr_db(file),
                     file.seeds.noise ? *file.seeds.noise : device_seed(), measured(file) ? signal_power_key(s, file) : std::string()};
    return {length, [chain = std::move(chain)](const SampleSink& sink) { emit_plain_file(chain, sink); }};
  }
  auto whole = std::make_shared<const Signal>(synthesize_whole_file(s, file, length));
  return {length, [whole](const SampleSink& sink) { emit_in_blocks(*whole, sink); }};
}

double exact_held_samples(const RunSettings& s, const PlannedFile& file) {
  const double samples = std::max(0.0, exact_file_samples(s, file));
  if (!streams(s, file)) return samples;
  return std::min(samples, static_cast<double>(exact_block_samples));
}


double exact_total_carrier_offset(const RunSettings& s, const PlannedFile& file) {
  const double carrier = is_analog(waveform_of(file)) ? file.carrier_frequency : 0.0;
  const double clock = clock_factor(file.impairments);
  return (carrier + exact_carrier_offset(s, file)) * clock - carrier;
}

std::optional<double> exact_signal_power(const RunSettings& s, const PlannedFile& file) {
  if (!measured(file)) return std::nullopt;
  const std::size_t length = exact_file_length(s, file);
  if (length == 0) return std::nullopt;
  double energy = 0.0;
  if (streams(s, file)) {
    // The carrier's offset turns each sample by a unit phasor: the waveform's power is the file's.
    // Summed block by block, as a streamed file's samples are made.
    const WaveformRange waveform = waveform_range(s, file, static_cast<std::int64_t>(length), 0, 0);
    for (std::size_t at = 0; at < length; at += exact_block_samples) {
      energy += signal_energy(waveform(static_cast<std::int64_t>(at), std::min(exact_block_samples, length - at)));
    }
  } else {
    energy = signal_energy(transmitted_whole_file(s, file, length, *file.seeds.noise));
  }
  return energy / static_cast<double>(length);
}

BandEdges exact_occupied_band(const RunSettings& s, const PlannedFile& f) {
  const Waveform w = waveform_of(f);
  if (w.family == nullptr) return {};
  FamilyRanges own;
  for (std::size_t i = 0; i < w.family->ranges.size() && i < f.family_draws.size(); ++i) {
    own[std::string(w.family->ranges[i].key)] = {f.family_draws[i], f.family_draws[i]};
  }
  const double length = exact_file_samples(s, f);
  const double drift = length > 0.0 ? f.timing_error * s.sample_rate / length : 0.0;
  const double rate = std::max(std::abs(f.symbol_rate), std::abs(f.symbol_rate + drift));
  BandEdges edges = w.family->band(w, {.symbol_rate = rate,
                                       .pulse = s.exact.pulse,
                                       .message_frequency = f.message_frequency,
                                       .deviation = s.analog_deviation,
                                       .sideband = f.sideband,
                                       .family_ranges = &own,
                                       .sample_rate = s.sample_rate})
                          .edges;
  return stages_band(f.impairments, edges);
}

BandEdges exact_resolved_band(const RunSettings& s, const PlannedFile& f, std::int64_t samples) {
  BandEdges band = exact_occupied_band(s, f);
  const double cell = s.sample_rate / static_cast<double>(samples);
  const double narrowest = 2.0 * cell;
  if (is_analog(waveform_of(f))) {
    band = {band.low - analog_line_cells * cell, band.high + analog_line_cells * cell};
  } else if (band.high - band.low < narrowest) {
    const double middle = (band.low + band.high) / 2.0;
    band = {middle - narrowest / 2.0, middle + narrowest / 2.0};
  }
  return band;
}

BandEdges exact_file_band(const RunSettings& s, const PlannedFile& f) {
  const Waveform w = waveform_of(f);
  if (w.family == nullptr || is_silent(w)) return {};
  const double length = exact_file_samples(s, f);
  const BandEdges band = exact_resolved_band(s, f, static_cast<std::int64_t>(std::max(1.0, length)));
  const double centre = is_analog(w) ? f.carrier_frequency : 0.0;
  const double offset = exact_carrier_offset(s, f);
  const double clock = clock_factor(f.impairments);
  const double half = s.sample_rate / 2.0;
  return {std::max(-half, (centre + offset + band.low) * clock), std::min(half, (centre + offset + band.high) * clock)};
}



TransmittedSymbols exact_file_symbols(const RunSettings& s, const PlannedFile& file) {
  const Waveform w = waveform_of(file);
  if (!is_digital(w)) return {};
  const std::size_t length = exact_file_length(s, file);
  // The margins the samples were made with: Pi/4-DQPSK's points follow from its first symbol.
  const StageMargins margins = streams(s, file) ? StageMargins{} : file_stage_margins(s, file, length);
  const double clock = clock_factor(file.impairments);
  const SymbolReach reach{0.0, length == 0 ? 0.0 : static_cast<double>(length - 1) * clock};
  TransmittedSymbols out =
      transmitted_symbols(w, waveform_range_parameters(s, file, static_cast<std::int64_t>(length), margins.before, margins.after),
                          reach);
  // File sample k reads the waveform at k (1 + ppm 1e-6); without an offset, nothing to divide.
  if (clock != 1.0) {
    for (TransmittedSymbol& symbol : out.symbols) symbol.instant /= clock;
  }
  return out;
}


double ci16_full_scale(const PlannedFile& file, double peak) {
  double power = 1.0;
  if (file.scene) {
    power = scene_nominal_power(*file.scene);
  } else if (is_silent(waveform_of(file))) {
    power = file.noise_power;
  } else if (std::isfinite(file.snr_db)) {
    power += std::pow(10.0, -file.snr_db / 10.0);
  }
  // Files whose peaks stay one level below the nominal full scale keep it, and their bytes.
  return std::max(4.0 * std::sqrt(power), peak * 32767.0 / 32766.0);
}

FrameFacts exact_file_frames(const RunSettings& s, const PlannedFile& file) {
  const Waveform w = waveform_of(file);
  if (w.family == nullptr || w.family->frames == nullptr) return {};
  const std::size_t length = exact_file_length(s, file);
  FrameFacts facts = w.family->frames(w, waveform_range_parameters(s, file, static_cast<std::int64_t>(length), 0, 0));
  // File sample k reads the waveform at k (1 + ppm 1e-6), as the symbols' instants do.
  const double clock = clock_factor(file.impairments);
  for (std::array<double, 2>& span : facts.spans) span = {span[0] / clock, span[1] / clock};
  return facts;
}

}  // namespace quorvin
