// The Python binding: settings read through the same checks as quorvin-cli's options, the run's
// plan drawn as quorvin-cli draws it, and one planned file synthesised on request. Every sample
// comes from the core; the GIL is released while a file is made.

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <complex>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "form/form.h"
#include "form/options.h"
#include "generator/family.h"
#include "modulation/catalogue.h"
#include "form/config_file.h"
#include "plan/exact_options.h"
#include "plan/plan.h"
#include "plan/seeds.h"
#include "platform/file_sync.h"
#include "run/dataset.h"
#include "run/run.h"
#include "run/write_run.h"
#include "synthesis/exact_file.h"
#include "writers/channel_file.h"
#include "synthesis/parameters.h"
#include "synthesis/scene.h"
#include "writers/atomic_file.h"
#include "writers/hdf5_container.h"
#include "writers/manifest.h"
#include "writers/sample_file.h"
#include "writers/sigmf.h"
#include "writers/symbol_file.h"

namespace py = pybind11;

namespace quorvin {
namespace {

// A refusal as ValueError(kind, marked text, option, value): the package names the options in
// its own words (quorvin/__init__.py).
[[noreturn]] void raise_refusal(const Refusal& refusal) {
  constexpr const char* kinds[] = {"no_modulation", "usage", "input", "box", "unknown_option"};
  const py::tuple args = py::make_tuple(kinds[static_cast<int>(refusal.kind)], refusal.text, refusal.option, refusal.value);
  PyErr_SetObject(PyExc_ValueError, args.ptr());
  throw py::error_already_set();
}

RunSettings settings_of(const std::vector<std::string>& names, const OptionTexts& texts) {
  auto read = read_options({names, texts});
  if (const Refusal* refusal = std::get_if<Refusal>(&read)) raise_refusal(*refusal);
  RunSettings settings = std::get<RunSettings>(std::move(read));
  if (!settings.exact.background.empty()) {
    auto opened = open_background_marked(settings);
    if (const std::string* refusal = std::get_if<std::string>(&opened)) {
      raise_refusal({Refusal::Kind::input, *refusal, "--background", settings.exact.background});
    }
    settings.exact.background_recording = std::get<std::shared_ptr<const BackgroundRecording>>(std::move(opened));
  }
  return settings;
}

// Every declared option as (command-line option, keyword, pair end "min", "max" or "", flag,
// default text).
py::list option_table() {
  py::list table;
  for (const OptionDeclaration& d : option_declarations()) {
    const char* end = d.end == PairEnd::min ? "min" : d.end == PairEnd::max ? "max" : "";
    table.append(py::make_tuple(std::string(d.option), std::string(d.keyword), end, d.flag, d.default_text));
  }
  return table;
}

// Every control option as (CLI11's name list, value kind ("" for a flag), help, what it takes,
// a --config file's key, python3 -m quorvin.distributed's option).
py::list control_table() {
  py::list table;
  for (const ControlOption& c : control_options()) {
    table.append(py::make_tuple(std::string(c.names), std::string(c.value_kind), std::string(c.help),
                                std::string(c.takes), c.in_file, c.distributed));
  }
  return table;
}

// A --config file's entries as (option, key, text, line); its refusal raised as ValueError, or
// FileNotFoundError when it cannot be read, with the command line's words.
py::list config_entries(const std::string& path, const std::string& name) {
  auto read = read_config_file(std::filesystem::path(std::u8string(path.begin(), path.end())), name);
  if (const ConfigRefusal* refusal = std::get_if<ConfigRefusal>(&read)) {
    PyErr_SetString(refusal->unreadable ? PyExc_FileNotFoundError : PyExc_ValueError, refusal->text.c_str());
    throw py::error_already_set();
  }
  py::list entries;
  for (const ConfigEntry& e : std::get<ConfigEntries>(read)) entries.append(py::make_tuple(e.option, e.key, e.text, e.line));
  return entries;
}

// The text of a file of payloads (--payload FILE) for the option's reader; its refusal raised as
// ValueError, or FileNotFoundError when it cannot be read, with the command line's words.
std::string payload_file_text(const std::string& path) {
  auto read = read_payload_file(std::filesystem::path(std::u8string(path.begin(), path.end())), path);
  if (const ConfigRefusal* refusal = std::get_if<ConfigRefusal>(&read)) {
    PyErr_SetString(refusal->unreadable ? PyExc_FileNotFoundError : PyExc_ValueError, refusal->text.c_str());
    throw py::error_already_set();
  }
  return std::get<std::string>(std::move(read));
}

// A refusal's arguments (as raise_refusal gives them) as the command line tells it.
std::string command_line_told(const std::string& kind, const std::string& text, const std::string& option,
                              const std::string& value, const std::string& config, const std::vector<std::string>& from_file) {
  constexpr const char* kinds[] = {"no_modulation", "usage", "input", "box", "unknown_option"};
  const auto k = static_cast<std::size_t>(std::find_if(std::begin(kinds), std::end(kinds), [&kind](const char* name) { return kind == name; }) -
                                          std::begin(kinds));
  return command_line_refusal({static_cast<Refusal::Kind>(k < std::size(kinds) ? k : 1), text, option, value}, config, from_file);
}

py::object python_value(const ParameterValue& value) {
  if (const double* number = std::get_if<double>(&value)) return py::float_(*number);
  if (const std::int64_t* whole = std::get_if<std::int64_t>(&value)) return py::int_(*whole);
  return py::str(std::get<std::string>(value));
}

py::dict label_columns(const std::vector<std::vector<ParameterRow>>& rows, const std::vector<Signal>& signals);

// A scene's labels: its number, its emitters' count and its table of boxes, one column per label
// (core box fields, class and every parameter of each emitter), one row per emitter.
py::dict scene_labels(const RunSettings& settings, const PlannedFile& file, std::uint32_t run_seed) {
  std::vector<std::vector<ParameterRow>> rows;
  for (const SceneEmitter& e : file.scene->emitters) rows.push_back(emitter_parameters(settings, e, run_seed));
  py::dict boxes = label_columns(rows, {});
  boxes.attr("pop")("num_samples");
  boxes.attr("pop")("run_seed", py::none());  // the scene's, below
  py::dict labels;
  labels["scene"] = file.index;
  labels["run_seed"] = run_seed;
  labels["sample_rate"] = settings.sample_rate;
  labels["emitters"] = rows.size();
  labels["boxes"] = boxes;
  if (const auto& ground = settings.exact.background_recording) {
    py::dict background;
    background["file"] = ground->name;
    background["sha512"] = ground->data_sha512;
    background["sample_start"] = file.scene->background_start;
    background["sample_count"] = settings.exact.samples_per_file;
    background["noise_power"] = file.scene->noise_power;
    labels["background"] = background;
  }
  return labels;
}

// A run's plan with random access: the plan goes straight to any position (RunPlan::seek_file),
// so an item of the longest plan costs what the first does; reading in order just draws on.
// Files' symbol records (as the .symbols.npy files hold them) one after another in one uint8
// array, for numpy to view as records without a copy.
py::array_t<std::uint8_t> record_bytes(const std::vector<TransmittedSymbols>& files) {
  std::size_t total = 0;
  for (const TransmittedSymbols& file : files) total += file.symbols.size() * symbol_record_bytes;
  py::array_t<std::uint8_t> out(static_cast<py::ssize_t>(total));
  auto* at = reinterpret_cast<char*>(out.mutable_data());
  for (const TransmittedSymbols& file : files) at = write_symbol_records(file, at);
  return out;
}

class Plan {
 public:
  Plan(RunSettings settings, std::uint32_t seed)
      : plan_(std::move(settings), seed), seed_(seed), size_(plan_.total_files()) {}
  std::size_t size() const { return static_cast<std::size_t>(size_); }

