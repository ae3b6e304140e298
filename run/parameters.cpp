#include "run/parameters.h"

#include <algorithm>

#include "modulation/catalogue.h"

namespace quorvin {
namespace {

using Value = std::optional<ParameterValue>;
using Getter = Value (*)(const FileFacts&);

struct Definition {
  ParameterKind kind;
  Getter value;  // nothing for a file without this parameter
};

bool analog(const FileFacts& f) { return is_analog_modulation(f.file.modulation); }

Value for_digital(const FileFacts& f, double value) { return analog(f) ? Value{} : Value{value}; }
Value for_analog(const FileFacts& f, double value) { return analog(f) ? Value{value} : Value{}; }

Value seed(const FileFacts& f, const std::optional<Seed>& value) {
  return f.run_seed && value ? Value{std::int64_t{*value}} : Value{};
}

constexpr ManifestPlace none = ManifestPlace::none;
constexpr ManifestPlace leading = ManifestPlace::leading;
constexpr ManifestPlace trailing = ManifestPlace::trailing;

// Every parameter a file may have. The order is the manifest's column order; the settings file
// sorts by label and the metadata by key, so there the order does not matter.
const Definition definitions[] = {
    {{"modulation", "Modulation Type", "", true, leading}, [](const FileFacts& f) { return Value{f.file.modulation}; }},
    {{"class_index", "", "", false, leading},
     [](const FileFacts& f) { return Value{static_cast<std::int64_t>(modulation_class_index(f.file.modulation))}; }},
    {{"file_index", "", "", true, leading}, [](const FileFacts& f) { return Value{std::int64_t{f.file.index}}; }},
    {{"sample_rate", "Sample Rate", " Hz", false, trailing}, [](const FileFacts& f) { return Value{f.settings.sample_rate}; }},
    {{"mix_frequency", "Mixed Frequency", " Hz", true, trailing},
     [](const FileFacts& f) { return Value{f.settings.mix_frequency}; }},
    // One key, two labels: a digital file counts symbols, an analog one samples.
    {{"num_symbols", "Number of Symbols", "", true, trailing},
     [](const FileFacts& f) { return analog(f) ? Value{} : Value{std::int64_t{f.settings.num_symbols}}; }},
    {{"num_symbols", "Number of Samples", "", true, trailing},
     [](const FileFacts& f) { return analog(f) ? Value{std::int64_t{f.settings.num_symbols}} : Value{}; }},
    {{"snr_db", "SNR", " dB", true, trailing}, [](const FileFacts& f) { return Value{f.file.snr_db}; }},
    {{"symbol_rate", "Symbol Rate", " Baud", true, trailing},
     [](const FileFacts& f) { return for_digital(f, f.file.symbol_rate); }},
    {{"timing_error", "Symbol Timing Error", "", true, trailing},
     [](const FileFacts& f) { return for_digital(f, f.file.timing_error); }},
    {{"frequency_offset", "Frequency Offset", " Hz", true, trailing},
     [](const FileFacts& f) { return for_digital(f, f.file.frequency_offset); }},
    {{"amplitude", "Amplitude", "", true, trailing}, [](const FileFacts& f) { return for_analog(f, f.file.amplitude); }},
    {{"message_frequency", "Message Frequency", " Hz", true, trailing},
     [](const FileFacts& f) { return for_analog(f, f.file.message_frequency); }},
    {{"carrier_frequency", "Carrier Frequency", " Hz", true, trailing},
     [](const FileFacts& f) { return for_analog(f, f.settings.analog_carrier_frequency); }},
    {{"frequency_deviation", "Frequency Deviation", " Hz", true, trailing},
     [](const FileFacts& f) {
       const ModulationRow* row = find_modulation(f.file.modulation);
       return row != nullptr && row->route == Route::fm ? Value{f.settings.analog_deviation} : Value{};
     }},
    {{"symbol_seed", "", "", true, trailing},
     [](const FileFacts& f) { return analog(f) ? Value{} : seed(f, f.file.seeds.symbols); }},
    {{"noise_seed", "", "", true, trailing}, [](const FileFacts& f) { return seed(f, f.file.seeds.noise); }},
    {{"run_seed", "", "", true, none},
     [](const FileFacts& f) { return f.run_seed ? Value{std::int64_t{*f.run_seed}} : Value{}; }},
};

}  // namespace

std::vector<ParameterRow> file_parameters(const FileFacts& facts) {
  std::vector<ParameterRow> rows;
  for (const Definition& d : definitions) {
    if (Value value = d.value(facts)) rows.push_back({&d.kind, std::move(*value)});
  }
  return rows;
}

std::vector<std::string_view> manifest_parameter_keys(ManifestPlace place) {
  std::vector<std::string_view> keys;
  for (const Definition& d : definitions) {
    if (d.kind.manifest == place && std::find(keys.begin(), keys.end(), d.kind.key) == keys.end()) {
      keys.push_back(d.kind.key);
    }
  }
  return keys;
}

}  // namespace quorvin
