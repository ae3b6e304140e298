// A planned file's own run through the stages: one emitter in its own capture.

#include <algorithm>
#include <stdexcept>

#include "common/limits.h"
#include "plan/stages/stage.h"

namespace quorvin {

std::size_t exact_file_length(const RunSettings& s, const PlannedFile& file) {
  const double samples = exact_file_samples(s, file);
  if (samples < 0.0) throw std::invalid_argument("num_symbols must not be negative.");
  return require_sample_count(samples);
}

StageRun file_stage_run(const RunSettings& s, const PlannedFile& file, std::size_t length, StageMargins margins,
                  std::uint64_t noise_seed) {
  return {.settings = s,
          .draws = file.impairments,
          .noise_seed = noise_seed,
          .length = length,
          .margins = margins,
          .carrier_offset = exact_carrier_offset(s, file),
          .carrier_phase = file.impairments.carrier_phase};
}

StageMargins file_stage_margins(const RunSettings& s, const PlannedFile& file, std::size_t length) {
  return stage_margins(s.exact.impairments, file.impairments, length);
}

double exact_carrier_offset(const RunSettings& s, const PlannedFile& file) {
  return add_carrier_shifts(s.mix_frequency + file.frequency_offset, s.exact.impairments, file.impairments);
}

std::vector<Sample> exact_fading_taps(const RunSettings& s, const PlannedFile& file) {
  const ChannelPath path = exact_channel_path(s, file, 1);
  std::vector<Sample> taps;
  if (const TrackValues* fading = path.find(fading_track.name)) {
    for (const std::vector<Sample>& tap : fading->rows) taps.push_back(tap.front());
  }
  return taps;
}

const TrackValues* ChannelPath::find(std::string_view name) const {
  for (const TrackValues& values : tracks) {
    if (values.track->name == name) return &values;
  }
  return nullptr;
}

ChannelPath exact_channel_path(const RunSettings& s, const PlannedFile& file, std::size_t count) {
  ChannelPath path;
  if (!file.seeds.noise) return path;
  const StageRun probe = file_stage_run(s, file, 0, {}, *file.seeds.noise);
  const auto stages = channel_stages();
  if (std::none_of(stages.begin(), stages.end(), [&](const ChannelStage* st) { return st->path != nullptr && st->on(probe); })) {
    return path;
  }
  // The first few samples (the label's one) need no check of the file's length; the whole path does.
  const double length = std::max(0.0, exact_file_samples(s, file));
  const std::size_t samples = static_cast<double>(count) <= std::max(1.0, length) ? count : exact_file_length(s, file);
  const StageMargins margins = file_stage_margins(s, file, samples);
  const StageRun run = file_stage_run(s, file, samples, margins, *file.seeds.noise);
  for (const ChannelStage* stage : stages) {
    if (stage->path == nullptr || !stage->on(run)) continue;
    TrackValues& values = path.tracks.emplace_back();
    values.track = stage->track;
    stage->path(values, run, margins.before, samples);
  }
  return path;
}

std::int64_t longest_framed_file(const ImpairmentSettings& x) {
  const double ppm = std::max(std::abs(x.clock_ppm_min), std::abs(x.clock_ppm_max));
  // The widest margins the settings may draw.
  ImpairmentDraws widest;
  if (x.fading != Fading::none) widest.fading_k = 0.0;
  widest.clock_ppm = ppm;
  const auto fits = [&](std::size_t length) {
    const StageMargins m = stage_margins(x, widest, length);
    return length + m.before + m.after <= max_samples_per_file;
  };
  // The margins grow by at most one sample per 1000 (1000 ppm): start just below, then step down.
  auto length = static_cast<std::size_t>(static_cast<double>(max_samples_per_file) / (1.0 + ppm * 1e-6));
  while (length > 0 && !fits(length)) --length;
  return static_cast<std::int64_t>(length);
}

}  // namespace quorvin
