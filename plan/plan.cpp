#include "plan/plan.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "channel/gaussian.h"
#include "plan/exact_options.h"
#include "plan/payloads.h"
#include "plan/seeds.h"
#include "plan/stages/stage.h"

namespace quorvin {
namespace {

// A uniform draw in [0, 1): the frame's start must stay inside the first symbol period.
double draw_fraction(DrawSource& source) { return source.next() / (draw_scale + 1.0); }

}  // namespace

RunPlan::RunPlan(RunSettings settings, std::uint32_t draw_seed)
    : settings_(std::move(settings)), source_(draw_seed), draw_seed_(draw_seed) {
  for (std::size_t m = 0; m < settings_.modulations.size(); ++m) {
    const std::string& name = settings_.modulations[m];
    waveforms_.push_back(resolve_waveform(name));
    if (settings_.exact.per_name.count(name) != 0) named_.emplace(m, settings_for_name(settings_, name));
  }
}

const RunSettings& RunPlan::drawing() const {
  const auto own = named_.find(modulation_);
  return own != named_.end() ? own->second : settings_;
}

Waveform waveform_of(const PlannedFile& file) { return file.waveform ? *file.waveform : resolve_waveform(file.modulation); }

std::uint64_t RunPlan::total_files() const {
  if (settings_.files_per_modulation <= 0) return 0;
  return settings_.modulations.size() * static_cast<std::uint64_t>(settings_.files_per_modulation);
}

void RunPlan::seek_file(std::uint64_t position) {
  if (settings_.files_per_modulation <= 0) return;
  const auto files = static_cast<std::uint64_t>(settings_.files_per_modulation);
  if (draws_per_file_.empty()) {
    for (modulation_ = 0; modulation_ < settings_.modulations.size(); ++modulation_) {
      source_ = DrawSource(draw_seed_);
      index_ = 0;
      next();
      draws_per_file_.push_back(source_.drawn());
    }
  }
  // At most the number of names, so an index on every platform.
  const auto modulation =
      static_cast<std::size_t>(std::min<std::uint64_t>(position / files, settings_.modulations.size()));
  std::uint64_t draws = 0;
  for (std::size_t m = 0; m < modulation; ++m) draws += draws_per_file_[m] * files;
  if (modulation < settings_.modulations.size()) draws += draws_per_file_[modulation] * (position % files);
  source_ = DrawSource(draw_seed_);
  source_.skip(draws);
  modulation_ = modulation;
  index_ = modulation < settings_.modulations.size() ? static_cast<std::int32_t>(position % files) : 0;
}

std::optional<PlannedFile> RunPlan::next() {
  if (settings_.files_per_modulation <= 0) return std::nullopt;
  if (index_ == settings_.files_per_modulation) {
    ++modulation_;
    index_ = 0;
  }
  if (modulation_ >= settings_.modulations.size()) return std::nullopt;
  return draw_file();
}

PlannedFile RunPlan::draw_first_file(std::size_t m, std::uint32_t seed) {
  // A one-name plan draws from a fresh source of its seed, its only name at index 1; the ranges
  // it draws from are the name's own (named_, by the run's position) or the run's, as here.
  const DrawSource source = source_;
  const std::uint32_t draw_seed = draw_seed_;
  const std::size_t modulation = modulation_;
  const std::int32_t index = index_;
  source_ = DrawSource(seed);
  draw_seed_ = seed;
  modulation_ = m;
  index_ = 0;
  PlannedFile file = draw_file();
  source_ = source;
  draw_seed_ = draw_seed;
  modulation_ = modulation;
  index_ = index;
  return file;
}

PlannedFile RunPlan::draw_file() {
  PlannedFile file;
  file.modulation = settings_.modulations[modulation_];
  file.waveform = waveforms_[modulation_];
  file.index = ++index_;
  const DrawnParameters uses = drawn_parameters(*file.waveform);
  const RunSettings& named = drawing();
  // The order of the draws is fixed: it decides which file gets which values.
  if (is_silent(*file.waveform)) {
    // No signal, so no SNR; the noise takes the power any other file of the drawn SNR has (unit
    // nominal power plus its noise), so a frame's power tells no class at any SNR.
    const double snr_db = draw_uniform(named.snr_min_db, named.snr_max_db, source_);
    file.noise_power = 1.0 + std::pow(10.0, -snr_db / 10.0);
    file.snr_db = -std::numeric_limits<double>::infinity();
    if (named.signal_model == SignalModel::exact) {
      draw_impairments(file);
      // The stages before the receiver's noise would act on silence: neither applied nor labelled.
      file.impairments = draws_after_noise(file.impairments);
    }
  } else if (is_analog(*file.waveform)) {
    file.amplitude = draw_uniform(named.amplitude_min, named.amplitude_max, source_);
    file.snr_db = draw_uniform(named.snr_min_db, named.snr_max_db, source_);
    if (named.signal_model == SignalModel::classic) {
      file.message_frequency = source_.next() / draw_scale * 19990.0 + 10.0;
    } else {
      draw_exact_analog(file, uses);
      draw_analog_carrier(file, uses);
      draw_impairments(file);
    }
  } else {
    file.symbol_rate = draw_symbol_rate(file.modulation);
    file.snr_db = draw_uniform(named.snr_min_db, named.snr_max_db, source_);
    file.timing_error = draw_uniform(named.timing_error_min, named.timing_error_max, source_);
    file.frequency_offset =
        draw_uniform(named.frequency_offset_min, named.frequency_offset_max, source_);
    if (named.signal_model == SignalModel::exact) {
      draw_exact_digital(file, uses);
      draw_impairments(file);
      // The SNR range may draw Es/N0 or Eb/N0 of the realised symbols; the file keeps its
      // per-sample SNR, which the noise is set by.
      if (named.exact.snr_definition != SnrDefinition::sample) {
        file.snr_db -= 10.0 * std::log10(exact_realised_timing(named, file).samples_per_symbol);
      }
      // Eb/N0 counts the bits the label counts: an OFDM symbol's K subcarriers, a CSS chirp's SF.
      if (const double bits = waveform_bits_per_symbol(waveform_of(file), file.family_draws);
          named.exact.snr_definition == SnrDefinition::ebn0 && bits > 0.0) {
        file.snr_db += 10.0 * std::log10(bits);
      }
    }
  }
  return file;
}

// One draw, as the form's uniform symbol rate is: the exact model may draw it log-uniformly, or
// draw samples per symbol instead.
double RunPlan::draw_symbol_rate(const std::string& name) {
  const RunSettings& s = drawing();
  if (s.signal_model != SignalModel::exact) return draw_uniform(s.symbol_rate_min, s.symbol_rate_max, source_);
  const ExactSettings& x = s.exact;
  const bool log = x.symbol_rate_scale == RateScale::log;
  const auto fitted = x.fitted_samples_per_symbol.find(name);
  if (draws_samples_per_symbol(x) || fitted != x.fitted_samples_per_symbol.end()) {
    const double lo = fitted != x.fitted_samples_per_symbol.end() ? fitted->second.fewest : x.samples_per_symbol_min;
    const double hi = fitted != x.fitted_samples_per_symbol.end() ? fitted->second.most : x.samples_per_symbol_max;
    return s.sample_rate / (log ? draw_log_uniform(lo, hi, source_) : draw_uniform(lo, hi, source_));
  }
  return log ? draw_log_uniform(s.symbol_rate_min, s.symbol_rate_max, source_)
             : draw_uniform(s.symbol_rate_min, s.symbol_rate_max, source_);
}

void RunPlan::draw_impairments(PlannedFile& file) const {
  file.impairments = draw_stages(settings_.exact.impairments, {draw_seed_, file.modulation, file.index});
}

void RunPlan::draw_exact_analog(PlannedFile& file, const DrawnParameters& uses) {
  const ExactSettings& x = drawing().exact;
  if (uses.message) file.message_frequency = draw_uniform(x.message_frequency_min, x.message_frequency_max, source_);
  draw_ranges(file, uses, RangeSlot::message);
  // Every file of the model has unit nominal power whatever its class, its family's carrier
  // amplitude. The drawn amplitude above only keeps the draws in the classic model's order.
  const SignalFamily& family = *file.waveform->family;
  file.amplitude = family.carrier_amplitude != nullptr ? family.carrier_amplitude(*file.waveform, file.family_draws) : 1.0;
  draw_family_ranges(file, uses);
}

// The analog carrier, its offset, the message's phase and AM-SSB's side, from an engine of their
// own, so the run's draw source (and every later file's draws) stays as it was.
void RunPlan::draw_analog_carrier(PlannedFile& file, const DrawnParameters& uses) const {
  const RunSettings& named = drawing();
  const ExactSettings& x = named.exact;
  StageDraws draws = StageKey{draw_seed_, file.modulation, file.index}.engine(StageSlot::analog_carrier);
  file.carrier_frequency = draws.uniform(x.analog_fc_min.value_or(named.analog_carrier_frequency),
                                         x.analog_fc_max.value_or(named.analog_carrier_frequency));
  file.frequency_offset = draws.uniform(named.frequency_offset_min, named.frequency_offset_max);
  if (uses.message) file.message_phase = draws.uniform(0.0, 2.0 * pi);
  if (uses.sideband) {
    const bool upper = draws.uniform(0.0, 1.0) >= 0.5;
    file.sideband = x.sideband.value_or(upper ? Sideband::upper : Sideband::lower);
  }
}

void RunPlan::draw_exact_digital(PlannedFile& file, const DrawnParameters& uses) {
  const ExactSettings& x = drawing().exact;
  draw_ranges(file, uses, RangeSlot::symbols);
  if (x.samples_per_file > 0) file.start_offset = draw_fraction(source_);
  draw_family_ranges(file, uses);
}

// The family's ranges of `slot` that the file reads, in their order; one of another pulse than
// the run's is not drawn.
void RunPlan::draw_ranges(PlannedFile& file, const DrawnParameters& uses, RangeSlot slot) {
  if (uses.ranges == 0) return;
  const std::span<const FamilyRange> ranges = file.waveform->family->ranges;
  const ExactSettings& x = drawing().exact;
  if (file.family_draws.empty()) file.family_draws.assign(ranges.size(), 0.0);
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if ((uses.ranges >> i & 1U) == 0 || ranges[i].slot != slot || (ranges[i].pulse && *ranges[i].pulse != x.pulse)) continue;
    const std::array<double, 2> ends = range_ends(x.family_ranges, ranges[i]);
    if (ranges[i].off_at_zero && ends[0] == 0.0 && ends[1] == 0.0) continue;
    file.family_draws[i] = draw_family_value(ranges[i], ends, source_);
  }
}