  // The run's names, in its order (the catalogue's).
  const std::vector<std::string>& modulations() const { return plan_.settings().modulations; }

  // File records drawn so far: one per item, wherever it is.
  std::uint64_t files_drawn() const { return files_drawn_; }

  // Plan position i: its samples as complex64 or complex128, and its labels.
  py::tuple item(std::ptrdiff_t i, bool double_precision) {
    const PlannedFile file = at(i);
    const RunSettings& settings = plan_.settings();
    Signal signal;
    {
      py::gil_scoped_release unlocked;
      signal = synthesize_file(settings, file);
    }
    py::dict labels;
    if (file.scene) {
      labels = scene_labels(settings, file, seed_);
    } else {
      for (const ParameterRow& row : file_parameters({settings, file, seed_})) {
        labels[py::str(std::string(row.kind->key))] = python_value(row.value);
      }
    }
    labels["num_samples"] = signal.size();
    if (double_precision) {
      py::array_t<std::complex<double>> out(static_cast<py::ssize_t>(signal.size()));
      std::copy(signal.begin(), signal.end(), out.mutable_data());
      return py::make_tuple(out, labels);
    }
    py::array_t<std::complex<float>> out(static_cast<py::ssize_t>(signal.size()));
    std::complex<float>* data = out.mutable_data();
    for (std::size_t k = 0; k < signal.size(); ++k) {
      data[k] = {static_cast<float>(signal[k].real()), static_cast<float>(signal[k].imag())};
    }
    return py::make_tuple(out, labels);
  }

