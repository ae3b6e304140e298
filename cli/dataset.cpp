#include "cli/dataset.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "cli/options.h"
#include "common/text.h"
#include "run/sample_file.h"
#include "run/text_file.h"

namespace quorvin::cli {

namespace {

using nlohmann::json;

json number(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

// The signal extension's classification of a name, from its catalogue row.
json signal_detail(const std::string& name) {
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
  return detail;
}

// The settings file's parameters, under the run's own namespace.
json quorvin_parameters(const RunSettings& s, const PlannedFile& file, std::optional<std::uint32_t> run_seed) {
  json p;
  p["quorvin:modulation"] = file.modulation;
  p["quorvin:file_index"] = file.index;
  p["quorvin:snr_db"] = number(file.snr_db);
  p["quorvin:mix_frequency"] = number(s.mix_frequency);
  p["quorvin:num_symbols"] = s.num_symbols;
  if (file.analog) {
    p["quorvin:amplitude"] = number(file.amplitude);
    p["quorvin:message_frequency"] = number(file.message_frequency);
    p["quorvin:carrier_frequency"] = number(s.analog_carrier_frequency);
    if (file.modulation == "FM") p["quorvin:frequency_deviation"] = number(s.analog_deviation);
  } else {
    p["quorvin:symbol_rate"] = number(file.symbol_rate);
    p["quorvin:timing_error"] = number(file.timing_error);
    p["quorvin:frequency_offset"] = number(file.frequency_offset);
  }
  if (run_seed) {
    p["quorvin:run_seed"] = *run_seed;
    if (!file.analog && file.seeds.symbols) p["quorvin:symbol_seed"] = *file.seeds.symbols;
    if (file.seeds.noise) p["quorvin:noise_seed"] = *file.seeds.noise;
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
  global.update(quorvin_parameters(s, file, run_seed));
  const json capture = {{"core:sample_start", 0}, {"core:frequency", s.mix_frequency}};
  const json annotation = {{"core:sample_start", 0},
                           {"core:sample_count", samples},
                           {"core:label", file.modulation},
                           {"core:generator", recorder},
                           {"signal:detail", signal_detail(file.modulation)}};
  const json meta = {{"global", global}, {"captures", json::array({capture})}, {"annotations", json::array({annotation})}};
  return meta.dump(2) + "\n";
}

// --- manifest ---------------------------------------------------------------------------

struct ManifestWriter::State {
  State(const std::filesystem::path& path, const RunSettings& s, SampleFormat f, bool seeded)
      : writer(path), settings(s), format(f), seeded_run(seeded) {}
  TextFileWriter writer;
  const RunSettings& settings;
  SampleFormat format;
  bool seeded_run;
};

namespace {

constexpr const char* manifest_header =
    "sample_file,metadata_file,settings_file,modulation,class_index,file_index,num_samples,saved,"
    "sample_rate,mix_frequency,num_symbols,snr_db,symbol_rate,timing_error,frequency_offset,"
    "amplitude,message_frequency,carrier_frequency,frequency_deviation,symbol_seed,noise_seed\n";

// Shortest text that reads back as the same double; "inf", "-inf", "nan" otherwise.
std::string exact(double value) {
  if (std::isnan(value)) return "nan";
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string file_name(const PlannedFile& file, std::string_view extension) {
  return utf16_to_utf8(output_file_path(u"", file.modulation, file.index, extension).text);
}

}  // namespace

ManifestWriter::ManifestWriter(const std::filesystem::path& path, const RunSettings& settings,
                               SampleFormat format, bool seeded)
    : state_(std::make_unique<State>(path, settings, format, seeded)) {
  if (state_->writer.is_open()) state_->writer.append(manifest_header);
}

ManifestWriter::~ManifestWriter() = default;

bool ManifestWriter::is_open() const { return state_->writer.is_open(); }

const std::string& ManifestWriter::failure() const { return state_->writer.failure(); }

void ManifestWriter::add(const PlannedFile& f, const ProducedFile& produced) {
  const RunSettings& s = state_->settings;
  const bool sigmf = state_->format == SampleFormat::sigmf;
  const std::string cells[] = {
      file_name(f, sigmf ? ".sigmf-data" : ".csv"),
      sigmf ? file_name(f, ".sigmf-meta") : "",
      s.save_settings_file ? file_name(f, ".txt") : "",
      f.modulation,
      std::to_string(modulation_class_index(f.modulation)),
      std::to_string(f.index),
      std::to_string(produced.samples),
      produced.saved ? "true" : "false",
      exact(s.sample_rate),
      exact(s.mix_frequency),
      std::to_string(s.num_symbols),
      exact(f.snr_db),
      f.analog ? "" : exact(f.symbol_rate),
      f.analog ? "" : exact(f.timing_error),
      f.analog ? "" : exact(f.frequency_offset),
      f.analog ? exact(f.amplitude) : "",
      f.analog ? exact(f.message_frequency) : "",
      f.analog ? exact(s.analog_carrier_frequency) : "",
      f.modulation == "FM" ? exact(s.analog_deviation) : "",
      state_->seeded_run && !f.analog && f.seeds.symbols ? std::to_string(*f.seeds.symbols) : "",
      state_->seeded_run && f.seeds.noise ? std::to_string(*f.seeds.noise) : "",
  };
  std::string row;
  for (std::size_t i = 0; i < std::size(cells); ++i) row += (i == 0 ? "" : ",") + cells[i];
  state_->writer.append(row + "\n");
}

bool ManifestWriter::finish() { return state_->writer.finish(); }

}  // namespace quorvin::cli