// After every other draw, so that a family without ranges of its own there draws as before.
void RunPlan::draw_family_ranges(PlannedFile& file, const DrawnParameters& uses) {
  if ((uses.ranges & ranges_at(file.waveform->family->ranges, RangeSlot::last)) == 0) return;
  draw_ranges(file, uses, RangeSlot::last);
  // A given payload decides the draws that tell it (its length, its kind); the draws are made all
  // the same, so every other file keeps its values.
  file.payload = payload_of_file(drawing().exact, file.index);
  if (file.payload && file.waveform->family->payload_draws != nullptr) {
    file.waveform->family->payload_draws(*file.payload, file.family_draws);
  }
  // A family whose symbol period follows from its draws labels the rate it realises.
  if (const auto rate = file.waveform->family->symbol_rate) {
    file.symbol_rate = rate(*file.waveform, file.family_draws, drawing().sample_rate, file.symbol_rate);
  }
  // Its timing error is a transmitter's clock error, bounded, and labelled as realised.
  if (const double limit = file.waveform->family->clock_error_limit; limit > 0.0) {
    const double symbols = exact_file_samples(drawing(), file) * file.symbol_rate / drawing().sample_rate;
    const double most = limit * std::max(0.0, symbols);
    file.timing_error = std::clamp(file.timing_error, -most, most);
  }
}