  // Positions' samples stacked as rows of one complex64 array (zeros after a shorter file's end:
  // its num_samples says where), and their labels as columns: float64 with NaN, int64 with -1 or
  // str with "" where an item has no such label. The plan is walked with the GIL held; every file
  // is then made, and its labels listed, with the GIL released over the whole batch. With
  // `symbols`, a third and fourth element: every item's symbol records one item after another
  // (exact model; as symbols() gives them) and each item's first record, then the end.
  py::tuple frames(const std::vector<std::ptrdiff_t>& positions, bool symbols) {
    if (makes_scenes(plan_.settings())) {
      throw py::value_error("frames: a scene dataset gives one capture and its table of boxes per item; read dataset[i]");
    }
    std::vector<PlannedFile> files;
    files.reserve(positions.size());
    for (const std::ptrdiff_t position : positions) files.push_back(at(position));
    const RunSettings& settings = plan_.settings();
    std::vector<Signal> signals(files.size());
    std::vector<std::vector<ParameterRow>> rows(files.size());
    std::vector<TransmittedSymbols> sent(symbols ? files.size() : 0);
    {
      py::gil_scoped_release unlocked;
      for (std::size_t k = 0; k < files.size(); ++k) {
        signals[k] = synthesize_file(settings, files[k]);
        rows[k] = file_parameters({settings, files[k], seed_});
        if (symbols && settings.signal_model == SignalModel::exact) sent[k] = exact_file_symbols(settings, files[k]);
      }
    }
    std::size_t longest = 0;
    for (const Signal& signal : signals) longest = std::max(longest, signal.size());
    py::array_t<std::complex<float>> samples({static_cast<py::ssize_t>(files.size()), static_cast<py::ssize_t>(longest)});
    std::complex<float>* data = samples.mutable_data();
    std::fill(data, data + files.size() * longest, std::complex<float>{});
    for (std::size_t k = 0; k < signals.size(); ++k) {
      for (std::size_t j = 0; j < signals[k].size(); ++j) {
        data[k * longest + j] = {static_cast<float>(signals[k][j].real()), static_cast<float>(signals[k][j].imag())};
      }
    }
    if (symbols) {
      std::vector<std::int64_t> offsets{0};
      for (const TransmittedSymbols& file : sent) offsets.push_back(offsets.back() + static_cast<std::int64_t>(file.symbols.size()));
      return py::make_tuple(samples, label_columns(rows, signals), record_bytes(sent),
                            py::array_t<std::int64_t>(static_cast<py::ssize_t>(offsets.size()), offsets.data()));
    }
    return py::make_tuple(samples, label_columns(rows, signals));
  }

  // The symbols plan position i transmits (exact model, digital names): their records as the
  // .symbols.npy files hold them, packed little-endian bytes in a uint8 array.
  py::array_t<std::uint8_t> symbols(std::ptrdiff_t i) {
    const PlannedFile file = at(i);
    std::vector<TransmittedSymbols> sent(1);
    if (plan_.settings().signal_model == SignalModel::exact) {
      py::gil_scoped_release unlocked;
      sent[0] = exact_file_symbols(plan_.settings(), file);
    }
    return record_bytes(sent);
  }

  // The channel plan position i went through, as it varied, by each track's key
  // (channel_tracks): "fading_taps" (taps, samples) complex gains and "phase" (samples) radians,
  // each where the file drew that stage (exact model).
  py::dict channel(std::ptrdiff_t i) {
    const PlannedFile file = at(i);
    py::dict out;
    if (plan_.settings().signal_model != SignalModel::exact) return out;
    ChannelPath path;
    {
      py::gil_scoped_release unlocked;
      path = exact_channel_path(plan_.settings(), file);
    }
    for (const TrackValues& values : path.tracks) {
      const std::string key(values.track->key);
      if (!values.track->complex) {
        out[key.c_str()] = py::array_t<double>(static_cast<py::ssize_t>(values.real.size()), values.real.data());
        continue;
      }
      const auto width = static_cast<py::ssize_t>(values.rows.empty() ? 0 : values.rows.front().size());
      py::array_t<std::complex<double>> rows({static_cast<py::ssize_t>(values.rows.size()), width});
      for (std::size_t t = 0; t < values.rows.size(); ++t) {
        std::copy(values.rows[t].begin(), values.rows[t].end(), rows.mutable_data(static_cast<py::ssize_t>(t), 0));
      }
      out[key.c_str()] = rows;
    }
    return out;
  }

  // Plan position of file `index` (from 1) of `name`: modulations in the run's order, each with
  // its files in index order.
  std::size_t position_of(const std::string& name, std::int32_t index) const {
    const RunSettings& settings = plan_.settings();
    const auto found = std::find(settings.modulations.begin(), settings.modulations.end(), name);
    if (found == settings.modulations.end() || index < 1 || index > settings.files_per_modulation) {
      throw py::index_error("no file " + std::to_string(index) + " of " + name + " in this plan");
    }
    const auto m = static_cast<std::size_t>(found - settings.modulations.begin());
    return m * static_cast<std::size_t>(settings.files_per_modulation) + static_cast<std::size_t>(index - 1);
  }

