#pragma once
// The settings of one run: the modulations to make and the ranges their parameters are drawn
// from. The desktop program's form and quorvin-cli's options both produce them.

#include <cstdint>
#include <string>
#include <vector>

namespace quorvin {

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
};

}  // namespace quorvin
