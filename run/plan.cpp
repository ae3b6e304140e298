#include "run/plan.h"

namespace quorvin {

RunPlan::RunPlan(RunSettings settings, std::uint32_t draw_seed)
    : settings_(std::move(settings)), source_(draw_seed) {}

std::uint64_t RunPlan::total_files() const {
  if (settings_.files_per_modulation <= 0) return 0;
  return settings_.modulations.size() * static_cast<std::uint64_t>(settings_.files_per_modulation);
}

std::optional<PlannedFile> RunPlan::next() {
  if (settings_.files_per_modulation <= 0) return std::nullopt;
  if (index_ == settings_.files_per_modulation) {
    ++modulation_;
    index_ = 0;
  }
  if (modulation_ >= settings_.modulations.size()) return std::nullopt;
  PlannedFile file;
  file.modulation = settings_.modulations[modulation_];
  file.index = ++index_;
  // The order of the draws is fixed: it decides which file gets which values.
  if (is_analog_modulation(file.modulation)) {
    file.amplitude = draw_uniform(settings_.amplitude_min, settings_.amplitude_max, source_);
    file.snr_db = draw_uniform(settings_.snr_min_db, settings_.snr_max_db, source_);
    file.message_frequency = source_.next() / draw_scale * 19990.0 + 10.0;
  } else {
    file.symbol_rate = draw_uniform(settings_.symbol_rate_min, settings_.symbol_rate_max, source_);
    file.snr_db = draw_uniform(settings_.snr_min_db, settings_.snr_max_db, source_);
    file.timing_error = draw_uniform(settings_.timing_error_min, settings_.timing_error_max, source_);
    file.frequency_offset =
        draw_uniform(settings_.frequency_offset_min, settings_.frequency_offset_max, source_);
  }
  return file;
}

}  // namespace quorvin