 private:
  PlannedFile at(std::ptrdiff_t i) {
    const auto n = static_cast<std::ptrdiff_t>(size_);
    const std::ptrdiff_t given = i;
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
      throw py::index_error("position " + std::to_string(given) + " is outside a dataset of " + std::to_string(n) +
                            " items");
    }
    const auto position = static_cast<std::uint64_t>(i);
    // The item just made, asked again for its symbols or channel: kept, not sought and drawn again.
    if (last_ && position + 1 == next_position_) return *last_;
    if (position != next_position_) plan_.seek_file(position);
    std::optional<PlannedFile> file = plan_.next();
    ++files_drawn_;
    next_position_ = position + 1;
    file->seeds = derive_file_seeds(seed_, file->modulation, file->index);
    if (makes_scenes(plan_.settings())) plan_scene(plan_, {seed_, position, true}, *file);
    last_ = file;
    return std::move(*file);
  }
  RunPlan plan_;
  std::uint32_t seed_;
  std::uint64_t size_;
  std::uint64_t next_position_ = 0;
  std::uint64_t files_drawn_ = 0;
  std::optional<PlannedFile> last_;  // the file at next_position_ - 1
};

// One label of every item as a numpy column; `kinds` holds which ParameterValue alternatives occur.
py::array label_column(const std::vector<const ParameterValue*>& values, unsigned kinds) {
  const auto n = static_cast<py::ssize_t>(values.size());
  if (kinds & 1u) {  // text: any number among it written as the manifest would not matter here
    py::list texts;
    for (const ParameterValue* value : values) {
      const std::string* text = value ? std::get_if<std::string>(value) : nullptr;
      texts.append(py::str(text ? *text : std::string()));
    }
    return py::array(texts);
  }
  if (kinds & 2u) {
    py::array_t<double> column(n);
    double* out = column.mutable_data();
    for (py::ssize_t k = 0; k < n; ++k) {
      const ParameterValue* value = values[static_cast<std::size_t>(k)];
      if (value == nullptr) {
        out[k] = std::numeric_limits<double>::quiet_NaN();
      } else if (const double* number = std::get_if<double>(value)) {
        out[k] = *number;
      } else {
        out[k] = static_cast<double>(std::get<std::int64_t>(*value));
      }
    }
    return column;
  }
  py::array_t<std::int64_t> column(n);
  std::int64_t* out = column.mutable_data();
  for (py::ssize_t k = 0; k < n; ++k) {
    const ParameterValue* value = values[static_cast<std::size_t>(k)];
    out[k] = value ? std::get<std::int64_t>(*value) : -1;
  }
  return column;
}

// Label columns by key, in the order keys first occur, and num_samples.
py::dict label_columns(const std::vector<std::vector<ParameterRow>>& rows, const std::vector<Signal>& signals) {
  std::vector<std::string_view> keys;
  std::map<std::string_view, std::vector<const ParameterValue*>> values;
  std::map<std::string_view, unsigned> kinds;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    for (const ParameterRow& row : rows[k]) {
      auto [slot, added] = values.try_emplace(row.kind->key, rows.size(), nullptr);
      if (added) keys.push_back(row.kind->key);
      slot->second[k] = &row.value;
      kinds[row.kind->key] |= std::holds_alternative<std::string>(row.value) ? 1u
                              : std::holds_alternative<double>(row.value) ? 2u
                                                                          : 4u;
    }
  }
  py::dict columns;
  for (const std::string_view key : keys) columns[py::str(std::string(key))] = label_column(values[key], kinds[key]);
  py::array_t<std::int64_t> lengths(static_cast<py::ssize_t>(signals.size()));
  for (std::size_t k = 0; k < signals.size(); ++k) lengths.mutable_data()[k] = static_cast<std::int64_t>(signals[k].size());
  columns["num_samples"] = lengths;
  return columns;
}

// Every label key an item may have: the manifest's label columns in its order (an exact run's of every name,
// which has every column) less saved, then run_seed.
std::vector<std::string> label_keys() {
  std::vector<std::string> keys;
  for (const std::string_view key : manifest_label_columns(SignalModel::exact, class_names())) {
    if (key != "saved") keys.emplace_back(key);
  }
  keys.emplace_back("run_seed");
  return keys;
}

// The type of a manifest or container column `key`: "text", "real" or "whole" (the core's declaration,
// a scene's box columns and num_samples included); "text" for a key the core does not know.
std::string column_type(std::string_view key) {
  static constexpr const char* names[] = {"text", "real", "whole"};
  return names[static_cast<std::size_t>(label_column_type(key))];
}

// Each label key's type, as column_type gives it.
std::map<std::string, std::string> label_types() {
  std::map<std::string, std::string> types;
  for (const std::string& key : label_keys()) types[key] = column_type(key);
  return types;
}

// Each label key's unit as the settings file gives it ("Hz", "dB", "Baud"; empty for a ratio or text).
std::map<std::string, std::string> label_units() {
  std::map<std::string, std::string> units;
  for (const std::string& key : label_keys()) units[key] = std::string(parameter_unit(key));
  return units;
}

