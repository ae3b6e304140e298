#pragma once
// Settings files: one "label: value" line per parameter, sorted by label, CR LF line ends.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace quorvin {

// Label to value text, iterated in byte-wise ascending label order.
using SettingsEntries = std::map<std::string, std::string>;

// value as C's "%f" writes it: fixed, six decimals, no exponent ("nan", "inf", "-inf" when not
// finite).
std::string fixed_text(double value);

// The eight entries of a digital file: rates in Hz and Baud, SNR in dB, offsets in Hz.
SettingsEntries digital_settings_entries(std::string_view modulation_name, double symbol_rate,
                                         double sample_rate, double snr_db, double timing_error,
                                         double frequency_offset, double mix_frequency,
                                         std::int32_t num_symbols);

// The eight entries of an analog file, nine for "FM" (with its "Frequency Deviation").
SettingsEntries analog_settings_entries(std::string_view modulation_name, double sample_rate,
                                        double analog_carrier_frequency,
                                        double message_frequency, double analog_deviation,
                                        double amplitude, double snr_db, double mix_frequency,
                                        std::int32_t num_symbols);

class TextFileWriter;

// Appends one "label: value" CR LF line per entry, in the entries' order.
void append_settings(TextFileWriter& writer, const SettingsEntries& entries);

// Writes the entries, replacing any earlier file; false, with no file left behind, when it
// could not be written completely.
bool write_settings_file(const std::filesystem::path& path, const SettingsEntries& entries);

}  // namespace quorvin