double draw_family_value(const FamilyRange& range, std::array<double, 2> ends, DrawSource& source) {
  const auto [a, b] = ends;
  if (!range.whole) return draw_uniform(a, b, source);
  const double span = std::abs(b - a) + 1.0;
  return std::min(a, b) + std::min(span - 1.0, std::floor(draw_uniform(0.0, span, source)));
}

double exact_file_samples(const RunSettings& s, const PlannedFile& file) {
  if (s.exact.samples_per_file > 0) return static_cast<double>(s.exact.samples_per_file);
  if (const Waveform w = waveform_of(file); is_analog(w) || is_silent(w)) return s.num_symbols;
  return std::round(s.num_symbols * (s.sample_rate / file.symbol_rate));
}

RealisedTiming exact_realised_timing(const RunSettings& s, const PlannedFile& file) {
  const double length = exact_file_samples(s, file);
  const double drift = length > 0.0 ? file.timing_error * s.sample_rate / length : 0.0;
  const double clock = clock_factor(file.impairments);
  const double rate = (file.symbol_rate + drift) * clock;
  return {rate, s.sample_rate / rate, length * rate / s.sample_rate};
}

double clock_factor(const ImpairmentDraws& d) { return 1.0 + d.clock_ppm.value_or(0.0) * 1e-6; }

}  // namespace quorvin