Waveform known_waveform(const std::string& name) {
  const Waveform w = resolve_waveform(name);
  if (w.family == nullptr) throw py::value_error("unknown modulation '" + name + "'");
  return w;
}

// The distinct unit-energy points a linear name's symbols take, as its files carry them: the
// family's own samples at the symbols' centres with a rectangular pulse, one sample per symbol,
// over enough symbols that every point occurs (each about 64 times: none missing but with
// probability M e^-64). Pi/4-DQPSK gives both of its sets, 8 points. Empty for a name without a
// constellation (keyed and analog names).
py::array_t<std::complex<double>> constellation(const std::string& name) {
  const Waveform w = known_waveform(name);
  std::vector<Sample> points;
  if (std::string_view(w.family->name) == "linear" && w.order > 0) {
    WaveformParameters p;
    p.sample_rate = 1.0;
    p.symbol_rate = 1.0;
    p.num_samples = 64 * std::max(4, w.order);
    p.start_offset = 0.25;  // inside symbol n's rectangle and OQPSK's late Q rail's
    p.pulse = PulseShape::rect;
    p.symbol_seed = Seed{1};
    const auto in_order = [](const Sample& a, const Sample& b) {
      return std::pair(a.real(), a.imag()) < std::pair(b.real(), b.imag());
    };
    std::vector<Sample> all = prepare_waveform(w, p)(0, static_cast<std::size_t>(p.num_samples));
    std::sort(all.begin(), all.end(), in_order);
    // Pi/4-DQPSK's points come from turning the last, so equal points may differ in the last bits.
    // In that order an equal point kept already is among the last ones of as near a real part (a
    // search of all kept points would take seconds for QAM4096's 262144 samples).
    for (const Sample& point : all) {
      bool seen = false;
      for (auto kept = points.rbegin(); !seen && kept != points.rend() && kept->real() >= point.real() - 1e-9; ++kept)
        seen = std::abs(*kept - point) < 1e-9;
      if (!seen) points.push_back(point);
    }
    std::sort(points.begin(), points.end(), in_order);
  }
  py::array_t<std::complex<double>> out(static_cast<py::ssize_t>(points.size()));
  std::copy(points.begin(), points.end(), out.mutable_data());
  return out;
}

// The labels a file's band is sized from, by their label keys.
struct BandLabels {
  double symbol_rate = 0.0;  // Baud: the realised rate
  std::string pulse;         // "rrc", "rect" or "linear"; empty for analog names
  double rolloff = 0.0;
  double modulation_index = 0.0;  // keyed names' h
  double gmsk_bt = 0.0;
  double message_frequency = 0.0;  // Hz
  double frequency_deviation = 0.0;  // Hz
  std::string sideband;  // "lower", "upper", or empty for either
  double sample_rate = 0.0;  // Hz: the bands drawn as a fraction of it (OFDM, chirps)
  std::map<std::string, double> family = {};  // the family's own drawn values, by their label keys
};

// The band (low, high) a file's signal occupies around its centre (0 Hz for a digital name, its
// carrier for an analog one), Hz, as the run's band check sizes it, for the file's own labels.
std::pair<double, double> band(const std::string& name, const BandLabels& labels) {
  const Waveform w = known_waveform(name);
  const auto choice = [](const char* key, const std::string& text, auto pairs) {
    for (const auto& [given, value] : pairs) {
      if (text == given) return value;
    }
    throw py::value_error(std::string(key) + " '" + text + "' is none of the labels' values");
  };
  BandLimits limits{.symbol_rate = labels.symbol_rate,
                    .pulse = labels.pulse.empty() ? PulseShape::rrc
                                                  : choice("pulse", labels.pulse,
                                                           std::array{std::pair{"rrc", PulseShape::rrc}, std::pair{"rect", PulseShape::rect},
                                                                      std::pair{"linear", PulseShape::linear}}),
                    .message_frequency = labels.message_frequency,
                    .deviation = labels.frequency_deviation};
  if (!labels.sideband.empty()) {
    limits.sideband = choice("sideband", labels.sideband, std::array{std::pair{"lower", Sideband::lower}, std::pair{"upper", Sideband::upper}});
  }
  FamilyRanges own = {{"rolloff", {labels.rolloff, labels.rolloff}},
                      {"fsk_index", {labels.modulation_index, labels.modulation_index}},
                      {"gmsk_bt", {labels.gmsk_bt, labels.gmsk_bt}}};
  for (const auto& [key, value] : labels.family) own[key] = {value, value};
  limits.family_ranges = &own;
  limits.sample_rate = labels.sample_rate;
  const FamilyBand found = w.family->band(w, limits);
  return {found.edges.low, found.edges.high};
}

