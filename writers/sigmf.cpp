#include "writers/sigmf.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <type_traits>
#include <variant>
#include <vector>

#include "common/sha512.h"
#include "common/text.h"
#include "modulation/catalogue.h"
#include "synthesis/exact_file.h"
#include "synthesis/parameters.h"
#include "synthesis/scene.h"
#include "writers/manifest.h"
#include "writers/sample_file.h"

namespace quorvin {

namespace {

using nlohmann::json;

json number(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

// The signal extension's classification of a file: its catalogue row's, with the variants the
// file chose itself in place of the row's fixed text where the file has them (the exact model's
// drawn Gaussian BT, its AM-SSB sideband), so the annotation never contradicts the file. Nothing
// for a name without a signal.
json signal_detail(const std::string& name, const std::vector<ParameterRow>& rows) {
  const ModulationRow* row = find_modulation(name);
  if (row == nullptr || row->signal.mod_class.empty()) return json::object();
  const SignalClass& c = row->signal;
  json detail;
  detail["type"] = row->kind == SignalKind::analog ? "analog" : "digital";
  detail["mod_class"] = c.mod_class;
  if (row->kind == SignalKind::digital) detail["order"] = row->alphabet;
  for (const auto& [key, value] : {std::pair{"symbol_variant", c.symbol_variant}, std::pair{"class_variant", c.class_variant},
                                   std::pair{"carrier_variant", c.carrier_variant}}) {
    if (!value.empty()) detail[key] = value;
  }
  for (const ParameterRow& r : rows) {
    if (r.kind->key == "gmsk_bt") {
      const std::string_view kind = c.class_variant.substr(0, c.class_variant.find(','));  // "GMSK" or "GFSK"
      detail["class_variant"] = std::string(kind) + ", BT " + cell_text(r.value);
    }
    if (r.kind->key == "sideband") detail["carrier_variant"] = cell_text(r.value) + " sideband";
    // OFDM: its subcarriers' class and order, multiplexed; CSS: 2^SF chirps, spread.
    if (r.kind->key == "subcarrier_modulation") {
      const std::string scheme = cell_text(r.value);
      const ModulationRow* carrier = find_modulation(scheme);
      if (carrier != nullptr) {
        detail["mod_class"] = carrier->signal.mod_class;
        detail["order"] = carrier->alphabet;
      }
      detail["multiplexing"] = "ofdm";
    }
    if (r.kind->key == "spreading_factor") {
      detail["order"] = std::int64_t{1} << std::get<std::int64_t>(r.value);
      detail["spreading"] = "css";
    }
  }
  // A radar pulse carries no symbols: an analog sweep.
  if (row->route == Route::lfm_radar) {
    detail["type"] = "analog";
    detail.erase("order");
  }
  return detail;
}

// One number of a list's text: "0.5" a number, "0.5-0.25j" a complex one, [0.5, -0.25].
json list_item(std::string_view item) {
  const char* end = item.data() + item.size();
  double real = 0.0;
  const auto [at, failed] = std::from_chars(item.data(), end, real);
  if (failed != std::errc{}) throw std::logic_error("a list's number is not a number: " + std::string(item));
  if (at == end) return number(real);
  double imaginary = 0.0;
  const char* from = *at == '+' ? at + 1 : at;
  const auto [stop, bad] = std::from_chars(from, end, imaginary);
  if (bad != std::errc{} || stop + 1 != end || *stop != 'j') throw std::logic_error("a list's complex number is malformed: " + std::string(item));
  return json::array({number(real), number(imaginary)});
}

// A list's text (numbers joined by ';', exact shortest decimals, so they read back bit for bit)
// as a JSON array.
json list_value(std::string_view text) {
  json items = json::array();
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(';'), text.size());
    items.push_back(list_item(text.substr(0, end)));
    text.remove_prefix(std::min(text.size(), end + 1));
  }
  return items;
}

// The file's parameters, under the run's own namespace.
json quorvin_parameters(const std::vector<ParameterRow>& rows) {
  json p;
  for (const ParameterRow& row : rows) {
    if (!row.kind->in_metadata) continue;
    const std::string key = "quorvin:" + std::string(row.kind->key);
    if (row.kind->list) {
      p[key] = list_value(std::get<std::string>(row.value));
      continue;
    }
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

// SigMF's bound on every frequency, Hz.
constexpr double sigmf_frequency_limit = 1e12;

// An annotation's band at RF: `band` (Hz of the samples' baseband) above the capture's frequency.
void set_edges(json& annotation, double capture_frequency, BandEdges band) {
  annotation["core:freq_lower_edge"] = std::clamp(capture_frequency + band.low, -sigmf_frequency_limit, sigmf_frequency_limit);
  annotation["core:freq_upper_edge"] = std::clamp(capture_frequency + band.high, -sigmf_frequency_limit, sigmf_frequency_limit);
}

// The span of the background recording a scene stands on, in its global fields, and the
// recording's annotations that meet the span, shifted to the capture's samples, clipped to it
// and marked as the background's; then every annotation in SigMF's order, by first sample.
void add_background(json& global, json& annotations, const BackgroundRecording& r, const Scene& scene, std::uint64_t samples) {
  const auto start = static_cast<std::int64_t>(scene.background_start);
  const auto end = start + static_cast<std::int64_t>(samples);
  global["quorvin:background"] = {{"file", r.name},
                                  {"core:sha512", r.data_sha512},
                                  {"sample_start", scene.background_start},
                                  {"sample_count", samples},
                                  {"noise_power", scene.noise_power}};
  for (const BackgroundAnnotation& a : r.annotations) {
    const std::int64_t last = a.sample_count ? a.sample_start + *a.sample_count : static_cast<std::int64_t>(r.samples);
    const std::int64_t from = std::max(a.sample_start, start);
    const std::int64_t to = std::min(last, end);
    // An annotation of no length is kept where its one instant is inside the span.
    if (!(from < to || (from == to && a.sample_start >= start && a.sample_start < end))) continue;
    json carried = json::parse(a.json);
    carried["core:sample_start"] = from - start;
    carried["core:sample_count"] = to - from;
    carried["quorvin:source"] = "background";
    annotations.push_back(std::move(carried));
  }
  std::vector<json> ordered(annotations.begin(), annotations.end());
  std::ranges::stable_sort(ordered, {}, [](const json& a) { return a["core:sample_start"].get<std::int64_t>(); });
  annotations = ordered;
}

// A scene's recording: the capture's global fields and one annotation per emitter, its box in the
// core fields and its own parameters under the run's namespace.
std::string scene_metadata(const SigmfRecording& recording, json global) {
  const RunSettings& s = recording.settings;
  const Scene& scene = *recording.file.scene;
  const std::string recorder(recording.recorder);
  global["core:description"] = "Synthetic wideband scene " + std::to_string(recording.file.index) + " of " +
                               std::to_string(scene.emitters.size()) + " emitters, each with its box in time and frequency";
  global["quorvin:scene"] = "wideband";
  global["quorvin:emitters"] = scene.emitters.size();
  global["quorvin:num_samples"] = recording.samples;
  global["quorvin:signal_model"] = "exact";
  // The run's names, so a reader numbers classes alike when a name was drawn in no capture.
  global["quorvin:run_names"] = s.modulations;
  if (const auto& ground = s.exact.background_recording) {
    global["core:description"] = global["core:description"].get<std::string>() + ", over samples " +
                                 std::to_string(scene.background_start) + " .. " +
                                 std::to_string(scene.background_start + recording.samples) + " of the recording " + ground->name;
  }
  if (recording.run_seed) global["quorvin:run_seed"] = *recording.run_seed;
  // SigMF lists annotations by their first sample; emitters that start together keep their order.
  std::vector<const SceneEmitter*> by_start;
  for (const SceneEmitter& e : scene.emitters) by_start.push_back(&e);
  std::ranges::stable_sort(by_start, {}, [](const SceneEmitter* e) { return e->box.sample_start; });
  json annotations = json::array();
  for (const SceneEmitter* emitter : by_start) {
    const SceneEmitter& e = *emitter;
    const std::vector<ParameterRow> rows = emitter_parameters(s, e, recording.run_seed);
    json annotation = {{"core:sample_start", e.box.sample_start},
                       {"core:sample_count", e.box.sample_count},
                       {"core:label", e.file.modulation},
                       {"core:generator", recorder},
                       {"signal:detail", signal_detail(e.file.modulation, rows)}};
    set_edges(annotation, sigmf_capture_frequency(s), {e.box.freq_lower_edge, e.box.freq_upper_edge});
    annotation.update(quorvin_parameters(rows));
    annotations.push_back(std::move(annotation));
  }
  if (const auto& ground = s.exact.background_recording) add_background(global, annotations, *ground, scene, recording.samples);
  const json capture = {{"core:sample_start", 0}, {"core:frequency", sigmf_capture_frequency(s)}};
  const json meta = {{"global", global}, {"captures", json::array({capture})}, {"annotations", annotations}};
  return meta.dump(2) + "\n";
}

}  // namespace

std::string sigmf_metadata(const SigmfRecording& recording) {
  const RunSettings& s = recording.settings;
  const PlannedFile& file = recording.file;
  const std::string recorder(recording.recorder);
  const bool ci16 = s.signal_model == SignalModel::exact && s.exact.datatype == SigmfDatatype::ci16_le;
  json global = {
      {"core:datatype", ci16 ? "ci16_le" : "cf32_le"},
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
  if (!recording.data_sha512.empty()) global["core:sha512"] = recording.data_sha512;
  if (ci16) {
    // Only the data's writer knows its full scale (a peak may have raised it).
    if (!recording.full_scale) throw std::logic_error("ci16_le metadata needs the full scale its samples were written at.");
    global["quorvin:full_scale"] = *recording.full_scale;
  }
  if (file.scene) return scene_metadata(recording, std::move(global));
  const std::vector<ParameterRow> rows = file_parameters({s, file, recording.run_seed});
  global.update(quorvin_parameters(rows));
  const json capture = {{"core:sample_start", 0}, {"core:frequency", sigmf_capture_frequency(s)}};
  json annotation = {{"core:sample_start", 0},
                     {"core:sample_count", recording.samples},
                     {"core:label", file.modulation},
                     {"core:generator", recorder}};
  // The classic model's waveforms (real analog carriers, keyed routes off their labelled rates)
  // are not the families' bands: only the exact model's files place their signal.
  if (s.signal_model == SignalModel::exact) {
    if (const BandEdges band = exact_file_band(s, file); band.high > band.low) set_edges(annotation, sigmf_capture_frequency(s), band);
  }
  if (json detail = signal_detail(file.modulation, rows); !detail.empty()) annotation["signal:detail"] = std::move(detail);
  const json meta = {{"global", global}, {"captures", json::array({capture})}, {"annotations", json::array({annotation})}};
  return meta.dump(2) + "\n";
}

namespace {

// "{--background} 'rec'": the option and the recording as given, marked.
std::string named_background(const RunSettings& s) { return "{--background} '" + marked_text(s.exact.background) + "'"; }

// The whole of a small file, or nothing where it cannot be read. Metadata beyond 64 MiB is not
// read: no recording's needs as much.
std::optional<std::string> whole_file(const std::filesystem::path& path) {
  constexpr std::uintmax_t largest = std::uintmax_t{64} << 20;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > largest) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::string text(static_cast<std::size_t>(size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(size));
  if (!in) return std::nullopt;
  return text;
}

// The SHA-512 of a file, read in blocks; nothing where it cannot be read whole.
std::optional<std::string> file_sha512(const std::filesystem::path& path, std::uintmax_t bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Sha512 digest;
  std::vector<std::uint8_t> block(1 << 20);
  std::uintmax_t read = 0;
  while (read < bytes) {
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    digest.add(std::span<const std::uint8_t>(block.data(), got));
    read += got;
  }
  if (read != bytes) return std::nullopt;
  return digest.hex();
}

// Why the metadata `meta` is not the SigMF of a recording this reads, or nothing; fills `r`.
std::optional<std::string> read_background_meta(const json& meta, BackgroundRecording& r) {
  if (!meta.is_object() || !meta.contains("global") || !meta["global"].is_object()) return "it has no global object";
  const json& global = meta["global"];
  if (!global.contains("core:datatype") || !global["core:datatype"].is_string()) return "its global object has no core:datatype";
  if (!global.contains("core:sample_rate") || !global["core:sample_rate"].is_number()) return "its global object has no core:sample_rate";
  r.sample_rate = global["core:sample_rate"].get<double>();
  if (global.contains("quorvin:full_scale")) {
    if (!global["quorvin:full_scale"].is_number() || !(global["quorvin:full_scale"].get<double>() > 0.0)) {
      return "its quorvin:full_scale is not a number above 0";
    }
    r.full_scale = global["quorvin:full_scale"].get<double>();
  }
  const json captures = meta.value("captures", json::array());
  if (!captures.is_array()) return "its captures are not a list";
  for (std::size_t k = 0; k < captures.size(); ++k) {
    if (!captures[k].is_object()) return "its capture " + std::to_string(k) + " is not an object";
    const json frequency = captures[k].value("core:frequency", json(0.0));
    if (!frequency.is_number()) return "its capture " + std::to_string(k) + "'s core:frequency is not a number";
    if (k == 0) r.frequency = frequency.get<double>();
    if (frequency.get<double>() != r.frequency) return "its captures are tuned to more than one frequency";
  }
  const json annotations = meta.value("annotations", json::array());
  if (!annotations.is_array()) return "its annotations are not a list";
  for (std::size_t k = 0; k < annotations.size(); ++k) {
    const json& a = annotations[k];
    const auto whole = [&a](const char* key) {
      return a.contains(key) && a[key].is_number_integer() && a[key].get<std::int64_t>() >= 0;
    };
    if (!a.is_object() || !whole("core:sample_start") || (a.contains("core:sample_count") && !whole("core:sample_count"))) {
      return "its annotation " + std::to_string(k) + " has no whole core:sample_start and core:sample_count";
    }
    BackgroundAnnotation carried{a["core:sample_start"].get<std::int64_t>(), std::nullopt, a.dump()};
    if (a.contains("core:sample_count")) carried.sample_count = a["core:sample_count"].get<std::int64_t>();
    r.annotations.push_back(std::move(carried));
  }
  return std::nullopt;
}

}  // namespace

std::variant<std::shared_ptr<const BackgroundRecording>, std::string> open_background_marked(const RunSettings& s) {
  const std::string named = named_background(s);
  if (!std::isfinite(s.snr_min_db) || !std::isfinite(s.snr_max_db)) {
    return named + " takes finite SNRs: {--snr-min and --snr-max} give each emitter's power over the recording's noise floor";
  }
  std::string base = s.exact.background;
  for (const std::string_view end : {".sigmf-meta", ".sigmf-data"}) {
    if (base.ends_with(end)) base.resize(base.size() - end.size());
  }
  const std::filesystem::path meta_path = native_path(utf8_to_utf16(base + ".sigmf-meta"));
  auto r = std::make_shared<BackgroundRecording>();
  r->data_path = native_path(utf8_to_utf16(base + ".sigmf-data"));
  r->name = base.substr(base.find_last_of("/\\") + 1) + ".sigmf-data";
  const std::optional<std::string> meta_text = whole_file(meta_path);
  if (!meta_text) return named + " is no SigMF recording: " + marked_text(base) + ".sigmf-meta cannot be read";
  const json meta = json::parse(*meta_text, nullptr, false);
  if (meta.is_discarded()) return named + " is no SigMF recording: its .sigmf-meta is not JSON";
  if (const auto fault = read_background_meta(meta, *r)) return named + " is no SigMF recording: " + marked_text(*fault);
  const json& global = meta["global"];
  const std::int64_t channels = global.value("core:num_channels", json(1)).is_number_integer()
                                    ? global.value("core:num_channels", json(1)).get<std::int64_t>() : 0;
  if (channels != 1) return named + " holds " + marked_text(global.value("core:num_channels", json()).dump()) + " channels; one is taken";
  const std::string datatype = global["core:datatype"].get<std::string>();
  if (datatype != "cf32_le" && datatype != "ci16_le") {
    return named + " holds " + marked_text(datatype) + " samples; cf32_le or ci16_le are taken";
  }
  r->datatype = datatype == "cf32_le" ? SigmfDatatype::cf32_le : SigmfDatatype::ci16_le;
  const std::uintmax_t sample_bytes = datatype == "cf32_le" ? 8 : 4;
  std::error_code error;
  const std::uintmax_t bytes = std::filesystem::is_regular_file(r->data_path, error) ? std::filesystem::file_size(r->data_path, error) : 0;
  if (error || !std::filesystem::is_regular_file(r->data_path, error)) {
    return named + " is no SigMF recording: " + marked_text(base) + ".sigmf-data cannot be read";
  }
  if (bytes % sample_bytes != 0) {
    return named + ": its .sigmf-data's " + std::to_string(bytes) + " bytes are no whole number of " + datatype + " samples";
  }
  r->samples = bytes / sample_bytes;
  if (r->samples < static_cast<std::uint64_t>(s.exact.samples_per_file)) {
    return named + " holds " + std::to_string(r->samples) + " samples, fewer than one capture of {--samples-per-file} " +
           std::to_string(s.exact.samples_per_file);
  }
  if (r->sample_rate != s.sample_rate) {
    return named + " was recorded at " + shortest_text(r->sample_rate) + " Hz, not the {--sample-rate} " +
           shortest_text(s.sample_rate) + " Hz: give {--sample-rate " + shortest_text(r->sample_rate) + "}";
  }
  if (r->frequency != s.exact.impairments.rf_frequency) {
    return named + " is tuned to " + shortest_text(r->frequency) + " Hz, not the {--rf-frequency} " +
           shortest_text(s.exact.impairments.rf_frequency) + " Hz: give {--rf-frequency " + shortest_text(r->frequency) + "}";
  }
  const std::optional<std::string> digest = file_sha512(r->data_path, bytes);
  if (!digest) return named + ": its .sigmf-data cannot be read whole";
  if (global.contains("core:sha512") && global["core:sha512"] != *digest) {
    return named + ": its .sigmf-data does not match its core:sha512";
  }
  r->data_sha512 = *digest;
  return std::shared_ptr<const BackgroundRecording>(std::move(r));
}

double sigmf_capture_frequency(const RunSettings& s) {
  return s.signal_model == SignalModel::exact ? s.exact.impairments.rf_frequency : 0.0;
}

std::string sigmf_collection(std::span<const SigmfStream> streams, std::string_view description) {
  json list = json::array();
  for (const SigmfStream& stream : streams) list.push_back({{"name", stream.name}, {"hash", stream.meta_sha512}});
  const json collection = {{"core:version", "1.2.5"}, {"core:description", description}, {"core:streams", list}};
  return json({{"collection", collection}}).dump(2) + "\n";
}

}  // namespace quorvin
