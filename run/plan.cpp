#include "run/plan.h"

#include <cmath>

namespace quorvin {
namespace {

Route route_of(const std::string& name) {
  if (const ModulationRow* row = find_modulation(name)) return row->route;
  try {
    const std::optional<DigitalRoute> route = find_digital_route(name);
    return route ? route->modulator : Route::cw;
  } catch (const std::exception&) {
    return Route::cw;  // the generator reports the name's fault for its file
  }
}

bool is_linear(Route route) { return maps_one_point_per_symbol(route) || route == Route::oqpsk || route == Route::pi4_dqpsk; }

// A uniform draw in [0, 1): the frame's start must stay inside the first symbol period.
double draw_fraction(DrawSource& source) { return source.next() / (draw_scale + 1.0); }

}  // namespace

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
    if (settings_.signal_model == SignalModel::classic) {
      file.message_frequency = source_.next() / draw_scale * 19990.0 + 10.0;
    } else {
      draw_exact_analog(file);
    }
  } else {
    file.symbol_rate = draw_uniform(settings_.symbol_rate_min, settings_.symbol_rate_max, source_);
    file.snr_db = draw_uniform(settings_.snr_min_db, settings_.snr_max_db, source_);
    file.timing_error = draw_uniform(settings_.timing_error_min, settings_.timing_error_max, source_);
    file.frequency_offset =
        draw_uniform(settings_.frequency_offset_min, settings_.frequency_offset_max, source_);
    if (settings_.signal_model == SignalModel::exact) draw_exact_digital(file);
  }
  return file;
}

void RunPlan::draw_exact_analog(PlannedFile& file) {
  const ExactSettings& x = settings_.exact;
  const Route route = route_of(file.modulation);
  if (route != Route::cw) file.message_frequency = draw_uniform(x.message_frequency_min, x.message_frequency_max, source_);
  if (route == Route::am) file.am_index = draw_uniform(x.am_index_min, x.am_index_max, source_);
}

void RunPlan::draw_exact_digital(PlannedFile& file) {
  const ExactSettings& x = settings_.exact;
  const Route route = route_of(file.modulation);
  if (is_linear(route) && x.pulse == PulseShape::rrc) file.rolloff = draw_uniform(x.rolloff_min, x.rolloff_max, source_);
  if (route == Route::fsk) file.fsk_index = draw_uniform(x.fsk_index_min, x.fsk_index_max, source_);
  if (route == Route::gmsk) file.gmsk_bt = draw_uniform(x.gmsk_bt_min, x.gmsk_bt_max, source_);
  if (x.samples_per_file > 0) file.start_offset = draw_fraction(source_);
  // The SNR range may draw Es/N0; the file keeps its per-sample SNR, which the noise is set by.
  if (x.snr_definition == SnrDefinition::esn0) {
    file.snr_db -= 10.0 * std::log10(settings_.sample_rate / file.symbol_rate);
  }
}

}  // namespace quorvin