// What writing files is asked for, beyond the run's settings: quorvin-cli's file options.
struct FileRequest {
  std::string folder;    // UTF-8; empty for the working folder
  std::string format;    // "csv", "sigmf" or "hdf5"
  std::string manifest;  // UTF-8 path; empty for none
  bool compress = false;
  bool save_settings = false;
  unsigned jobs = 1;
  Shard shard;
  // Told (files done, files of the shard, samples done) after each file, with the GIL held.
  std::function<void(std::uint64_t, std::uint64_t, std::uint64_t)> progress;
};

std::filesystem::path utf8_path(const std::string& text) { return std::u8string(text.begin(), text.end()); }

[[noreturn]] void throw_os_error(const std::string& message) {
  PyErr_SetString(PyExc_OSError, message.c_str());
  throw py::error_already_set();
}

// Writes every file of the run seeded with `seed` through the writers quorvin-cli uses, the same
// files under the same names: sample files (with their metadata or settings files), or one
// container, and the manifest. OSError, before any file, for a manifest or container that cannot
// be written; otherwise the summary: files saved and failed (every file of a container that was
// not saved failed), the container's name once saved, and each problem in the system's words
// ("<file>: <reason>"), the container's and manifest's among them.
py::dict write_files(RunSettings settings, std::uint32_t seed, const FileRequest& request) {
  const SampleFormat format = request.format == "csv"     ? SampleFormat::csv
                              : request.format == "sigmf" ? SampleFormat::sigmf
                              : request.format == "hdf5"  ? SampleFormat::container
                                                          : throw py::value_error("format takes csv, sigmf or hdf5, not '" +
                                                                                  request.format + "'");
  if (makes_scenes(settings) && request.save_settings) {
    throw py::value_error("save_settings does not apply to scene='wideband': each emitter's labels are in the metadata");
  }
  if (format == SampleFormat::container && !hdf5_available()) {
    throw py::value_error("format hdf5: this build has no HDF5 support (" + std::string(hdf5_absence()) + ")");
  }
  if (settings.exact.datatype != SigmfDatatype::cf32_le && format != SampleFormat::sigmf) {
    throw py::value_error("datatype applies to format 'sigmf' only, not '" + request.format + "'");
  }
  settings.output_folder = utf8_to_utf16(request.folder);
  settings.save_settings_file = request.save_settings;
  RunWrite write;
  write.seed = seed;
  if (!request.manifest.empty()) write.manifest = utf8_path(request.manifest);
  write.compress = request.compress;
  write.recorder = std::string("quorvin-python ") + QUORVIN_VERSION;
  write.run.jobs = std::max(1u, request.jobs);
  write.run.shard = request.shard;
  write.run.output.format = format;
  write.run.output.write = {platform::sync_file_to_storage, {}, platform::hold_temporary, platform::remove_unheld_temporary};
  std::vector<std::string> problems;
  write.file_written = [&problems](const WrittenFile& written) {
    const ProducedFile& produced = written.produced;
    problems.insert(problems.end(), produced.problems.begin(), produced.problems.end());
    if (!produced.saved && produced.problems.empty()) problems.push_back(utf16_to_utf8(produced.report));
  };
  // A callback that raises stops the run (no further file is started) and is raised here after.
  std::optional<py::error_already_set> progress_error;
  if (request.progress) {
    write.progress = [&request, &progress_error, stop = write.stop](const RunProgress& p) mutable {
      if (progress_error) return;
      py::gil_scoped_acquire locked;
      try {
        request.progress(p.files_done, p.files_total, p.samples_done);
      } catch (py::error_already_set& error) {
        progress_error.emplace(std::move(error));
        stop.request_stop();
      }
    };
  }
  WrittenRun run;
  {
    py::gil_scoped_release unlocked;
    run = write_run(settings, std::move(write));
  }
  if (progress_error) throw std::move(*progress_error);
  if (run.refused == RefusedOutput::manifest) throw_os_error(request.manifest + ": cannot be written (" + run.refusal + ")");
  if (run.refused == RefusedOutput::container) throw_os_error(run.container_name + ": " + run.refusal);
  if (!output_kept(run.container)) problems.push_back(run.container_name + ": " + run.container_failure);
  if (run.manifest == OutputEnd::abandoned) {
    problems.push_back(request.manifest + ": not saved, its rows name places in " + run.container_name + ", which was not saved");
  } else if (run.manifest == OutputEnd::failed) {
    problems.push_back(request.manifest + ": " + run.manifest_failure);
  }
  if (run.collection == OutputEnd::failed) problems.push_back(run.collection_name + ": " + run.collection_failure);
  // A file of a container that was not put in place was saved nowhere: it failed with the
  // container, as quorvin-cli's "Failed to save dataset" and status 1 say.
  const bool container_lost = !output_kept(run.container);
  py::dict out;
  out["files_saved"] = container_lost ? 0 : run.files.files_produced;
  out["files_failed"] = run.files.files_failed + (container_lost ? run.files.files_produced : 0);
  out["container"] = run.container == OutputEnd::saved ? py::cast(run.container_name) : py::none();
  out["problems"] = problems;
  return out;
}

