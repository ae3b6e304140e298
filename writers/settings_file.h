#pragma once
// Settings files: one "label: value" line per parameter, sorted by label, CR LF line ends.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "synthesis/parameters.h"

namespace quorvin {

// Label to value text, iterated in byte-wise ascending label order.
using SettingsEntries = std::map<std::string, std::string>;

// value as C's "%f" writes it: fixed, six decimals, no exponent ("nan", "inf", "-inf" when not
// finite).
std::string fixed_text(double value);

// The settings file's lines of a file's parameters: each row with a label, its value as text
// (numbers as fixed_text) and unit. A digital file has eight, an analog one eight, "FM" nine.
SettingsEntries settings_entries(const std::vector<ParameterRow>& rows);

class AtomicFileWriter;

// Appends one "label: value" CR LF line per entry, in the entries' order.
void append_settings(AtomicFileWriter& writer, const SettingsEntries& entries);

}  // namespace quorvin
