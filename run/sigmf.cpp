#include "run/sigmf.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <type_traits>
#include <variant>
#include <vector>

#include "modulation/catalogue.h"
#include "run/manifest.h"
#include "run/parameters.h"
#include "run/exact_file.h"
#include "run/scene.h"

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
  detail["type"] = row->family == Family::analog ? "analog" : "digital";
  detail["mod_class"] = c.mod_class;
  if (row->family == Family::digital) detail["order"] = row->alphabet;
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