// Each name in class-index order with its family module ("linear", "keyed", "analog" or "noise"),
// order, group (what `-m <group>` selects) and whether "every" and its group select it.
py::list catalogue() {
  py::list rows;
  for (const ModulationRow& row : modulation_catalogue) {
    py::dict entry;
    entry["name"] = std::string(row.name);
    entry["family"] = std::string(family_of(row.family_id).name);
    entry["order"] = row.alphabet;
    entry["on_form"] = row.on_form;
    entry["group"] = std::string(modulation_group(row));
    entry["in_every"] = in_every(row);
    rows.append(entry);
  }
  return rows;
}

}  // namespace
}  // namespace quorvin

PYBIND11_MODULE(_core, m) {
  using namespace quorvin;
  m.doc() = "Quorvin's C++ core: settings, plans and files.";
  m.attr("__version__") = QUORVIN_VERSION;
  py::class_<RunSettings>(m, "Settings");
  m.def("settings", &settings_of, py::arg("modulations"), py::arg("options"),
        "Settings from modulation names and option texts by the command line's names; a refusal raises "
        "ValueError(kind, marked text, option, value).");
  m.def("warnings", &run_warnings_marked, py::arg("settings"), py::arg("options"),
        "What the settings serve but were almost certainly not meant, each marked as a refusal's text.");
  m.def("options", &option_table,
        "Every declared option as (command-line option, keyword, pair end 'min', 'max' or '', flag, default text).");
  m.def("control_options", &control_table,
        "Every control option as (names, value kind or '' for a flag, help, what it takes, a --config key, "
        "quorvin.distributed's).");
  m.def("option_names",
        [] {
          std::map<std::string, std::string> names;
          const auto all = option_declarations();
          for (std::size_t i = 0; i < all.size(); ++i) {
            names[std::string(all[i].option)] = std::string(i < form_box_count ? form_boxes[i].option : all[i].option);
          }
          return names;
        },
        "Each declared option's name list as quorvin-cli takes it ('-o,--output-folder').");
  m.def("config_file", &config_entries, py::arg("path"), py::arg("name"),
        "A --config file's entries as (option, key, text, line); ValueError or FileNotFoundError in the command "
        "line's words, naming the file as name.");
  m.def("payload_file", &payload_file_text, py::arg("path"),
        "The lines of a --payload file as the option reads them; ValueError or FileNotFoundError in the command "
        "line's words.");
  m.def("name_list", [](const std::string& list) { return name_list(list); }, py::arg("list"),
        "The names of a comma-separated list as -m takes it.");
  m.def("command_line_refusal", &command_line_told, py::arg("kind"), py::arg("text"), py::arg("option"),
        py::arg("value"), py::arg("config") = "", py::arg("from_file") = std::vector<std::string>{},
        "A refusal of settings() as quorvin-cli tells it, after '--config NAME: ' when the option it is about was "
        "set by that file.");
  py::class_<Plan>(m, "Plan")
      .def(py::init<RunSettings, std::uint32_t>(), py::arg("settings"), py::arg("seed"))
      .def("__len__", &Plan::size)
      .def_property_readonly("files_drawn", &Plan::files_drawn)
      .def("item", &Plan::item, py::arg("position"), py::arg("double_precision") = false)
      .def("frames", &Plan::frames, py::arg("positions"), py::arg("symbols") = false)
      .def_property_readonly("modulations", [](const Plan& plan) { return plan.modulations(); })
      .def("channel", &Plan::channel, py::arg("position"))
      .def("symbols", &Plan::symbols, py::arg("position"))
      .def("position_of", &Plan::position_of, py::arg("name"), py::arg("index"));
  m.def("label_keys", &label_keys, "Every label key an item may have, in the manifest's order.");
  m.def("label_types", &label_types, "Each label key's type: text, real or whole.");
  m.def("column_type", [](const std::string& key) { return column_type(key); }, py::arg("key"),
        "A manifest or container column's type: text, real or whole (text for an unknown key).");
  m.def("class_names", [] { return class_names(); }, "Every modulation name in class-index order.");
  m.def("write_files",
        [](const RunSettings& settings, std::uint32_t seed, const std::string& folder, const std::string& format,
           const std::string& manifest, bool compress, bool save_settings, unsigned jobs, std::uint32_t shard_index,
           std::uint32_t shard_count, std::function<void(std::uint64_t, std::uint64_t, std::uint64_t)> progress) {
          if (shard_count == 0 || shard_index >= shard_count) {
            throw py::value_error("shard takes (K, N) with 0 <= K < N, not (" + std::to_string(shard_index) + ", " +
                                  std::to_string(shard_count) + ")");
          }
          return write_files(settings, seed,
                             {.folder = folder, .format = format, .manifest = manifest, .compress = compress,
                              .save_settings = save_settings, .jobs = jobs, .shard = {shard_index, shard_count},
                              .progress = std::move(progress)});
        },
        py::arg("settings"), py::arg("seed"), py::arg("folder"), py::arg("format"), py::arg("manifest"),
        py::arg("compress"), py::arg("save_settings"), py::arg("jobs"), py::arg("shard_index") = 0,
        py::arg("shard_count") = 1, py::arg("progress") = nullptr,
        "Writes a seeded run's files (or shard K/N's) as quorvin-cli does; a summary dict, OSError for an output that "
        "cannot be opened. progress(files_done, files_total, samples_done) after each file.");
  m.def("write_file",
        [](const std::string& path, const py::bytes& data) {
          const std::string text = data;
          const WriteContext context{.sync = platform::sync_file_to_storage, .abandon = {},
                                     .hold = platform::hold_temporary,
                                     .remove_stale = platform::remove_unheld_temporary};
          std::string failure;
          {
            py::gil_scoped_release unlocked;
            AtomicFileWriter writer(utf8_path(path), context);
            writer.append(text);
            if (!writer.finish()) failure = writer.failure();
          }
          if (!failure.empty()) throw_os_error(path + ": " + failure);
        },
        py::arg("path"), py::arg("data"),
        "Writes data to path as every output file is written: a held temporary beside it, flushed to the disk, "
        "renamed into place; OSError naming the path otherwise, an earlier file left as it was.");
  m.def("remove_stale_temporaries",
        [](const std::string& folder) {
          const WriteContext context{.sync = nullptr, .abandon = {}, .hold = platform::hold_temporary,
                                     .remove_stale = platform::remove_unheld_temporary};
          py::gil_scoped_release unlocked;
          return remove_stale_temporaries(utf8_path(folder), context);
        },
        py::arg("folder"), "Removes the temporaries killed writers left in folder (none a live writer holds); how many.");
  m.def("file_seeds",
        [](std::uint32_t run_seed, const std::string& name, std::int32_t index) {
          const DigitalSeeds seeds = derive_file_seeds(run_seed, name, index);
          return std::array<std::int64_t, 2>{*seeds.symbols, *seeds.noise};
        },
        py::arg("run_seed"), py::arg("name"), py::arg("index"),
        "The symbol and noise seeds of file index (from 1) of name in a run seeded with run_seed.");
  m.def("scene_emitter_seeds",
        [](std::uint32_t run_seed, std::uint64_t position, std::size_t emitter, const std::string& name) {
          if (emitter < 1) throw py::value_error("emitter counts from 1");
          const DigitalSeeds seeds = scene_emitter_seeds(run_seed, position, emitter, name);
          return std::array<std::int64_t, 2>{*seeds.symbols, *seeds.noise};
        },
        py::arg("run_seed"), py::arg("position"), py::arg("emitter"), py::arg("name"),
        "The symbol and noise seeds of emitter (from 1) of the scene at plan position (from 0), named name, in a "
        "run seeded with run_seed.");
  m.def(
      "channel_tracks",
      [] {
        py::list tracks;
        for (const ChannelTrack* track : channel_tracks()) tracks.append(py::make_tuple(track->key, track_extension(*track)));
        return tracks;
      },
      "The channel's tracks --save-channel writes: (Python key, file ending) each, in the chain's order.");
  m.def("label_units", &label_units, "Each label key's unit (Hz, dB, Baud, ...; empty for a ratio or text).");
  m.def("constellation", &constellation, py::arg("name"),
        "The distinct unit-energy points of a linear name's symbols (complex128), as its files carry them; empty for "
        "keyed and analog names.");
  m.def("band",
        [](const std::string& name, double symbol_rate, const std::string& pulse, double rolloff, double modulation_index,
           double gmsk_bt, double message_frequency, double frequency_deviation, const std::string& sideband, double sample_rate,
           const std::map<std::string, double>& family) {
          return band(name, {symbol_rate, pulse, rolloff, modulation_index, gmsk_bt, message_frequency, frequency_deviation, sideband,
                             sample_rate, family});
        },
        py::arg("name"), py::arg("symbol_rate") = 0.0, py::arg("pulse") = "", py::arg("rolloff") = 0.0,
        py::arg("modulation_index") = 0.0, py::arg("gmsk_bt") = 0.0, py::arg("message_frequency") = 0.0,
        py::arg("frequency_deviation") = 0.0, py::arg("sideband") = "", py::arg("sample_rate") = 0.0,
        py::arg("family") = std::map<std::string, double>{},
        "The band (low, high) Hz a file's signal occupies around its centre (0 Hz, or an analog name's carrier), "
        "from its labels, as the band check sizes it; sample_rate (Hz) and family (the family's own drawn values "
        "by label key, such as ofdm_occupancy or chirp_bandwidth) size the bands drawn as fractions of the rate.");
  m.def("catalogue", &catalogue, "Every modulation name in class-index order: name, family, order, on_form, group, in_every.");
}
