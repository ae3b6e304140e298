#include "form/options.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <type_traits>

#include "common/text.h"
#include "form/form.h"
#include "modulation/catalogue.h"
#include "plan/exact_options.h"
#include "plan/payloads.h"
#include "plan/plan.h"
#include "writers/manifest.h"

namespace quorvin {
namespace {

const char* value_kind(BoxRule rule) {
  switch (rule) {
    case BoxRule::any_integer:
    case BoxRule::not_negative:
      return "INTEGER";
    case BoxRule::folder:
      return "FOLDER";
    default:
      return "NUMBER";
  }
}

// What an exact option's accepted text describes: "a whole number from 2 to 256" is an INTEGER,
// "rrc, rect or linear" reads rrc|rect|linear.
std::string value_kind(std::string_view accepted) {
  if (accepted.starts_with("a whole number")) return "INTEGER";
  if (accepted.starts_with("a number")) return "NUMBER";
  if (accepted.find("comma-separated numbers") != std::string_view::npos) return "NUMBER,...";
  if (accepted.starts_with("NAME:")) return "NAME:KEY=LOW..HIGH;...";
  if (accepted.starts_with("a SigMF")) return "RECORDING";
  if (accepted.starts_with("a file")) return "FILE";
  std::string choices;
  for (const std::string& choice : accepted_choices(accepted)) choices += (choices.empty() ? "" : "|") + choice;
  return choices;
}

// What a box takes, as a refusal says it (the folder box takes any text).
std::string_view box_takes(BoxRule rule) {
  switch (rule) {
    case BoxRule::finite: return "a finite number";
    case BoxRule::positive: return "a number above 0";
    case BoxRule::finite_or_no_noise: return "a finite number, or inf at both ends for no noise";
    case BoxRule::any_integer: return "a whole number";
    case BoxRule::not_negative: return "a whole number from 0";
    default: return "a number";
  }
}

// The form's box as the other options are declared: the box table stays the form's own.
OptionDeclaration declaration_of(const FormBox& box) {
  return {long_option_name(box.option),           box.keyword, box.end,
          utf16_to_utf8(box.default_text), box.help,    value_kind(box.rule),
          false,                           false,       box.default_help,
          box.rule == BoxRule::folder ? "a folder name" : box_takes(box.rule)};
}

constexpr std::string_view signal_model_option = "--signal-model";

// -m's value, as a refusal tells it.
constexpr std::string_view names_value = "one or more names separated by commas, e.g. QPSK,GMSK; see --list-modulations";

constexpr ControlOption control_table[] = {
    {"-m,--modulations", "NAMES REQUIRED",
     "comma-separated names (case-sensitive), 'all' for the form's 22 names, 'every' for every name, or a group's "
     "name (psk, qam, fsk, ...); --list-modulations lists each name with its group",
     names_value},
    {"--save-settings", "", "also write a settings file beside each sample file", ""},
    {"--format", "csv|sigmf|hdf5",
     "csv (I,Q text lines), sigmf (cf32_le recordings with .sigmf-meta) or hdf5 (one dataset.h5 of the samples and "
     "labels) (default: csv)",
     "csv, sigmf or hdf5"},
    {"--compress", "", "deflate the samples of --format hdf5", ""},
    {"--manifest", "FILE", "also write a CSV manifest of every planned file to FILE", "a file name"},
    {"-j,--jobs", "N", "files produced in parallel", "a whole number of files at once from 1 to 1024"},
    {"--seed", "INTEGER", "unsigned 32-bit seed for a reproducible run",
     "a whole number from 0 to 4294967295"},
    {"--shard", "K/N", "produce only the files at plan positions K modulo N (default: 0/1)", "K/N with 0 <= K < N",
     true, false},
    {"--progress", "", "show a progress line on standard error (default: when it is a terminal)", ""},
    {"--no-progress", "", "never show the progress line", ""},
    {"-q,--quiet", "", "no report lines; failures still go to standard error, and the status tells the rest", ""},
    {"--list-modulations", "", "print the known modulation names and exit", "", false, false},
    {"--config", "FILE",
     "read options from FILE: lines of an option's long name and its value (sample-rate = 100000, modulations = "
     "[\"QPSK\", \"AM\"], save-settings = true; see docs/reference/config.md); options on the command line win",
     "", false, true},
    {"-V,--version", "", "print the version and exit", "", false, false},
};

std::vector<OptionDeclaration> declared() {
  std::vector<OptionDeclaration> all;
  for (const FormBox& box : form_boxes) all.push_back(declaration_of(box));
  all.push_back({signal_model_option, "signal_model", PairEnd::none, "exact",
                 "classic (the desktop program's waveforms) or exact (every label true: pulse "
                 "shaping, exact symbol timing, complex baseband analog signals)",
                 "classic|exact", false, false, {}, "classic or exact"});
  for (const ExactOption& o : exact_options()) {
    all.push_back({o.option, o.keyword, o.end, std::string(o.default_text), o.help,
                   value_kind(o.accepted), o.flag, true, {}, o.accepted});
  }
  return all;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// The selections besides the names: "all" (the form's names), "every" and each group's name
// (without the names that are others' signal, and "every" without the standards': see in_every).
std::vector<std::string> selection_words() {
  std::vector<std::string> words = {"all", "every"};
  for (const ModulationRow& row : modulation_catalogue) {
    const std::string group(modulation_group(row));
    if (std::find(words.begin(), words.end(), group) == words.end()) words.push_back(group);
  }
  return words;
}

// A run naming a standard's emitter without a sample rate gets the rate its frames need (the
// highest of its standards', for every name of the run, as the run has one rate), and without a
// length one that tells every kind of their frames.
void give_standards_their_needs(RunSettings& s, const OptionTexts& texts) {
  const bool length_given = texts.count("--num-symbols") != 0 || s.exact.samples_per_file > 0;
  for (const std::string& name : s.modulations) {
    const Waveform w = resolve_waveform(name);
    if (w.family == nullptr) continue;
    if (w.family->sample_rate > 0.0 && texts.count("--sample-rate") == 0) s.sample_rate = std::max(s.sample_rate, w.family->sample_rate);
    if (w.family->told_file != nullptr && !length_given) {
      const double told = std::ceil(w.family->told_file(w, settings_for_name(s, name).exact.family_ranges));
      s.num_symbols = std::max(s.num_symbols, static_cast<std::int32_t>(std::min(told, 2e9)));
    }
  }
}

// The names asked for in catalogue order, each once, or the first unknown one refused.
std::variant<std::vector<std::string>, Refusal> run_modulations(
    const std::vector<std::string>& names) {
  std::vector<std::string_view> wanted;
  for (const std::string& name : names) {
    const std::size_t before = wanted.size();
    if (name == "all") {
      wanted.insert(wanted.end(), modulation_checkbox_names.begin(),
                    modulation_checkbox_names.end());
    } else if (find_modulation(name) != nullptr) {
      wanted.push_back(name);
    } else {
      for (const ModulationRow& row : modulation_catalogue) {
        if ((name == "every" && in_every(row)) || (name == modulation_group(row) && in_group(row))) wanted.push_back(row.name);
      }
    }
    if (wanted.size() == before) {
      // What was meant first: the list of 67 names hides it.
      std::vector<std::string> known = class_names();
      const std::vector<std::string> words = selection_words();
      known.insert(known.end(), words.begin(), words.end());
      const std::string meant = did_you_mean(nearest_names(name, known));
      return Refusal{Refusal::Kind::usage,
                     "unknown modulation '" + marked_text(name) + "'; " + (meant.empty() ? "known: " : meant + " Known: ") +
                         joined(class_names()) + "; or " + joined(words),
                     "--modulations"};
    }
  }
  std::vector<std::string> ordered;
  for (const ModulationRow& row : modulation_catalogue) {
    if (std::find(wanted.begin(), wanted.end(), row.name) != wanted.end())
      ordered.emplace_back(row.name);
  }
  return ordered;
}

std::variant<RunSettings, Refusal> boxes_read(const OptionTexts& texts) {
  const auto declarations = option_declarations();
  BoxTexts boxes;
  for (std::size_t i = 0; i < form_box_count; ++i) {
    const auto given = texts.find(std::string(declarations[i].option));
    boxes[i] = given == texts.end() ? std::u16string(form_boxes[i].default_text)
                                    : utf8_to_utf16(given->second);
  }
  auto read = read_boxes(boxes);
  if (const FormError* error = std::get_if<FormError>(&read)) {
    // Each box has a message of its own.
    const auto box = std::find_if(form_boxes.begin(), form_boxes.end(), [error](const FormBox& b) {
      return b.message == error->message;
    });
    const auto i = static_cast<std::size_t>(box - form_boxes.begin());
    const std::string option(declarations[i].option);
    const std::string value = utf16_to_utf8(boxes[i]);
    // The form's own message, intact for scripts that match it, then the option's refusal as
    // every other option's reads.
    return Refusal{Refusal::Kind::box,
                   utf16_to_utf8(error->message) + " {" + option + "} takes " + std::string(box_takes(box->rule)) +
                       ", not '" + marked_text(value) + "'",
                   option, value};
  }
  return std::get<RunSettings>(std::move(read));
}

// The run's SNR ends as the exact model takes them: within what its samples hold (the form's
// boxes take any finite SNR, as the classic model's files always have).
std::optional<Refusal> snr_beyond_samples(const RunSettings& s, const OptionTexts& texts) {
  for (const auto& [field, option] : {std::pair{&RunSettings::snr_min_db, "--snr-min"}, std::pair{&RunSettings::snr_max_db, "--snr-max"}}) {
    const double snr = s.*field;
    if (std::isinf(snr) || std::abs(snr) <= exact_snr_limit_db) continue;
    const auto given = texts.find(option);
    return Refusal{Refusal::Kind::input, "{" + std::string(option) + "} takes a number from -" + shortest_text(exact_snr_limit_db) +
                                             " to " + shortest_text(exact_snr_limit_db) +
                                             " dB in the exact model (or inf for both: no noise), not '" +
                                             marked_text(given == texts.end() ? "" : given->second) + "'"};
  }
  return std::nullopt;
}

// The box that fills `field`.
template <typename Value>
std::size_t box_of(Value RunSettings::*field) {
  for (std::size_t i = 0; i < form_box_count; ++i) {
    if constexpr (std::is_same_v<Value, double>) {
      if (form_boxes[i].decimal == field) return i;
    } else {
      if (form_boxes[i].integer == field) return i;
    }
  }
  return form_box_count - 1;
}

// "-min" and "-max" boxes of one range stand next to each other: "--snr-min" then "--snr-max".
bool is_range(std::string_view low, std::string_view high) {
  return low.ends_with("-min") && high.ends_with("-max") &&
         low.substr(0, low.size() - 4) == high.substr(0, high.size() - 4);
}

}  // namespace

std::vector<std::string> run_warnings_marked(const RunSettings& s, const OptionTexts& texts) {
  const auto declarations = option_declarations();
  // "{--sample-rate} 10k": the box's option and its text as typed.
  const auto shown = [&texts, declarations](std::size_t box) {
    const std::string option(declarations[box].option);
    const auto given = texts.find(option);
    return "{" + option + "} " + marked_text(as_typed(given == texts.end() ? declarations[box].default_text : given->second));
  };
  std::vector<std::string> warnings;
  for (std::size_t i = 0; i + 1 < form_box_count; ++i) {
    const bool reversed = is_range(form_boxes[i].option, form_boxes[i + 1].option) &&
                          s.*form_boxes[i].decimal > s.*form_boxes[i + 1].decimal;
    if (reversed) warnings.push_back(shown(i) + " is above " + shown(i + 1) + "; values are drawn between the two all the same");
  }
  // The exact model's band check already decides about rates and carriers (a misfit is refused),
  // so these two are the classic model's alone.
  const auto& names = s.modulations;
  const bool classic = s.signal_model == SignalModel::classic;
  const auto fastest =
      s.symbol_rate_max >= s.symbol_rate_min ? &RunSettings::symbol_rate_max : &RunSettings::symbol_rate_min;
  if (classic && !std::all_of(names.begin(), names.end(), is_analog_modulation) && s.*fastest > s.sample_rate) {
    warnings.push_back(shown(box_of(fastest)) + " is above " + shown(box_of(&RunSettings::sample_rate)) +
                       "; digital files get less than one sample per symbol");
  }
  if (classic && std::any_of(names.begin(), names.end(), is_analog_modulation) &&
      std::abs(s.analog_carrier_frequency) >= s.sample_rate / 2) {
    warnings.push_back(shown(box_of(&RunSettings::analog_carrier_frequency)) + " is at or above half of " +
                       shown(box_of(&RunSettings::sample_rate)) + "; the analog carrier aliases");
  }
  if (s.files_per_modulation <= 0) {
    warnings.push_back(shown(box_of(&RunSettings::files_per_modulation)) + ": nothing to do");
  }
  return warnings;
}

std::string_view long_option_name(std::string_view names) { return names.substr(names.find_last_of(',') + 1); }

std::span<const ControlOption> control_options() { return control_table; }

const ControlOption* control_option(std::string_view option) {
  for (const ControlOption& o : control_table) {
    if (long_option_name(o.names) == option) return &o;
  }
  return nullptr;
}

std::vector<std::string> name_list(std::string_view list) {
  std::vector<std::string> names;
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    std::string name(list.substr(start, comma - start));
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    names.push_back(std::move(name));
    start = comma + 1;
  }
  return names;
}

std::string command_line_refusal(const Refusal& refusal, std::string_view config, std::span<const std::string> from_file) {
  std::string about = refusal.option;
  const std::string& text = refusal.text;
  for (std::size_t i = 0; about.empty() && i < text.size(); ++i) {
    if (text.compare(i, 2, "{{") == 0 || text.compare(i, 2, "}}") == 0) {
      ++i;
    } else if (text[i] == '{') {
      // "{--clock-ppm-min/max}", "{--adc-bits-min and --adc-bits-max}", "{--signal-model exact}": the first option.
      const std::size_t end = text.find_first_of(" /}", i);
      about = text.substr(i + 1, end - i - 1);
    }
  }
  const std::string told =
      refusal.kind == Refusal::Kind::unknown_option ? "unknown option " + refusal.option : command_line_text(text);
  const bool in_file = !config.empty() && std::find(from_file.begin(), from_file.end(), about) != from_file.end();
  return in_file ? "--config " + as_typed(config) + ": " + told : told;
}

std::span<const OptionDeclaration> option_declarations() {
  static const std::vector<OptionDeclaration> all = declared();
  return all;
}

std::variant<RunSettings, Refusal> read_options(const OptionRequest& request) {
  auto names = run_modulations(request.modulations);
  if (Refusal* refusal = std::get_if<Refusal>(&names)) return std::move(*refusal);
  if (std::get<std::vector<std::string>>(names).empty())
    return Refusal{Refusal::Kind::no_modulation, "No modulation selected."};
  auto read = boxes_read(request.texts);
  if (Refusal* refusal = std::get_if<Refusal>(&read)) return std::move(*refusal);
  RunSettings settings = std::get<RunSettings>(std::move(read));
  settings.modulations = std::get<std::vector<std::string>>(std::move(names));

  const OptionTexts& texts = request.texts;
  const auto model = texts.find(std::string(signal_model_option));
  // The exact model unless the classic one is asked for (the desktop program's form, which keeps
  // the classic model, does not read these options).
  const bool exact = model == texts.end() || model->second == "exact";
  if (model != texts.end() && !exact && model->second != "classic") {
    return Refusal{Refusal::Kind::usage, not_accepted_marked(signal_model_option, "classic or exact", model->second)};
  }
  ExactTexts exact_texts;
  for (const OptionDeclaration& declaration : option_declarations()) {
    if (!declaration.exact_only) continue;
    const auto given = texts.find(std::string(declaration.option));
    if (given != texts.end() && !exact) {
      return Refusal{Refusal::Kind::usage, "{" + std::string(declaration.option) +
                                               "} applies to {--signal-model exact} only"};
    }
    exact_texts.push_back(given != texts.end() ? std::optional(given->second) : std::nullopt);
  }
  const auto declarations = option_declarations();
  for (const auto& given : texts) {
    const std::string& option = given.first;
    const bool known =
        std::any_of(declarations.begin(), declarations.end(),
                    [&option](const OptionDeclaration& d) { return d.option == option; });
    if (!known) return Refusal{Refusal::Kind::unknown_option, "", option};
  }
  if (!exact) {
    for (const std::string& name : settings.modulations) {
      if (!in_classic_model(*find_modulation(name))) {
        return Refusal{Refusal::Kind::usage, "the classic model has no '" + marked_text(name) +
                                                 "': it needs {--signal-model exact}"};
      }
    }
    return settings;
  }
  auto exact_settings = read_exact_options_marked(exact_texts);
  if (std::string* refusal = std::get_if<std::string>(&exact_settings))
    return Refusal{Refusal::Kind::input, std::move(*refusal)};
  settings.signal_model = SignalModel::exact;
  settings.exact = std::get<ExactSettings>(std::move(exact_settings));
  give_standards_their_needs(settings, texts);
  if (auto refusal = snr_beyond_samples(settings, texts)) return std::move(*refusal);
  if (auto misfit = per_name_misfit_marked(settings, exact_texts)) return Refusal{Refusal::Kind::input, std::move(*misfit)};
  if (auto misfit = payload_misfit_marked(settings)) return Refusal{Refusal::Kind::input, std::move(*misfit), "--payload"};
  // Neither a symbol-rate range nor samples per symbol given: each name draws samples per symbol
  // where it fits the band.
  const bool rate_given = texts.count("--symbol-rate-min") != 0 || texts.count("--symbol-rate-max") != 0;
  if (!rate_given && !draws_samples_per_symbol(settings.exact)) fit_samples_per_symbol(settings);
  if (auto misfit = band_misfit_marked(settings))
    return Refusal{Refusal::Kind::input, std::move(*misfit)};
  return settings;
}

}  // namespace quorvin
