#include "writers/settings_file.h"

#include <charconv>
#include <cmath>

#include "writers/atomic_file.h"

namespace quorvin {

std::string fixed_text(double value) {
  if (std::isnan(value)) return "nan";
  char digits[400];  // the largest double has 309 integer digits
  const auto end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 6).ptr;
  return std::string(digits, end);
}

SettingsEntries settings_entries(const std::vector<ParameterRow>& rows) {
  SettingsEntries entries;
  for (const ParameterRow& row : rows) {
    if (row.kind->label.empty()) continue;
    std::string text;
    if (const double* number = std::get_if<double>(&row.value)) {
      text = fixed_text(*number);
    } else if (const std::int64_t* whole = std::get_if<std::int64_t>(&row.value)) {
      text = std::to_string(*whole);
    } else {
      text = std::get<std::string>(row.value);
    }
    entries[std::string(row.kind->label)] = text + std::string(row.kind->unit);
  }
  return entries;
}

void append_settings(AtomicFileWriter& writer, const SettingsEntries& entries) {
  for (const auto& [label, value] : entries) {
    writer.append(label);
    writer.append(": ");
    writer.append(value);
    writer.append("\r\n");
  }
}

}  // namespace quorvin
