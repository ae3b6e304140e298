#include "run/settings_file.h"

#include <charconv>
#include <cmath>

#include "run/text_file.h"

namespace quorvin {

std::string fixed_text(double value) {
  if (std::isnan(value)) return "nan";
  char digits[400];  // the largest double has 309 integer digits
  const auto end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 6).ptr;
  return std::string(digits, end);
}

namespace {

std::string with_unit(double value, std::string_view unit) {
  return fixed_text(value) + std::string(unit);
}

}  // namespace

SettingsEntries digital_settings_entries(std::string_view modulation_name, double symbol_rate,
                                         double sample_rate, double snr_db, double timing_error,
                                         double frequency_offset, double mix_frequency,
                                         std::int32_t num_symbols) {
  return {
      {"Frequency Offset", with_unit(frequency_offset, " Hz")},
      {"Mixed Frequency", with_unit(mix_frequency, " Hz")},
      {"Modulation Type", std::string(modulation_name)},
      {"Number of Symbols", std::to_string(num_symbols)},
      {"SNR", with_unit(snr_db, " dB")},
      {"Sample Rate", with_unit(sample_rate, " Hz")},
      {"Symbol Rate", with_unit(symbol_rate, " Baud")},
      {"Symbol Timing Error", fixed_text(timing_error)},
  };
}

SettingsEntries analog_settings_entries(std::string_view modulation_name, double sample_rate,
                                        double analog_carrier_frequency,
                                        double message_frequency, double analog_deviation,
                                        double amplitude, double snr_db, double mix_frequency,
                                        std::int32_t num_symbols) {
  SettingsEntries entries = {
      {"Amplitude", fixed_text(amplitude)},
      {"Carrier Frequency", with_unit(analog_carrier_frequency, " Hz")},
      {"Message Frequency", with_unit(message_frequency, " Hz")},
      {"Mixed Frequency", with_unit(mix_frequency, " Hz")},
      {"Modulation Type", std::string(modulation_name)},
      {"Number of Samples", std::to_string(num_symbols)},
      {"SNR", with_unit(snr_db, " dB")},
      {"Sample Rate", with_unit(sample_rate, " Hz")},
  };
  if (modulation_name == "FM") entries["Frequency Deviation"] = with_unit(analog_deviation, " Hz");
  return entries;
}

void append_settings(TextFileWriter& writer, const SettingsEntries& entries) {
  for (const auto& [label, value] : entries) {
    writer.append(label);
    writer.append(": ");
    writer.append(value);
    writer.append("\r\n");
  }
}

bool write_settings_file(const std::filesystem::path& path, const SettingsEntries& entries) {
  TextFileWriter writer(path);
  append_settings(writer, entries);
  return writer.finish();
}

}  // namespace quorvin
