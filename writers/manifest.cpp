#include "writers/manifest.h"

#include <algorithm>

#include "common/text.h"
#include "modulation/catalogue.h"
#include "synthesis/scene.h"
#include "writers/sample_file.h"

namespace quorvin {

const std::vector<std::string>& class_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (const ModulationRow& row : modulation_catalogue) all.emplace_back(row.name);
    return all;
  }();
  return names;
}

std::vector<std::string_view> manifest_label_columns(SignalModel model, std::span<const std::string> modulations) {
  std::vector<std::string_view> columns = manifest_columns(ManifestPlace::leading, model);
  columns.insert(columns.end(), {"num_samples", "saved"});
  for (const std::string_view key : manifest_columns(ManifestPlace::trailing, model, modulations)) columns.push_back(key);
  return columns;
}

std::vector<std::optional<ParameterValue>> label_values(std::span<const std::string_view> columns,
                                                        const std::vector<ParameterRow>& rows,
                                                        const ProducedFile& produced) {
  std::vector<std::optional<ParameterValue>> values;
  values.reserve(columns.size());
  for (const std::string_view key : columns) {
    if (key == "num_samples") {
      values.emplace_back(static_cast<std::int64_t>(produced.samples));
    } else if (key == "saved") {
      values.emplace_back(std::int64_t{produced.saved ? 1 : 0});
    } else {
      const auto row = std::find_if(rows.begin(), rows.end(), [key](const ParameterRow& r) { return r.kind->key == key; });
      values.push_back(row == rows.end() ? std::nullopt : std::optional<ParameterValue>(row->value));
    }
  }
  return values;
}

std::string cell_text(const ParameterValue& value) {
  if (const double* number = std::get_if<double>(&value)) return shortest_text(*number);
  if (const std::int64_t* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  return std::get<std::string>(value);
}

namespace {

std::string file_name(const PlannedFile& file, std::string_view extension) {
  return utf16_to_utf8(output_file_path(u"", file.modulation, file.index, extension).text);
}

// Where the run's files are, seen from the manifest's folder: nothing when the manifest sits among
// them, else their folder relative to it ("ds/"), or whole where there is no relative way (another
// drive), so that a reader finds every file from the manifest alone.
std::string files_prefix(const std::filesystem::path& manifest, const RunSettings& settings) {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::weakly_canonical(output_folder_path(settings.output_folder), error);
  if (error) return {};
  const std::filesystem::path beside = std::filesystem::weakly_canonical(std::filesystem::absolute(manifest, error).parent_path(), error);
  if (error || folder == beside) return {};
  const std::filesystem::path relative = folder.lexically_relative(beside);
  const std::u8string text = (relative.empty() ? folder : relative).generic_u8string();
  return std::string(text.begin(), text.end()) + "/";
}

// A CSV cell of `text`: quoted, its quotes doubled, where a comma, quote or line break would
// split it.
std::string csv_cell(std::string text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
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
      prefix_(files_prefix(path, settings)),
      columns_(makes_scenes(settings) ? scene_label_columns(settings)
                                      : manifest_label_columns(settings.signal_model, settings.modulations)) {
  std::string header = "sample_file,metadata_file,settings_file";
  for (const std::string_view column : columns_) {
    if (!header.empty()) header += ',';
    header += column;
  }
  writer_.append(header + "\n");
}

void ManifestWriter::add(const PlannedFile& f, const ProducedFile& produced) {
  const bool sigmf = format_ == SampleFormat::sigmf;
  const auto placed = [this](const std::string& name) { return name.empty() ? name : csv_cell(prefix_ + name); };
  std::string line;
  if (format_ != SampleFormat::container) {
    line = placed(file_name(f, sigmf ? ".sigmf-data" : ".csv"));
  } else if (produced.saved) {
    line = placed(container_ + "#" + std::to_string(container_rows_++));  // only saved files are in it
  }
  // Appended piece by piece: GCC 12 misreads "," + a temporary string as an overlapping copy
  // (-Wrestrict) in the 32-bit Windows build.
  line += ',';
  line += placed(sigmf ? file_name(f, ".sigmf-meta") : "");
  line += ',';
  line += placed(settings_.save_settings_file ? file_name(f, ".txt") : "");
  if (!f.scene) {
    std::vector<ParameterRow> worked_out;
    append_cells(line, produced.labels ? *produced.labels : (worked_out = file_parameters({settings_, f, run_seed_})),
                 produced);
    return;
  }
  // A scene: one row per emitter, each naming the capture. A capture of the receiver's noise alone
  // (Noise's) is listed too, by its own labels, its emitter's cells empty: a detector's negatives.
  if (f.scene->emitters.empty()) {
    PlannedFile alone = f;
    alone.modulation = f.scene->name;
    alone.noise_power = f.scene->noise_power;  // the scene's one floor
    append_cells(line, file_parameters({settings_, alone, run_seed_}), produced);
  }
  for (const SceneEmitter& e : f.scene->emitters) append_cells(line, emitter_parameters(settings_, e, run_seed_), produced);
}

void ManifestWriter::append_cells(const std::string& names, const std::vector<ParameterRow>& rows,
                                  const ProducedFile& produced) {
  std::string line = names;
  const std::vector<std::optional<ParameterValue>> values = label_values(columns_, rows, produced);
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    line += ',';
    if (columns_[k] == "saved") {
      line += produced.saved ? "true" : "false";
    } else if (values[k]) {
      line += cell_text(*values[k]);
    }
  }
  writer_.append(line + "\n");
}

bool ManifestWriter::finish() { return writer_.finish(); }

}  // namespace quorvin
