// The Python binding: settings read through the same checks as quorvin-cli's options, the run's
// plan drawn as quorvin-cli draws it, and one planned file synthesised on request. Every sample
// comes from the core; the GIL is released while a file is made.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <complex>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/text.h"
#include "form/form.h"
#include "modulation/catalogue.h"
#include "run/exact_file.h"
#include "run/exact_options.h"
#include "run/parameters.h"
#include "run/plan.h"
#include "run/run.h"
#include "run/seeds.h"

namespace py = pybind11;

namespace quorvin {
namespace {

// Option texts by the command line's names ("--sample-rate": "10000"); the rest keep defaults.
using OptionTexts = std::map<std::string, std::string>;

RunSettings settings_of(const std::vector<std::string>& modulations, const OptionTexts& texts) {
  for (const std::string& name : modulations) {
    if (find_modulation(name) == nullptr) throw py::value_error("unknown modulation '" + name + "'");
  }
  if (modulations.empty()) throw py::value_error("No modulation selected.");
  std::map<std::string, bool> used;
  BoxTexts boxes;
  for (std::size_t i = 0; i < form_box_count; ++i) {
    std::string option(form_boxes[i].option);
    if (const std::size_t comma = option.find(','); comma != std::string::npos) option = option.substr(comma + 1);
    const auto given = texts.find(option);
    boxes[i] = given == texts.end() ? std::u16string(form_boxes[i].default_text) : utf8_to_utf16(given->second);
    used[option] = true;
  }
  auto read = read_boxes(boxes);
  if (const FormError* error = std::get_if<FormError>(&read)) throw py::value_error(utf16_to_utf8(error->message));
  RunSettings settings = std::get<RunSettings>(std::move(read));
  // Keep the run's order, the catalogue's, as quorvin-cli does.
  for (const ModulationRow& row : modulation_catalogue) {
    for (const std::string& name : modulations) {
      if (name == row.name && std::find(settings.modulations.begin(), settings.modulations.end(), name) ==
                                  settings.modulations.end()) {
        settings.modulations.push_back(name);
      }
    }
  }
  const auto model = texts.find("--signal-model");
  used["--signal-model"] = true;
  const bool exact = model != texts.end() && model->second == "exact";
  if (model != texts.end() && !exact && model->second != "classic") {
    throw py::value_error("--signal-model takes classic or exact, not '" + model->second + "'");
  }
  ExactTexts exact_texts(exact_options().size());
  for (std::size_t i = 0; i < exact_texts.size(); ++i) {
    const std::string option(exact_options()[i].option);
    used[option] = true;
    if (const auto given = texts.find(option); given != texts.end()) {
      if (!exact) throw py::value_error(option + " applies to --signal-model exact only");
      exact_texts[i] = given->second;
    }
  }
  for (const auto& [option, text] : texts) {
    if (!used.count(option)) throw py::value_error("unknown option " + option);
  }
  if (exact) {
    auto exact_settings = read_exact_options(exact_texts);
    if (const std::string* refusal = std::get_if<std::string>(&exact_settings)) throw py::value_error(*refusal);
    settings.signal_model = SignalModel::exact;
    settings.exact = std::get<ExactSettings>(std::move(exact_settings));
    if (const auto misfit = band_misfit(settings)) throw py::value_error(*misfit);
  }
  return settings;
}

py::object python_value(const ParameterValue& value) {
  if (const double* number = std::get_if<double>(&value)) return py::float_(*number);
  if (const std::int64_t* whole = std::get_if<std::int64_t>(&value)) return py::int_(*whole);
  return py::str(std::get<std::string>(value));
}

// A run's plan with random access. The draws are sequential, so the plan keeps a cursor every
// `stride` files and re-draws forward from the nearest one: memory stays small for any length
// (at most about a million cursors) and an item costs at most `stride` cheap draws.
class Plan {
 public:
  Plan(RunSettings settings, std::uint32_t seed)
      : plan_(std::move(settings), seed), seed_(seed), size_(plan_.total_files()),
        stride_(std::max<std::uint64_t>(32, size_ / (std::uint64_t{1} << 20) + 1)) {
    cursors_.push_back(plan_.cursor());
  }
  std::size_t size() const { return static_cast<std::size_t>(size_); }

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
    for (const ParameterRow& row : file_parameters({settings, file, seed_})) {
      labels[py::str(std::string(row.kind->key))] = python_value(row.value);
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

  // The channel plan position i went through, as it varied: "fading_taps" (taps, samples) complex
  // gains and "phase" (samples) radians, each where the file drew that stage (exact model).
  py::dict channel(std::ptrdiff_t i) {
    const PlannedFile file = at(i);
    py::dict out;
    if (plan_.settings().signal_model != SignalModel::exact) return out;
    ChannelPath path;
    {
      py::gil_scoped_release unlocked;
      path = exact_channel_path(plan_.settings(), file);
    }
    if (!path.taps.empty()) {
      const auto width = static_cast<py::ssize_t>(path.taps.front().size());
      py::array_t<std::complex<double>> taps({static_cast<py::ssize_t>(path.taps.size()), width});
      for (std::size_t t = 0; t < path.taps.size(); ++t) {
        std::copy(path.taps[t].begin(), path.taps[t].end(), taps.mutable_data(static_cast<py::ssize_t>(t), 0));
      }
      out["fading_taps"] = taps;
    }
    if (!path.phase.empty()) out["phase"] = py::array_t<double>(static_cast<py::ssize_t>(path.phase.size()), path.phase.data());
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
    if (i < 0) i += n;
    if (i < 0 || i >= n) throw py::index_error("plan position out of range");
    const auto position = static_cast<std::uint64_t>(i);
    // Extend the cursors up to this position's, then draw forward from it (or go on from the
    // previous item when reading in order).
    if (position != next_position_) {
      const std::uint64_t slot = std::min<std::uint64_t>(position / stride_, cursors_.size() - 1);
      plan_.seek(cursors_[slot]);
      next_position_ = slot * stride_;
    }
    std::optional<PlannedFile> file;
    while (next_position_ <= position) {
      if (next_position_ % stride_ == 0 && next_position_ / stride_ == cursors_.size()) cursors_.push_back(plan_.cursor());
      file = plan_.next();
      ++next_position_;
    }
    file->seeds = derive_file_seeds(seed_, file->modulation, file->index);
    return std::move(*file);
  }
  RunPlan plan_;
  std::uint32_t seed_;
  std::uint64_t size_;
  std::uint64_t stride_;
  std::vector<PlanCursor> cursors_;
  std::uint64_t next_position_ = 0;
};

std::vector<std::string> class_names() {
  std::vector<std::string> names;
  for (const ModulationRow& row : modulation_catalogue) names.emplace_back(row.name);
  return names;
}

}  // namespace
}  // namespace quorvin

PYBIND11_MODULE(_core, m) {
  using namespace quorvin;
  m.doc() = "Quorvin's C++ core: settings, plans and files.";
  py::class_<RunSettings>(m, "Settings");
  m.def("settings", &settings_of, py::arg("modulations"), py::arg("options"),
        "Settings from modulation names and option texts by the command line's names; ValueError with the "
        "program's own message for a refused value.");
  py::class_<Plan>(m, "Plan")
      .def(py::init<RunSettings, std::uint32_t>(), py::arg("settings"), py::arg("seed"))
      .def("__len__", &Plan::size)
      .def("item", &Plan::item, py::arg("position"), py::arg("double_precision") = false)
      .def("channel", &Plan::channel, py::arg("position"))
      .def("position_of", &Plan::position_of, py::arg("name"), py::arg("index"));
  m.def("class_names", &class_names, "Every modulation name in class-index order.");
}
