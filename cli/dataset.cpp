#include "cli/dataset.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <type_traits>
#include <variant>

#include "cli/options.h"
#include "common/text.h"
#include "run/parameters.h"
#include "run/sample_file.h"
#include "run/atomic_file.h"

namespace quorvin::cli {

namespace {

using nlohmann::json;

json number(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

// Shortest text that reads back as the same double; "inf", "-inf", "nan" otherwise.
std::string exact(double value) {
  if (std::isnan(value)) return "nan";
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string cell_text(const ParameterValue& value) {
  if (const double* number = std::get_if<double>(&value)) return exact(*number);
  if (const std::int64_t* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  return std::get<std::string>(value);
}

// The signal extension's classification of a file: its catalogue row's, with the variants the
// file chose itself in place of the row's fixed text where the file has them (the exact model's
// drawn GMSK BT, its AM-SSB sideband), so the annotation never contradicts the file.
json signal_detail(const std::string& name, const std::vector<ParameterRow>& rows) {
  const ModulationRow* row = find_modulation(name);
  if (row == nullptr) return json::object();
  const SignalClass& c = row->signal;
  json detail;
  detail["type"] = row->family == Family::analog ? "analog" : "digital";
  detail["mod_class"] = c.mod_class;
  if (row->family == Family::digital) detail["order"] = row->alphabet;
  for (const auto& [key, value] : {std::pair{"symbol_variant", c.symbol_variant}, std::pair{"class_variant", c.class_variant},
                                   std::pair{"carrier_variant", c.carrier_variant}}) {
    if (!value.empty()) detail[key] = value;
  }
  for (const ParameterRow& r : rows) {
    if (r.kind->key == "gmsk_bt") detail["class_variant"] = "GMSK, BT " + cell_text(r.value);
    if (r.kind->key == "sideband") detail["carrier_variant"] = cell_text(r.value) + " sideband";
  }
  return detail;
}

// The file's parameters, under the run's own namespace.
json quorvin_parameters(const std::vector<ParameterRow>& rows) {
  json p;
  for (const ParameterRow& row : rows) {
    if (!row.kind->in_metadata) continue;
    const std::string key = "quorvin:" + std::string(row.kind->key);
    std::visit([&](const auto& value) {
      if constexpr (std::is_same_v<std::decay_t<decltype(value)>, double>) {
        p[key] = number(value);
      } else {
        p[key] = value;
      }
    }, row.value);
  }
  return p;
}

}  // namespace

std::string sigmf_metadata(const RunSettings& s, const PlannedFile& file, std::uint64_t samples,
                           std::optional<std::uint32_t> run_seed) {
  const std::string recorder = std::string("quorvin-cli ") + program_version;
  json global = {
      {"core:datatype", "cf32_le"},
      {"core:version", "1.2.5"},
      {"core:sample_rate", s.sample_rate},
      {"core:num_channels", 1},
      {"core:recorder", recorder},
      {"core:description", "Synthetic " + file.modulation + " signal, file " + std::to_string(file.index) +
                               ", with known channel parameters"},
      {"core:extensions",
       json::array({{{"name", "signal"}, {"version", "1.0.0"}, {"optional", true}},
                    {{"name", "quorvin"}, {"version", "1.0.0"}, {"optional", true}}})},
  };
  const std::vector<ParameterRow> rows = file_parameters({s, file, run_seed});
  global.update(quorvin_parameters(rows));
  const json capture = {{"core:sample_start", 0}, {"core:frequency", s.mix_frequency}};
  const json annotation = {{"core:sample_start", 0},
                           {"core:sample_count", samples},
                           {"core:label", file.modulation},
                           {"core:generator", recorder},
                           {"signal:detail", signal_detail(file.modulation, rows)}};
  const json meta = {{"global", global}, {"captures", json::array({capture})}, {"annotations", json::array({annotation})}};
  return meta.dump(2) + "\n";
}

// --- manifest ---------------------------------------------------------------------------

namespace {

std::string file_name(const PlannedFile& file, std::string_view extension) {
  return utf16_to_utf8(output_file_path(u"", file.modulation, file.index, extension).text);
}

// "," and each key, or the value of the file's row with that key (empty when it has none).
std::string parameter_cells(const std::vector<std::string_view>& keys, const std::vector<ParameterRow>* rows) {
  std::string cells;
  for (const std::string_view key : keys) {
    cells += ',';
    if (rows == nullptr) {
      cells += key;
      continue;
    }
    const auto row = std::find_if(rows->begin(), rows->end(), [key](const ParameterRow& r) { return r.kind->key == key; });
    if (row != rows->end()) cells += cell_text(row->value);
  }
  return cells;
}

}  // namespace

ManifestWriter::ManifestWriter(const std::filesystem::path& path, const RunSettings& settings,
                               SampleFormat format, std::optional<std::uint32_t> run_seed, const WriteContext& write,
                               std::string container)
    : writer_(path, write),
      settings_(settings),
      format_(format),
      run_seed_(run_seed),
      container_(std::move(container)),
      leading_(manifest_columns(ManifestPlace::leading, settings.signal_model)),
      trailing_(manifest_columns(ManifestPlace::trailing, settings.signal_model)) {
  writer_.append("sample_file,metadata_file,settings_file" + parameter_cells(leading_, nullptr) +
                 ",num_samples,saved" + parameter_cells(trailing_, nullptr) + "\n");
}

void ManifestWriter::add(const PlannedFile& f, const ProducedFile& produced) {
  const bool sigmf = format_ == SampleFormat::sigmf;
  std::string sample_file;
  if (format_ != SampleFormat::kept) {
    sample_file = file_name(f, sigmf ? ".sigmf-data" : ".csv");
  } else if (produced.saved) {
    sample_file = container_ + "#" + std::to_string(container_rows_++);  // only saved files are in it
  }
  const std::vector<ParameterRow> rows = file_parameters({settings_, f, run_seed_});
  writer_.append(sample_file + "," + (sigmf ? file_name(f, ".sigmf-meta") : "") + "," +
                 (settings_.save_settings_file ? file_name(f, ".txt") : "") + parameter_cells(leading_, &rows) + "," +
                 std::to_string(produced.samples) + "," + (produced.saved ? "true" : "false") +
                 parameter_cells(trailing_, &rows) + "\n");
}

bool ManifestWriter::finish() { return writer_.finish(); }

}  // namespace quorvin::cli
